// The streams and listeners of the udt module.

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <set>

#include "UdtBridge.h"
#include "UdtModule.h"

namespace tarvelo {
namespace detail {
namespace {

using Clock = std::chrono::steady_clock;

// Longest single wait of wait_readable: UDT's epoll does not report a
// connection that broke, so the state is looked at between waits.
constexpr int kReadableSliceMilliseconds = 50;

// The bridge of the io_context; the service lives as long as the io_context.
UdtBridge& bridge_of(asio::io_context& io) {
  udt_startup();
  return asio::use_service<UdtBridge>(io);
}

class UdtStream : public Stream {
 public:
  UdtStream(asio::io_context& io, UdtBridge& bridge) : m_io(io), m_bridge(bridge) {}
  // An accepted connection, already non-blocking.
  UdtStream(asio::io_context& io, UdtBridge& bridge, UDTSOCKET socket)
      : m_io(io), m_bridge(bridge), m_socket(socket), m_receive_blocking(false), m_send_blocking(false) {}
  ~UdtStream() override {
    close();
    if (m_wait_epoll >= 0) UDT::epoll_release(m_wait_epoll);
  }

  void async_read(asio::mutable_buffer buffer, IoHandler handler) override {
    start_read(buffer, true, std::move(handler));
  }

  void async_read_some(asio::mutable_buffer buffer, IoHandler handler) override {
    start_read(buffer, false, std::move(handler));
  }

  void async_write(const Buffers& buffers, IoHandler handler) override {
    UDTSOCKET socket = m_socket;
    if (socket == UDT::INVALID_SOCK) return fail(std::move(handler));
    set_blocking(m_receive_blocking, false);
    m_bridge.async_write(socket, buffers, std::move(handler));
  }

  void read(asio::mutable_buffer buffer, asio::error_code& error) override {
    auto* data = static_cast<char*>(buffer.data());
    for (std::size_t done = 0; done < buffer.size() && !error;)
      done += receive(data + done, buffer.size() - done, error);
  }

  std::size_t read_some(asio::mutable_buffer buffer, asio::error_code& error) override {
    return receive(static_cast<char*>(buffer.data()), buffer.size(), error);
  }

  void write(const Buffers& buffers, asio::error_code& error) override {
    UDTSOCKET socket = m_socket;
    if (socket == UDT::INVALID_SOCK) {
      error = asio::error::bad_descriptor;
      return;
    }
    set_blocking(m_receive_blocking, true);
    for (const asio::const_buffer& buffer : buffers) {
      const auto* data = static_cast<const char*>(buffer.data());
      for (std::size_t done = 0; done < buffer.size();) {
        int chunk = static_cast<int>(std::min<std::size_t>(buffer.size() - done, INT_MAX));
        int count = UDT::send(socket, data + done, chunk, 0);
        if (count == UDT::ERROR) {
          error = udt_io_error(UDT::getlasterror_code(), false);
          return;
        }
        done += static_cast<std::size_t>(count);
      }
    }
  }

  bool wait_readable(int milliseconds) override {
    UDTSOCKET socket = m_socket;
    if (socket == UDT::INVALID_SOCK) return true;
    if (m_wait_epoll < 0) {
      m_wait_epoll = UDT::epoll_create();
      int events = UDT_EPOLL_IN | UDT_EPOLL_ERR;
      // A socket that cannot be watched has broken: the read says so.
      if (UDT::epoll_add_usock(m_wait_epoll, socket, &events) != 0) return true;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::set<UDTSOCKET> readable;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      UDT::epoll_wait(m_wait_epoll, &readable, nullptr,
                      std::clamp<int64_t>(left, 0, kReadableSliceMilliseconds));
      if (!readable.empty() || UDT::getsockstate(socket) != CONNECTED) return true;
      if (left <= 0) return false;
    }
  }

  void connect(const std::string& address, uint16_t port, asio::error_code& error) override {
    close();
    m_detail.clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int resolved = ::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
      error = asio::error::host_not_found;
      m_detail = ::gai_strerror(resolved);
      return;
    }
    error = asio::error::host_not_found;
    for (addrinfo* candidate = found; candidate; candidate = candidate->ai_next) {
      UDTSOCKET socket = UDT::socket(candidate->ai_family, SOCK_STREAM, 0);
      if (socket != UDT::INVALID_SOCK &&
          UDT::connect(socket, candidate->ai_addr, static_cast<int>(candidate->ai_addrlen)) == 0) {
        m_socket = socket;
        m_receive_blocking = m_send_blocking = true;
        error.clear();
        break;
      }
      error = udt_error();
      m_detail = UDT::getlasterror_desc();
      if (socket != UDT::INVALID_SOCK) UDT::close(socket);
    }
    ::freeaddrinfo(found);
  }

  void close() override {
    UDTSOCKET socket = m_socket.exchange(UDT::INVALID_SOCK);
    if (socket == UDT::INVALID_SOCK) return;
    m_bridge.cancel(socket);
    // Unsent bytes still go out, in the background: close does not wait.
    set_udt_blocking(socket, false, false);
    // Wakes a blocking call on another thread, which then fails.
    UDT::close(socket);
  }

  std::string error_detail() const override { return m_detail; }

 private:
  void start_read(asio::mutable_buffer buffer, bool all, IoHandler handler) {
    UDTSOCKET socket = m_socket;
    if (socket == UDT::INVALID_SOCK) return fail(std::move(handler));
    set_blocking(false, m_send_blocking);
    m_bridge.async_read(socket, buffer, all, std::move(handler));
  }

