#pragma once

// The byte-stream layer under BasicSocket: one connection or one listener of
// a Transport. Internal to the transport library. Interfaces only: the
// streams and the socket helpers are implemented by TCPTransport.cpp and
// TLSTransport.cpp, local_peer_uid by LocalPeer.cpp.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio.hpp>

#include <tarvelo/Transport.h>

namespace tarvelo::detail {

using IoHandler = std::function<void(const asio::error_code&, std::size_t)>;
using Buffers = std::vector<asio::const_buffer>;

// Waits up to `milliseconds` for the descriptor to become readable (or
// closed, or failed); false on time-out.
bool poll_readable(int fd, int milliseconds);

// Waits up to `milliseconds` for the descriptor to take more bytes (or to
// close, or fail); false on time-out.
bool poll_writable(int fd, int milliseconds);

// The user owning the socket at the other end of the TCP connection `fd`,
// when that socket is on this host and still held by a process.
Transport::StatusCode local_peer_uid(int fd, uint32_t& uid);

// Like asio::transfer_all, but 256 KiB per system call instead of 64 KiB:
// an 8 MiB message costs 32 calls, not 128. Larger calls saved little more
// and kept a core in the kernel long enough to delay other connections'
// small requests by tens of milliseconds.
struct TransferAll {
  std::size_t operator()(const asio::error_code& error, std::size_t) const {
    return error ? 0 : std::size_t{256} << 10;
  }
};

class Stream {
 public:
  virtual ~Stream() = default;

  // Reads or writes all of the buffer(s) or fails.
  virtual void async_read(asio::mutable_buffer buffer, IoHandler handler) = 0;
  virtual void async_write(const Buffers& buffers, IoHandler handler) = 0;
  virtual void read(asio::mutable_buffer buffer, asio::error_code& error) = 0;
  virtual void write(const Buffers& buffers, asio::error_code& error) = 0;
  // Read at least one byte and at most the buffer's size, so that one call
  // can bring several small frames.
  virtual void async_read_some(asio::mutable_buffer buffer, IoHandler handler) = 0;
  virtual std::size_t read_some(asio::mutable_buffer buffer, asio::error_code& error) = 0;
  // Blocks until read_some() has something to return or `milliseconds`
  // pass; false on time-out.
  virtual bool wait_readable(int milliseconds) = 0;
  // Writes what the connection takes at once, without waiting, from any
  // thread; the number of bytes written. A stream that cannot writes none.
  virtual std::size_t write_now(const Buffers& /*buffers*/, asio::error_code& /*error*/) { return 0; }
  // The descriptor that write_now writes to, to wait on for room; -1 for a
  // stream that can neither write nor read that way.
  virtual int native_handle() { return -1; }
  // As write_now, for reading what has arrived: from any thread, without
  // waiting; 0 when nothing has (an ended stream is an error).
  virtual std::size_t read_now(asio::mutable_buffer /*buffer*/, asio::error_code& /*error*/) { return 0; }
  // Calls the handler once read_now has something to return, bytes that
  // arrived before the call included, or the stream failed. Only on the
  // loop, and for streams with a descriptor.
  virtual void async_wait_readable(IoHandler handler) {
    handler(asio::error::operation_not_supported, 0);
  }

  virtual void connect(const std::string& address, uint16_t port, asio::error_code& error) = 0;
  virtual void close() = 0;
  // Says more than the error code about the last failed connect, when the
  // stream knows more (a TLS certificate that did not verify, and why).
  virtual std::string error_detail() const { return {}; }
  // As SocketImpl::peer_uid.
  virtual Transport::StatusCode peer_uid(uint32_t& /*uid*/) {
    return {"Peer owner: not known over this transport", Transport::kError};
  }
};

class Acceptor {
 public:
  virtual ~Acceptor() = default;

  virtual void listen(const std::string& address, uint16_t port, asio::error_code& error) = 0;
  virtual void async_accept(
      std::function<void(const asio::error_code&, std::unique_ptr<Stream>)> handler) = 0;
  virtual void close() = 0;
  // As Stream::error_detail, for the last failed listen.
  virtual std::string error_detail() const { return {}; }
};

// Sets SO_KEEPALIVE and the nonzero values of `keep_alive` on a connected
// socket; does nothing when keep-alive is not enabled.
void apply_keep_alive(asio::ip::tcp::socket& socket, const KeepAlive& keep_alive,
                      asio::error_code& error);

// Binds, and listens on, address:port; "*" or "" is every address, IPv4 and
// IPv6.
void open_acceptor(asio::ip::tcp::acceptor& acceptor, const std::string& address, uint16_t port,
                   asio::error_code& error);

// Resolves and connects, with TCP_NODELAY.
void connect_socket(asio::ip::tcp::socket& socket, const std::string& address, uint16_t port,
                    asio::error_code& error);

}  // namespace tarvelo::detail
