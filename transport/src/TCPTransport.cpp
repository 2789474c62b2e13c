#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>

#include <tarvelo/Transport.h>

#include "Stream.h"

namespace tarvelo {

Transport::~Transport() = default;

namespace detail {

void apply_keep_alive(asio::ip::tcp::socket& socket, const KeepAlive& keep_alive,
                      asio::error_code& error) {
  if (!keep_alive.enabled()) return;
  auto set = [&](int level, int name, int value) {
    if (error || value == 0) return;
    if (::setsockopt(socket.native_handle(), level, name, &value, sizeof(value)) != 0)
      error = asio::error_code(errno, asio::system_category());
  };
  set(SOL_SOCKET, SO_KEEPALIVE, 1);
  set(IPPROTO_TCP, TCP_KEEPIDLE, keep_alive.idle_seconds);
  set(IPPROTO_TCP, TCP_KEEPCNT, keep_alive.probe_count);
  set(IPPROTO_TCP, TCP_KEEPINTVL, keep_alive.interval_seconds);
}

namespace {

void bind_and_listen(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint,
                     bool dual_stack, asio::error_code& error) {
  acceptor.open(endpoint.protocol(), error);
  if (error) return;
  if (dual_stack) acceptor.set_option(asio::ip::v6_only(false), error);
  if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    asio::error_code ignored;
    acceptor.close(ignored);
  }
}

}  // namespace

void open_acceptor(asio::ip::tcp::acceptor& acceptor, const std::string& address, uint16_t port,
                   asio::error_code& error) {
  // "*" (and "") is every address: one IPv6 socket that takes IPv4 too, or
  // IPv4 alone on a machine without IPv6.
  if (address.empty() || address == "*") {
    bind_and_listen(acceptor, {asio::ip::address_v6::any(), port}, true, error);
    if (error == asio::error::address_family_not_supported ||
        error == std::errc::address_not_available) {
      error.clear();
      bind_and_listen(acceptor, {asio::ip::address_v4::any(), port}, false, error);
    }
    return;
  }
  asio::ip::address ip = asio::ip::make_address(address, error);
  if (error) return;
  bind_and_listen(acceptor, {ip, port}, false, error);
}

void connect_socket(asio::ip::tcp::socket& socket, const std::string& address, uint16_t port,
                    asio::error_code& error) {
  asio::ip::tcp::resolver resolver(socket.get_executor());
  auto endpoints = resolver.resolve(address, std::to_string(port), error);
  if (error) return;
  asio::connect(socket, endpoints, error);
  if (error) return;
  socket.set_option(asio::ip::tcp::no_delay(true), error);
}

namespace {

bool poll_for(int fd, short events, int milliseconds) {
  pollfd wanted{fd, events, 0};
  for (;;) {
    int ready = ::poll(&wanted, 1, milliseconds);
    if (ready >= 0) return ready > 0;
    if (errno != EINTR) return true;  // the call that follows reports the trouble
  }
}

}  // namespace

bool poll_readable(int fd, int milliseconds) { return poll_for(fd, POLLIN, milliseconds); }

bool poll_writable(int fd, int milliseconds) { return poll_for(fd, POLLOUT, milliseconds); }

namespace {

class TcpStream : public Stream {
 public:
  explicit TcpStream(asio::io_context& io) : m_socket(io) {}
  explicit TcpStream(asio::ip::tcp::socket socket) : m_socket(std::move(socket)) {}

  void async_read(asio::mutable_buffer buffer, IoHandler handler) override {
    asio::async_read(m_socket, buffer, TransferAll{}, std::move(handler));
  }

  void async_write(const Buffers& buffers, IoHandler handler) override {
    asio::async_write(m_socket, buffers, TransferAll{}, std::move(handler));
  }

  void read(asio::mutable_buffer buffer, asio::error_code& error) override {
    asio::read(m_socket, buffer, TransferAll{}, error);
  }

  void async_read_some(asio::mutable_buffer buffer, IoHandler handler) override {
    m_socket.async_read_some(buffer, std::move(handler));
  }