  void fail(IoHandler handler) {
    asio::post(m_io, [handler = std::move(handler)] { handler(asio::error::bad_descriptor, 0); });
  }

  std::size_t receive(char* data, std::size_t size, asio::error_code& error) {
    UDTSOCKET socket = m_socket;
    if (socket == UDT::INVALID_SOCK) {
      error = asio::error::bad_descriptor;
      return 0;
    }
    if (size == 0) return 0;
    set_blocking(true, m_send_blocking);
    int count = UDT::recv(socket, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (count == UDT::ERROR) {
      error = udt_io_error(UDT::getlasterror_code(), true);
      return 0;
    }
    return static_cast<std::size_t>(count);
  }

  // Blocking calls wait inside UDT; the bridge's calls must not. The client
  // that makes blocking calls does not start asynchronous ones meanwhile.
  void set_blocking(bool receive, bool send) {
    if (receive == m_receive_blocking && send == m_send_blocking) return;
    set_udt_blocking(m_socket, receive, send);
    m_receive_blocking = receive;
    m_send_blocking = send;
  }

  asio::io_context& m_io;
  UdtBridge& m_bridge;
  // Atomic: close() from another thread may end a blocking call.
  std::atomic<UDTSOCKET> m_socket{UDT::INVALID_SOCK};
  bool m_receive_blocking = true;
  bool m_send_blocking = true;
  int m_wait_epoll = -1;  // wait_readable's own
  std::string m_detail;
};

class UdtAcceptor : public Acceptor {
 public:
  UdtAcceptor(asio::io_context& io, UdtBridge& bridge) : m_io(io), m_bridge(bridge) {}
  ~UdtAcceptor() override { close(); }

  void listen(const std::string& address, uint16_t port, asio::error_code& error) override {
    close();
    m_detail.clear();
    // "*" (and "") is every address: one IPv6 socket that takes IPv4 too, or
    // IPv4 alone on a machine without IPv6.
    if (address.empty() || address == "*") {
      sockaddr_in6 any{};
      any.sin6_family = AF_INET6;
      any.sin6_port = htons(port);
      any.sin6_addr = in6addr_any;
      bind_and_listen(reinterpret_cast<sockaddr*>(&any), sizeof(any), error);
      if (!error) return;
      sockaddr_in any4{};
      any4.sin_family = AF_INET;
      any4.sin_port = htons(port);
      any4.sin_addr.s_addr = htonl(INADDR_ANY);
      error.clear();
      bind_and_listen(reinterpret_cast<sockaddr*>(&any4), sizeof(any4), error);
      return;
    }
    asio::ip::address ip = asio::ip::make_address(address, error);
    if (error) return;
    asio::ip::udp::endpoint endpoint(ip, port);
    bind_and_listen(endpoint.data(), static_cast<int>(endpoint.size()), error);
  }

  void async_accept(std::function<void(const asio::error_code&, std::unique_ptr<Stream>)> handler) override {
    UDTSOCKET socket = m_socket;
    if (socket == UDT::INVALID_SOCK) {
      asio::post(m_io, [handler = std::move(handler)] { handler(asio::error::operation_aborted, nullptr); });
      return;
    }
    asio::io_context& io = m_io;
    UdtBridge& bridge = m_bridge;
    m_bridge.async_accept(
        socket, [&io, &bridge](UDTSOCKET accepted) { return std::make_unique<UdtStream>(io, bridge, accepted); },
        std::move(handler));
  }

  void close() override {
    UDTSOCKET socket = m_socket.exchange(UDT::INVALID_SOCK);
    if (socket == UDT::INVALID_SOCK) return;
    m_bridge.cancel(socket);
    UDT::close(socket);
  }

  std::string error_detail() const override { return m_detail; }

 private:
  void bind_and_listen(const sockaddr* address, int length, asio::error_code& error) {
    UDTSOCKET socket = UDT::socket(address->sa_family, SOCK_STREAM, 0);
    // A port held by another UDT socket of this process is in use, as it is
    // when another process holds it.
    bool reuse = false;
    bool ok = socket != UDT::INVALID_SOCK &&
              UDT::setsockopt(socket, 0, UDT_REUSEADDR, &reuse, sizeof(reuse)) == 0 &&
              UDT::bind(socket, address, length) == 0 && UDT::listen(socket, SOMAXCONN) == 0;
    if (!ok) {
      error = udt_error();
      m_detail = UDT::getlasterror_desc();
      if (socket != UDT::INVALID_SOCK) UDT::close(socket);
      return;
    }
    // Accepts are tried by the bridge, which must not wait in them.
    bool blocking = false;
    UDT::setsockopt(socket, 0, UDT_RCVSYN, &blocking, sizeof(blocking));
    m_socket = socket;
  }

  asio::io_context& m_io;
  UdtBridge& m_bridge;
  std::atomic<UDTSOCKET> m_socket{UDT::INVALID_SOCK};
  std::string m_detail;
};

}  // namespace
}  // namespace detail

extern "C" __attribute__((visibility("default"))) const detail::UdtModule* tarvelo_udt_module() {
  static const detail::UdtModule module{
      [](asio::io_context& io) -> std::unique_ptr<detail::Stream> {
        return std::make_unique<detail::UdtStream>(io, detail::bridge_of(io));
      },
      [](asio::io_context& io) -> std::unique_ptr<detail::Acceptor> {
        return std::make_unique<detail::UdtAcceptor>(io, detail::bridge_of(io));
      }};
  return &module;
}

}  // namespace tarvelo
