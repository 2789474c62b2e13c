#include <tarvelo/BasicSocket.h>
#include <tarvelo/Crypto.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "TestSupport.h"

namespace tarvelo {
namespace {

using StatusCode = Transport::StatusCode;

// A listener on 127.0.0.1 run on its own thread. Each accepted connection is
// kept in a map and handled by `on_message`; the default echoes.
class EchoServer {
 public:
  using OnMessage = std::function<void(EchoServer&, SocketImpl&, Message, StatusCode)>;

  explicit EchoServer(OnMessage on_message = nullptr)
      : m_on_message(on_message ? std::move(on_message) : echo), m_port(test::free_port()) {
    StatusCode status = m_listener.listen(m_port, "127.0.0.1");
    EXPECT_TRUE(status.ok()) << status.text;
    accept_next();
    m_thread = std::thread([this] { m_run_status = m_listener.run(); });
  }

  ~EchoServer() {
    m_listener.close();
    m_listener.stop();
    m_thread.join();
  }

  uint16_t port() const { return m_port; }

  // Only on the server thread.
  void forget(SocketImpl& connection) { m_connections.erase(&connection); }

  std::atomic<int> failures{0};
  std::atomic<int64_t> last_failure_code{0};
  StatusCode m_run_status;
  BasicSocket m_listener{std::make_unique<TCPTransport>()};

 private:
  static void echo(EchoServer& server, SocketImpl& connection, Message message,
                   StatusCode status) {
    if (!status.ok()) {
      server.last_failure_code = status.code;
      server.failures++;
      server.forget(connection);  // the completion destroys its own socket
      return;
    }
    connection.async_send(message, [](SocketImpl&, StatusCode) {});
    server.receive_next(connection);
  }

  void accept_next() {
    m_listener.async_accept([this](SocketImpl&, std::unique_ptr<SocketImpl> socket,
                                   StatusCode status) {
      if (!status.ok()) return;
      SocketImpl& connection = *socket;
      m_connections[&connection] = std::move(socket);
      receive_next(connection);
      accept_next();
    });
  }

 public:
  void receive_next(SocketImpl& connection) {
    connection.async_receive([this](SocketImpl& self, Message message, StatusCode status) {
      m_on_message(*this, self, std::move(message), std::move(status));
    });
  }

