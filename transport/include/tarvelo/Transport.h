#pragma once

// The byte streams a BasicSocket can run over: plain TCP here, implemented by
// TCPTransport.cpp; TLS in TLSTransport.h; UDT in UDTTransport.h.

#include <cstdint>
#include <memory>
#include <string>

#include <tarvelo/Export.h>

namespace asio {
class io_context;
}

namespace tarvelo {

namespace detail {
class Stream;
class Acceptor;
}  // namespace detail

// Largest frame a peer may send us: 64 MiB of payload plus the 32-byte
// message front. Anything larger is refused before it is allocated.
inline constexpr std::size_t kMaxMessageSize = 64 * 1024 * 1024 + 32;

// A way of carrying bytes between two hosts (plain TCP, later TLS...). It
// makes the streams and acceptors a BasicSocket frames messages over.
class TARVELO_TRANSPORT_EXPORT Transport {
 public:
  // Outcome of a transport operation: code 0 or more is success, negative is
  // failure; text says what happened, for logs and error messages.
  struct StatusCode {
    std::string text;
    int64_t code = 0;

    bool ok() const { return code >= 0; }
  };

  // Failure codes of the transport.
  static constexpr int64_t kError = -1;            // a system call failed
  static constexpr int64_t kClosed = -2;           // the peer or we closed the connection
  static constexpr int64_t kFrameTooLarge = -3;    // the peer declared a frame above kMaxMessageSize
  static constexpr int64_t kAcceptCancelled = -24; // the listener was closed while accepting

  virtual ~Transport();

  virtual std::unique_ptr<detail::Stream> create_stream(asio::io_context& io) = 0;
  virtual std::unique_ptr<detail::Acceptor> create_acceptor(asio::io_context& io) = 0;
  virtual std::unique_ptr<Transport> clone() const = 0;
};

// TCP keep-alive probing of accepted connections. A value of zero leaves
// the system's default for that value; all zero leaves keep-alive off.
struct KeepAlive {
  int idle_seconds = 0;      // TCP_KEEPIDLE: silence before the first probe
  int probe_count = 0;       // TCP_KEEPCNT: unanswered probes before the connection drops
  int interval_seconds = 0;  // TCP_KEEPINTVL: time between probes

  bool enabled() const { return idle_seconds != 0 || probe_count != 0 || interval_seconds != 0; }
};

// Plain TCP with TCP_NODELAY; listeners use SO_REUSEADDR.
class TARVELO_TRANSPORT_EXPORT TCPTransport : public Transport {
 public:
  TCPTransport() = default;
  explicit TCPTransport(KeepAlive keep_alive) : m_keep_alive(keep_alive) {}

  std::unique_ptr<detail::Stream> create_stream(asio::io_context& io) override;
  std::unique_ptr<detail::Acceptor> create_acceptor(asio::io_context& io) override;
  std::unique_ptr<Transport> clone() const override;

 private:
  KeepAlive m_keep_alive;
};

}  // namespace tarvelo
