#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>

#include <tarvelo/SocketImpl.h>

namespace tarvelo {

namespace detail {
struct SocketState;
}

// Message layers, over any transport. Both ends must use the same settings;
// with either layer on, each connection starts with a hello exchange that
// compares them, so a mismatch fails the connection with a message saying
// so instead of delivering garbage.
struct SocketOptions {
  // LZ4 per message; a message that does not shrink travels as it is.
  enum class Compression : uint8_t { NONE = 0, LZ4 = 1 };
  // XSalsa20-Poly1305 per message, keyed by an X25519 exchange between a
  // fresh client key pair, the server's key pair and a fresh server key
  // pair; any forged, replayed or reordered message ends the connection.
  enum class Encryption : uint8_t { NONE = 0, XSALSA20 = 1 };

  Compression compression = Compression::NONE;
  Encryption encryption = Encryption::NONE;
  // XSalsa20: a listener's own key pair; on a client, the server's public
  // key (the secret key is not used).
  std::array<unsigned char, 32> public_key{};
  std::array<unsigned char, 32> secret_key{};

  bool layered() const { return compression != Compression::NONE || encryption != Encryption::NONE; }
};

// SocketImpl over a Transport. Each message travels as an 8-byte big-endian
// length followed by its bytes (encoded by the message layers when they are
// on); a declared length above kMaxMessageSize (plus the layers' overhead)
// is refused with kFrameTooLarge and the connection is closed.
//
// Sockets accepted by a listener share its io_context: their completions run
// inside the listener's run(), on that thread, and may destroy their socket.
// Destroy an accepted socket only on that thread or after run() returned.
class TARVELO_TRANSPORT_EXPORT BasicSocket : public SocketImpl {
 public:
  explicit BasicSocket(std::unique_ptr<Transport> transport, const SocketOptions& options = {});
  ~BasicSocket() override;

  BasicSocket(const BasicSocket&) = delete;
  BasicSocket& operator=(const BasicSocket&) = delete;

  Transport::StatusCode connect(std::string address, uint16_t port) override;
  Transport::StatusCode listen(uint16_t port, std::string address) override;
  void async_accept(AcceptHandler handler) override;
  Message receive(Transport::StatusCode* status) override;
  Message receive_placed(const Placement& placement, bool& placed, Transport::StatusCode* status) override;
  void async_receive(ReceiveHandler handler) override;
  bool take_ready(Message& message) override;
  Transport::StatusCode send(Message& message) override;
  // A blocking receive that waits longer than this for data fails (and
  // closes the connection, whose stream position is then lost); zero, the
  // default, waits for ever.
  void set_receive_timeout(std::chrono::milliseconds timeout);
  // Small messages go out in one write.
  Transport::StatusCode send_all(std::vector<Message>& messages) override;
  // Without compression or encryption the pieces go out as they are, in
  // one write; with them, joined first.
  Transport::StatusCode send_pieces(const Piece* pieces, std::size_t count) override;
  void async_send(Message& message, SendHandler handler) override;
  void async_reply(Message& message, SendHandler handler) override;
  // Small messages go out in one write, up to 64 of them.
  void async_send_all(std::vector<Message>& messages, SendHandler handler) override;
  // Writes on the calling thread over plain TCP; with compression or
  // encryption, or over another stream, queues everything.
  void send_now(std::vector<Message>& messages, SendHandler handler,
                const std::function<bool()>& keep_waiting) override;
  Transport::StatusCode close() override;
  Transport::StatusCode run() override;
  void stop() override;
  bool is_receiving() override;
  bool is_sending() override;
  // Known over plain TCP; fails over TLS.
  [[nodiscard]] Transport::StatusCode peer_uid(uint32_t& uid) override;
  [[nodiscard]] bool post(std::function<void()> work) override;
  // Over TCP only, where a large message's layers are taken off by the
  // helper too.
  void set_receive_helper(Helper helper) override;

 private:
  BasicSocket(std::shared_ptr<asio::io_context> io, std::shared_ptr<detail::SocketState> state);

  // Declared first: the state's stream needs the io_context while it dies.
  std::shared_ptr<asio::io_context> m_io;
  std::shared_ptr<detail::SocketState> m_state;
};

}  // namespace tarvelo
