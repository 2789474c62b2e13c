#pragma once

// The byte-stream layer under BasicSocket: one connection or one listener of
// a Transport. Internal to the transport library.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <asio.hpp>

namespace tarvelo::detail {

using IoHandler = std::function<void(const asio::error_code&, std::size_t)>;
using Buffers = std::array<asio::const_buffer, 2>;

class Stream {
 public:
  virtual ~Stream() = default;

  // Reads or writes all of the buffer(s) or fails.
  virtual void async_read(asio::mutable_buffer buffer, IoHandler handler) = 0;
  virtual void async_write(const Buffers& buffers, IoHandler handler) = 0;
  virtual void read(asio::mutable_buffer buffer, asio::error_code& error) = 0;
  virtual void write(const Buffers& buffers, asio::error_code& error) = 0;

  virtual void connect(const std::string& address, uint16_t port, asio::error_code& error) = 0;
  virtual void close() = 0;
};

class Acceptor {
 public:
  virtual ~Acceptor() = default;

  virtual void listen(const std::string& address, uint16_t port, asio::error_code& error) = 0;
  virtual void async_accept(
      std::function<void(const asio::error_code&, std::unique_ptr<Stream>)> handler) = 0;
  virtual void close() = 0;
};

}  // namespace tarvelo::detail
