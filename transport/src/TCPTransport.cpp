#include <tarvelo/Transport.h>

#include "Stream.h"

namespace tarvelo {

Transport::~Transport() = default;

namespace detail {
namespace {

class TcpStream : public Stream {
 public:
  explicit TcpStream(asio::io_context& io) : m_socket(io) {}
  explicit TcpStream(asio::ip::tcp::socket socket) : m_socket(std::move(socket)) {}

  void async_read(asio::mutable_buffer buffer, IoHandler handler) override {
    asio::async_read(m_socket, buffer, std::move(handler));
  }

  void async_write(const Buffers& buffers, IoHandler handler) override {
    asio::async_write(m_socket, buffers, std::move(handler));
  }

  void read(asio::mutable_buffer buffer, asio::error_code& error) override {
    asio::read(m_socket, buffer, error);
  }

  void write(const Buffers& buffers, asio::error_code& error) override {
    asio::write(m_socket, buffers, error);
  }

  void connect(const std::string& address, uint16_t port, asio::error_code& error) override {
    asio::ip::tcp::resolver resolver(m_socket.get_executor());
    auto endpoints = resolver.resolve(address, std::to_string(port), error);
    if (error) return;
    asio::connect(m_socket, endpoints, error);
    if (error) return;
    m_socket.set_option(asio::ip::tcp::no_delay(true), error);
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
  explicit TcpAcceptor(asio::io_context& io) : m_acceptor(io) {}

  void listen(const std::string& address, uint16_t port, asio::error_code& error) override {
    asio::ip::address ip = address.empty() ? asio::ip::address(asio::ip::address_v4::any())
                                           : asio::ip::make_address(address, error);
    if (error) return;
    asio::ip::tcp::endpoint endpoint(ip, port);
    m_acceptor.open(endpoint.protocol(), error);
    if (error) return;
    m_acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) m_acceptor.bind(endpoint, error);
    if (!error) m_acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      asio::error_code ignored;
      m_acceptor.close(ignored);
    }
  }

  void async_accept(
      std::function<void(const asio::error_code&, std::unique_ptr<Stream>)> handler) override {
    m_acceptor.async_accept(
        [handler = std::move(handler)](const asio::error_code& error,
                                       asio::ip::tcp::socket socket) {
          if (error) {
            handler(error, nullptr);
            return;
          }
          asio::error_code ignored;
          socket.set_option(asio::ip::tcp::no_delay(true), ignored);
          handler(error, std::make_unique<TcpStream>(std::move(socket)));
        });
  }

  void close() override {
    asio::error_code ignored;
    m_acceptor.close(ignored);
  }

 private:
  asio::ip::tcp::acceptor m_acceptor;
};

}  // namespace
}  // namespace detail

std::unique_ptr<detail::Stream> TCPTransport::create_stream(asio::io_context& io) {
  return std::make_unique<detail::TcpStream>(io);
}

std::unique_ptr<detail::Acceptor> TCPTransport::create_acceptor(asio::io_context& io) {
  return std::make_unique<detail::TcpAcceptor>(io);
}

std::unique_ptr<Transport> TCPTransport::clone() const { return std::make_unique<TCPTransport>(); }

}  // namespace tarvelo