  std::size_t read_some(asio::mutable_buffer buffer, asio::error_code& error) override {
    return m_socket.read_some(buffer, error);
  }

  bool wait_readable(int milliseconds) override {
    return poll_readable(m_socket.native_handle(), milliseconds);
  }

  void write(const Buffers& buffers, asio::error_code& error) override {
    asio::write(m_socket, buffers, TransferAll{}, error);
  }

  std::size_t write_now(const Buffers& buffers, asio::error_code& error) override {
    std::vector<iovec> pieces;
    for (const asio::const_buffer& buffer : buffers)
      if (buffer.size() > 0 && pieces.size() < IOV_MAX)
        pieces.push_back({const_cast<void*>(buffer.data()), buffer.size()});
    msghdr message{};
    message.msg_iov = pieces.data();
    message.msg_iovlen = pieces.size();
    ssize_t written = ::sendmsg(m_socket.native_handle(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (written >= 0) return static_cast<std::size_t>(written);
    if (errno != EAGAIN && errno != EWOULDBLOCK) error = asio::error_code(errno, asio::system_category());
    return 0;
  }

  int native_handle() override { return m_socket.native_handle(); }

  std::size_t read_now(asio::mutable_buffer buffer, asio::error_code& error) override {
    for (;;) {
      ssize_t got = ::recv(m_socket.native_handle(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (got > 0) return static_cast<std::size_t>(got);
      if (got == 0)
        error = asio::error::eof;
      else if (errno == EINTR)
        continue;
      else if (errno != EAGAIN && errno != EWOULDBLOCK)
        error = asio::error_code(errno, asio::system_category());
      return 0;
    }
  }

  void async_wait_readable(IoHandler handler) override {
    // The reactor re-arms the descriptor for the wait, so bytes that came
    // while nothing waited are seen too.
    m_socket.async_wait(asio::socket_base::wait_read,
                        [handler = std::move(handler)](const asio::error_code& error) { handler(error, 0); });
  }

  void connect(const std::string& address, uint16_t port, asio::error_code& error) override {
    connect_socket(m_socket, address, port, error);
  }

  Transport::StatusCode peer_uid(uint32_t& uid) override {
    return local_peer_uid(m_socket.native_handle(), uid);
  }

  void close() override {
    asio::error_code ignored;
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    m_socket.close(ignored);
  }

 private:
  asio::ip::tcp::socket m_socket;
};

class TcpAcceptor : public Acceptor {
 public:
  TcpAcceptor(asio::io_context& io, KeepAlive keep_alive)
      : m_acceptor(io), m_keep_alive(keep_alive) {}

  void listen(const std::string& address, uint16_t port, asio::error_code& error) override {
    open_acceptor(m_acceptor, address, port, error);
  }

  void async_accept(
      std::function<void(const asio::error_code&, std::unique_ptr<Stream>)> handler) override {
    m_acceptor.async_accept(
        [handler = std::move(handler), keep_alive = m_keep_alive](const asio::error_code& error,
                                                                  asio::ip::tcp::socket socket) {
          if (error) {
            handler(error, nullptr);
            return;
          }
          // Best effort: a connection is not refused for a socket option.
          asio::error_code ignored;
          socket.set_option(asio::ip::tcp::no_delay(true), ignored);
          apply_keep_alive(socket, keep_alive, ignored);
          handler(error, std::make_unique<TcpStream>(std::move(socket)));
        });
  }

  void close() override {
    asio::error_code ignored;
    m_acceptor.close(ignored);
  }

 private:
  asio::ip::tcp::acceptor m_acceptor;
  KeepAlive m_keep_alive;
};

}  // namespace
}  // namespace detail

std::unique_ptr<detail::Stream> TCPTransport::create_stream(asio::io_context& io) {
  return std::make_unique<detail::TcpStream>(io);
}

std::unique_ptr<detail::Acceptor> TCPTransport::create_acceptor(asio::io_context& io) {
  return std::make_unique<detail::TcpAcceptor>(io, m_keep_alive);
}

std::unique_ptr<Transport> TCPTransport::clone() const {
  return std::make_unique<TCPTransport>(m_keep_alive);
}

}  // namespace tarvelo