 private:
  OnMessage m_on_message;
  uint16_t m_port;
  std::map<SocketImpl*, std::unique_ptr<SocketImpl>> m_connections;
  std::thread m_thread;
};

void wait_for(const std::function<bool()>& condition) {
  for (int i = 0; i < 500 && !condition(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST(TransportTest, MessagesOfEverySizeMakeTheRoundTrip) {
  EchoServer server;
  BasicSocket client(std::make_unique<TCPTransport>());
  StatusCode status = client.connect("127.0.0.1", server.port());
  ASSERT_TRUE(status.ok()) << status.text;
  for (std::size_t size : {std::size_t{0}, std::size_t{32}, std::size_t{5 * 1024 * 1024 + 3}}) {
    std::vector<char> bytes = test::random_bytes(size, static_cast<uint32_t>(size));
    Message message(static_cast<long>(size));
    if (size) std::memcpy(message.buffer(), bytes.data(), size);
    ASSERT_TRUE(client.send(message).ok());
    Message reply = client.receive(&status);
    ASSERT_TRUE(status.ok()) << status.text;
    ASSERT_EQ(reply.size(), size);
    if (size) EXPECT_EQ(std::memcmp(reply.buffer(), bytes.data(), size), 0);
  }
  // Several messages in flight at once come back whole and in order.
  for (int i = 0; i < 20; ++i) {
    Message message(4 + i * 1000);
    std::memcpy(message.buffer(), &i, sizeof(i));
    ASSERT_TRUE(client.send(message).ok());
  }
  for (int i = 0; i < 20; ++i) {
    Message reply = client.receive(&status);
    ASSERT_TRUE(status.ok());
    ASSERT_EQ(reply.size(), static_cast<std::size_t>(4 + i * 1000));
    int tag;
    std::memcpy(&tag, reply.buffer(), sizeof(tag));
    EXPECT_EQ(tag, i);
  }
  EXPECT_TRUE(client.close().ok());
  EXPECT_TRUE(client.close().ok());  // repeated close is harmless
  Message after = client.receive(&status);
  EXPECT_TRUE(after.null());
  EXPECT_LT(status.code, 0);
}

TEST(TransportTest, PeerClosingMidFrameIsAFailureNotAHang) {
  EchoServer server;
  int fd = test::connect_raw(server.port());
  ASSERT_GE(fd, 0);
  unsigned char header[8] = {0, 0, 0, 0, 0, 0, 0x03, 0xE8};  // 1000 bytes promised
  ASSERT_TRUE(test::send_raw(fd, header, sizeof(header)));
  ASSERT_TRUE(test::send_raw(fd, "only ten!!", 10));
  close(fd);
  wait_for([&] { return server.failures > 0; });
  EXPECT_EQ(server.failures, 1);
  EXPECT_EQ(server.last_failure_code, Transport::kClosed);

  // The blocking side: a peer that sends half a frame and goes away.
  BasicSocket listener(std::make_unique<TCPTransport>());
  uint16_t port = test::free_port();
  ASSERT_TRUE(listener.listen(port, "127.0.0.1").ok());
  std::thread peer([&] {
    listener.async_accept([&](SocketImpl& self, std::unique_ptr<SocketImpl>, StatusCode) {
      self.stop();  // the accepted socket dies at once: the client sees the close
    });
    listener.run();
  });
  BasicSocket client(std::make_unique<TCPTransport>());
  ASSERT_TRUE(client.connect("127.0.0.1", port).ok());
  peer.join();
  StatusCode status;
  Message message = client.receive(&status);
  EXPECT_TRUE(message.null());
  EXPECT_EQ(status.code, Transport::kClosed);
}

TEST(TransportTest, OversizedFrameIsRefusedAndTheConnectionClosed) {
  EchoServer server;
  int fd = test::connect_raw(server.port());
  ASSERT_GE(fd, 0);
  uint64_t length = kMaxMessageSize + 1;
  unsigned char header[8];
  for (int i = 7; i >= 0; --i, length >>= 8) header[i] = static_cast<unsigned char>(length);
  ASSERT_TRUE(test::send_raw(fd, header, sizeof(header)));
  wait_for([&] { return server.failures > 0; });
  EXPECT_EQ(server.last_failure_code, Transport::kFrameTooLarge);
  char byte;
  EXPECT_EQ(test::receive_raw(fd, &byte, 1), 0u);  // closed by the server
  close(fd);

  // Nor do we send what a peer would refuse.
  BasicSocket client(std::make_unique<TCPTransport>());
  ASSERT_TRUE(client.connect("127.0.0.1", server.port()).ok());
  Message huge(static_cast<long>(kMaxMessageSize + 1));
  EXPECT_EQ(client.send(huge).code, Transport::kFrameTooLarge);
}

TEST(TransportTest, StopFromAnotherThreadEndsRunAndCloseCancelsAccept) {
  BasicSocket listener(std::make_unique<TCPTransport>());
  ASSERT_TRUE(listener.listen(test::free_port(), "127.0.0.1").ok());
  std::promise<StatusCode> accept_result;
  listener.async_accept([&](SocketImpl&, std::unique_ptr<SocketImpl> socket, StatusCode status) {
    EXPECT_EQ(socket, nullptr);
    accept_result.set_value(status);
  });
  std::promise<void> finished;
  std::thread runner([&] {
    listener.run();
    finished.set_value();
  });
  listener.close();
  auto cancelled = accept_result.get_future();
  ASSERT_EQ(cancelled.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(cancelled.get().code, Transport::kAcceptCancelled);
  auto done = finished.get_future();
  EXPECT_EQ(done.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  listener.stop();
  EXPECT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  runner.join();
}

TEST(TransportTest, ACompletionMayDestroyItsOwnSocketWithSendsPending) {
  std::atomic<int> served{0};
  EchoServer server([&](EchoServer& self, SocketImpl& connection, Message message,
                        StatusCode status) {
    if (!status.ok()) {
      self.forget(connection);
      return;
    }
    // Queue a large reply, then drop the connection while it is going out.
    Message reply(8 * 1024 * 1024);
    connection.async_send(reply, [](SocketImpl&, StatusCode) {});
    connection.async_send(message, [](SocketImpl&, StatusCode) {});
    EXPECT_TRUE(connection.is_sending());
    self.forget(connection);
    served++;
  });
  for (int i = 0; i < 5; ++i) {
    BasicSocket client(std::make_unique<TCPTransport>());
    ASSERT_TRUE(client.connect("127.0.0.1", server.port()).ok());
    Message message(32);
    ASSERT_TRUE(client.send(message).ok());
    StatusCode status;
    client.receive(&status);  // whatever arrives, it must not hang or crash
  }
  wait_for([&] { return served == 5; });
  EXPECT_EQ(served, 5);
}

TEST(TransportTest, ConnectFailureIsReported) {
  BasicSocket client(std::make_unique<TCPTransport>());
  StatusCode status = client.connect("127.0.0.1", test::free_port());
  EXPECT_EQ(status.code, Transport::kError);
  EXPECT_NE(status.text.find("Could not connect to 127.0.0.1:"), std::string::npos);
  Message message(32);
  EXPECT_LT(client.send(message).code, 0);
}

TEST(TransportTest, CryptoCalls) {
  crypto::blake2b_hash_t digest;
  ASSERT_TRUE(crypto::Blake2b::hash(digest, "abc", 3));
  // BLAKE2b-256("abc") from the algorithm's reference vectors.
  const unsigned char expected[32] = {
      0xbd, 0xdd, 0x81, 0x3c, 0x63, 0x42, 0x39, 0x72, 0x31, 0x71, 0xef, 0x3f, 0xee, 0x98, 0x57, 0x9b,
      0x94, 0x96, 0x4e, 0x3b, 0xb1, 0xcb, 0x3e, 0x42, 0x72, 0x62, 0xc8, 0xc0, 0x68, 0xd5, 0x23, 0x19};
  EXPECT_EQ(std::memcmp(digest, expected, 32), 0);
  crypto::Blake2b incremental;
  incremental.update("a", 1);
  incremental.update("bc", 2);
  crypto::blake2b_hash_t pieces;
  ASSERT_TRUE(incremental.final(pieces));
  EXPECT_EQ(std::memcmp(pieces, expected, 32), 0);
  EXPECT_FALSE(crypto::Blake2b::hash(digest, "abc", -1));

  unsigned char public_key[32], secret_key[32], other_public[32], other_secret[32];
  crypto::XSalsa20::key_pair(public_key, secret_key);
  crypto::XSalsa20::key_pair(other_public, other_secret);
  EXPECT_NE(std::memcmp(public_key, other_public, 32), 0);
  EXPECT_TRUE(crypto::constant_time_equal("same", "same", 4));
  EXPECT_FALSE(crypto::constant_time_equal("same", "sane", 4));
  std::set<uint32_t> values;
  for (int i = 0; i < 16; ++i) values.insert(crypto::Random::int32());
  EXPECT_GT(values.size(), 8u);
}

}  // namespace
}  // namespace tarvelo
