#pragma once

#include <memory>

#include <tarvelo/SocketImpl.h>

namespace tarvelo {

namespace detail {
struct SocketState;
}

// SocketImpl over a Transport. Each message travels as an 8-byte big-endian
// length followed by its bytes; a declared length above kMaxMessageSize is
// refused with kFrameTooLarge and the connection is closed.
//
// Sockets accepted by a listener share its io_context: their completions run
// inside the listener's run(), on that thread, and may destroy their socket.
// Destroy an accepted socket only on that thread or after run() returned.
class TARVELO_TRANSPORT_EXPORT BasicSocket : public SocketImpl {
 public:
  explicit BasicSocket(std::unique_ptr<Transport> transport);
  ~BasicSocket() override;

  BasicSocket(const BasicSocket&) = delete;
  BasicSocket& operator=(const BasicSocket&) = delete;

  Transport::StatusCode connect(std::string address, uint16_t port) override;
  Transport::StatusCode listen(uint16_t port, std::string address) override;
  void async_accept(AcceptHandler handler) override;
  Message receive(Transport::StatusCode* status) override;
  void async_receive(ReceiveHandler handler) override;
  Transport::StatusCode send(Message& message) override;
  void async_send(Message& message, SendHandler handler) override;
  void async_reply(Message& message, SendHandler handler) override;
  Transport::StatusCode close() override;
  Transport::StatusCode run() override;
  void stop() override;
  bool is_receiving() override;
  bool is_sending() override;

 private:
  BasicSocket(std::shared_ptr<asio::io_context> io, std::shared_ptr<detail::SocketState> state);

  // Declared first: the state's stream needs the io_context while it dies.
  std::shared_ptr<asio::io_context> m_io;
  std::shared_ptr<detail::SocketState> m_state;
};

}  // namespace tarvelo
