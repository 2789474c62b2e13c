#include <tarvelo/BasicSocket.h>
#include <tarvelo/Crypto.h>
#include <tarvelo/TLSTransport.h>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <thread>

#include "TestSupport.h"

namespace tarvelo {
namespace {

using StatusCode = Transport::StatusCode;
using Compression = SocketOptions::Compression;
using Encryption = SocketOptions::Encryption;

// One way of carrying messages: a transport and the message layers.
struct Combination {
  std::string name;
  bool tls = false;
  Compression compression = Compression::NONE;
  Encryption encryption = Encryption::NONE;
  bool other_name = false;  // TLS server certificate for another host name
};

const std::vector<Combination>& combinations() {
  static const std::vector<Combination> all{
      {"tcp"},
      {"tls", true},
      {"tcp_lz4", false, Compression::LZ4},
      {"tcp_xsalsa20", false, Compression::NONE, Encryption::XSALSA20},
      {"tls_lz4", true, Compression::LZ4},
  };
  return all;
}

// The server's key pair for every encrypted test of this run.
const SocketOptions& server_keys() {
  static const SocketOptions keys = [] {
    SocketOptions options;
    unsigned char public_key[32], secret_key[32];
    crypto::XSalsa20::key_pair(public_key, secret_key);
    std::memcpy(options.public_key.data(), public_key, 32);
    std::memcpy(options.secret_key.data(), secret_key, 32);
    return options;
  }();
  return keys;
}

SocketOptions layers_of(const Combination& combination, bool server) {
  SocketOptions options = server_keys();
  if (!server) options.secret_key.fill(0);
  options.compression = combination.compression;
  options.encryption = combination.encryption;
  return options;
}

std::unique_ptr<BasicSocket> server_socket(const Combination& combination, KeepAlive keep_alive = {}) {
  std::unique_ptr<Transport> transport;
  if (combination.tls) {
    const test::TlsFiles& files = test::tls_files();
    TLSOptions options{files.certificate, files.key, "", true};
    if (combination.other_name) options = {files.other_name_certificate, files.other_name_key, "", true};
    transport = std::make_unique<TLSTransport>(std::move(options), keep_alive);
  } else {
    transport = std::make_unique<TCPTransport>(keep_alive);
  }
  return std::make_unique<BasicSocket>(std::move(transport), layers_of(combination, true));
}

std::unique_ptr<BasicSocket> client_socket(const Combination& combination, const SocketOptions* layers = nullptr,
                                           TLSOptions tls = {"", "", test::tls_files().ca, true}) {
  std::unique_ptr<Transport> transport;
  if (combination.tls)
    transport = std::make_unique<TLSTransport>(std::move(tls));
  else
    transport = std::make_unique<TCPTransport>();
  return std::make_unique<BasicSocket>(std::move(transport), layers ? *layers : layers_of(combination, false));
}

Message message_of(const std::vector<char>& bytes) {
  Message message(static_cast<long>(bytes.size()));
  if (!bytes.empty()) std::memcpy(message.buffer(), bytes.data(), bytes.size());
  return message;
}

// A listener on 127.0.0.1 run on its own thread. Each accepted connection is
// kept in a map and handled by `on_message`; the default echoes.
class EchoServer {
 public:
  using OnMessage = std::function<void(EchoServer&, SocketImpl&, Message, StatusCode)>;

  explicit EchoServer(const Combination& combination = combinations()[0], OnMessage on_message = nullptr,
                      KeepAlive keep_alive = {})
      : m_listener(server_socket(combination, keep_alive)),
        m_on_message(on_message ? std::move(on_message) : echo),
        m_port(test::free_port()) {
    StatusCode status = m_listener->listen(m_port, "127.0.0.1");
    EXPECT_TRUE(status.ok()) << status.text;
    accept_next();
    m_thread = std::thread([this] { m_listener->run(); });
  }

  ~EchoServer() {
    m_listener->close();
    m_listener->stop();
    m_thread.join();
  }

  uint16_t port() const { return m_port; }

  // Only on the server thread.
  void forget(SocketImpl& connection) { m_connections.erase(&connection); }

  std::string last_failure() {
    std::lock_guard lock(m_mutex);
    return m_last_failure;
  }

  void receive_next(SocketImpl& connection) {
    connection.async_receive([this](SocketImpl& self, Message message, StatusCode status) {
      m_on_message(*this, self, std::move(message), std::move(status));
    });
  }

  std::atomic<int> failures{0};
  std::atomic<int> received{0};
  std::atomic<int64_t> last_failure_code{0};

 private:
  static void echo(EchoServer& server, SocketImpl& connection, Message message, StatusCode status) {
    if (!status.ok()) {
      {
        std::lock_guard lock(server.m_mutex);
        server.m_last_failure = status.text;
      }
      server.last_failure_code = status.code;
      server.failures++;
      server.forget(connection);  // the completion destroys its own socket
      return;
    }
    server.received++;
    connection.async_send(message, [](SocketImpl&, StatusCode) {});
    server.receive_next(connection);
  }

  void accept_next() {
    m_listener->async_accept([this](SocketImpl&, std::unique_ptr<SocketImpl> socket, StatusCode status) {
      if (!status.ok()) return;
      SocketImpl& connection = *socket;
      m_connections[&connection] = std::move(socket);
      receive_next(connection);
      accept_next();
    });
  }

  std::unique_ptr<BasicSocket> m_listener;
  OnMessage m_on_message;
  uint16_t m_port;
  std::map<SocketImpl*, std::unique_ptr<SocketImpl>> m_connections;
  std::thread m_thread;
  std::mutex m_mutex;
  std::string m_last_failure;
};

void wait_for(const std::function<bool()>& condition) {
  for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

class TransportTest : public testing::TestWithParam<Combination> {};

TEST_P(TransportTest, MessagesOfEverySizeMakeTheRoundTrip) {
  EchoServer server(GetParam());
  auto client = client_socket(GetParam());
  StatusCode status = client->connect("127.0.0.1", server.port());
  ASSERT_TRUE(status.ok()) << status.text;
  // Random bytes do not compress, half-zero bytes do; both come back intact.
  std::vector<char> half_zero = test::random_bytes(3 * 1024 * 1024, 5);
  std::fill(half_zero.begin(), half_zero.begin() + half_zero.size() / 2, 0);
  std::vector<std::vector<char>> payloads{{}, test::random_bytes(32, 1), test::random_bytes(2 * 1024 * 1024 + 3, 2),
                                          half_zero};
  // The layers add bytes to a frame: the largest message still passes. (Its
  // 1 MiB period is beyond LZ4's reach, so it does not compress.)
  const Combination& combination = GetParam();
  if (!combination.tls && (combination.compression != Compression::NONE || combination.encryption != Encryption::NONE)) {
    std::vector<char> block = test::random_bytes(1 << 20, 3);
    std::vector<char>& largest = payloads.emplace_back(kMaxMessageSize);
    for (std::size_t offset = 0; offset < largest.size(); offset += block.size())
      std::memcpy(largest.data() + offset, block.data(), std::min(block.size(), largest.size() - offset));
  }
  for (const auto& bytes : payloads) {
    Message message = message_of(bytes);
    ASSERT_TRUE(client->send(message).ok());
    Message reply = client->receive(&status);
    ASSERT_TRUE(status.ok()) << status.text;
    ASSERT_EQ(reply.size(), bytes.size());
    if (!bytes.empty()) {
      EXPECT_EQ(std::memcmp(reply.buffer(), bytes.data(), bytes.size()), 0);
    }
  }
  // Several messages in flight at once come back whole and in order.
  for (int i = 0; i < 20; ++i) {
    Message message(4 + i * 1000);
    std::memcpy(message.buffer(), &i, sizeof(i));
    ASSERT_TRUE(client->send(message).ok());
  }
  for (int i = 0; i < 20; ++i) {
    Message reply = client->receive(&status);
    ASSERT_TRUE(status.ok());
    ASSERT_EQ(reply.size(), static_cast<std::size_t>(4 + i * 1000));
    int tag;
    std::memcpy(&tag, reply.buffer(), sizeof(tag));
    EXPECT_EQ(tag, i);
  }
  // Nor do we send what a peer would refuse.
  Message huge(static_cast<long>(kMaxMessageSize + 1));
  EXPECT_EQ(client->send(huge).code, Transport::kFrameTooLarge);
  EXPECT_TRUE(client->close().ok());
  EXPECT_TRUE(client->close().ok());  // repeated close is harmless
  Message after = client->receive(&status);
  EXPECT_TRUE(after.null());
  EXPECT_LT(status.code, 0);
  int sent = static_cast<int>(payloads.size()) + 20;
  wait_for([&] { return server.failures > 0; });
  EXPECT_EQ(server.received, sent);
  EXPECT_EQ(server.failures, 1);  // our close, seen by the server
}

TEST_P(TransportTest, PeerGoingAwayIsAFailureNotAHang) {
  auto listener = server_socket(GetParam());
  uint16_t port = test::free_port();
  ASSERT_TRUE(listener->listen(port, "127.0.0.1").ok());
  std::thread peer([&] {
    listener->async_accept([&](SocketImpl& self, std::unique_ptr<SocketImpl>, StatusCode) {
      self.stop();  // the accepted socket dies at once: the client sees the close
    });
    listener->run();
  });
  auto client = client_socket(GetParam());
  StatusCode connected = client->connect("127.0.0.1", port);
  peer.join();
  // With a handshake the loss shows at connect, without one at receive.
  if (connected.ok()) {
    StatusCode status;
    Message message = client->receive(&status);
    EXPECT_TRUE(message.null());
    EXPECT_EQ(status.code, Transport::kClosed) << status.text;
  } else {
    EXPECT_TRUE(GetParam().tls || GetParam().compression != Compression::NONE ||
                GetParam().encryption != Encryption::NONE)
        << connected.text;
  }
}

TEST_P(TransportTest, StopFromAnotherThreadEndsRunAndCloseCancelsAccept) {
  auto listener = server_socket(GetParam());
  ASSERT_TRUE(listener->listen(test::free_port(), "127.0.0.1").ok());
  std::promise<StatusCode> accept_result;
  listener->async_accept([&](SocketImpl&, std::unique_ptr<SocketImpl> socket, StatusCode status) {
    EXPECT_EQ(socket, nullptr);
    accept_result.set_value(status);
  });
  std::promise<void> finished;
  std::thread runner([&] {
    listener->run();
    finished.set_value();
  });
  listener->close();
  auto cancelled = accept_result.get_future();
  ASSERT_EQ(cancelled.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(cancelled.get().code, Transport::kAcceptCancelled);
  auto done = finished.get_future();
  EXPECT_EQ(done.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  listener->stop();
  EXPECT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  runner.join();
}

TEST_P(TransportTest, ACompletionMayDestroyItsOwnSocketWithSendsPending) {
  std::atomic<int> served{0};
  EchoServer server(GetParam(), [&](EchoServer& self, SocketImpl& connection, Message message, StatusCode status) {
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
    auto client = client_socket(GetParam());
    ASSERT_TRUE(client->connect("127.0.0.1", server.port()).ok());
    Message message(32);
    ASSERT_TRUE(client->send(message).ok());
    StatusCode status;
    client->receive(&status);  // whatever arrives, it must not hang or crash
  }
  wait_for([&] { return served == 5; });
  EXPECT_EQ(served, 5);
}

TEST_P(TransportTest, ConnectFailureIsReported) {
  auto client = client_socket(GetParam());
  StatusCode status = client->connect("127.0.0.1", test::free_port());
  EXPECT_EQ(status.code, Transport::kError);
  EXPECT_NE(status.text.find("Could not connect to 127.0.0.1:"), std::string::npos);
  Message message(32);
  EXPECT_LT(client->send(message).code, 0);
}

INSTANTIATE_TEST_SUITE_P(Combinations, TransportTest, testing::ValuesIn(combinations()),
                         [](const testing::TestParamInfo<Combination>& info) { return info.param.name; });

// Raw bytes only make sense without TLS and layers.
TEST(TransportRawTest, PeerClosingMidFrameIsAFailureNotAHang) {
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
}

TEST(TransportRawTest, OversizedFrameIsRefusedAndTheConnectionClosed) {
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
}

TEST(TransportRawTest, CryptoCalls) {
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
  EXPECT_TRUE(crypto::constant_time_equal("same", "same", 4));
  EXPECT_FALSE(crypto::constant_time_equal("same", "sane", 4));
}

TEST(TransportTlsTest, ServerCertificateIsVerifiedUnlessTheClientOptsOut) {
  const test::TlsFiles& files = test::tls_files();
  Combination tls{"tls", true};
  EchoServer server(tls);
  auto round_trip = [&](BasicSocket& client) {
    Message message = message_of({'p', 'i', 'n', 'g'});
    StatusCode status = client.send(message);
    Message reply = client.receive(&status);
    return status.ok() && reply.size() == 4;
  };

  auto wrong_ca = client_socket(tls, nullptr, {"", "", files.other_ca, true});
  StatusCode status = wrong_ca->connect("127.0.0.1", server.port());
  EXPECT_EQ(status.code, Transport::kError);
  EXPECT_NE(status.text.find("certificate verify failed"), std::string::npos) << status.text;
  // The system's store does not know our test CA either.
  auto system_store = client_socket(tls, nullptr, {"", "", "", true});
  EXPECT_FALSE(system_store->connect("127.0.0.1", server.port()).ok());
  // Skipping verification is the client's explicit choice.
  auto insecure = client_socket(tls, nullptr, {"", "", files.other_ca, false});
  ASSERT_TRUE(insecure->connect("127.0.0.1", server.port()).ok());
  EXPECT_TRUE(round_trip(*insecure));
  // The host name counts as well as the chain: localhost is in the
  // certificate, and a certificate for another name is refused.
  auto by_name = client_socket(tls);
  ASSERT_TRUE(by_name->connect("localhost", server.port()).ok());
  EXPECT_TRUE(round_trip(*by_name));

  EchoServer elsewhere(Combination{"tls", true, Compression::NONE, Encryption::NONE, true});
  status = client_socket(tls)->connect("127.0.0.1", elsewhere.port());
  EXPECT_NE(status.text.find("IP address mismatch"), std::string::npos) << status.text;
}

TEST(TransportTlsTest, MissingFilesAndPlainPeersFailCleanly) {
  const test::TlsFiles& files = test::tls_files();
  TLSTransport missing(TLSOptions{"/nonexistent/server.crt", files.key, "", true});
  EXPECT_FALSE(missing.status().ok());
  EXPECT_NE(missing.status().text.find("Cannot read TLS certificate file /nonexistent/server.crt"),
            std::string::npos)
      << missing.status().text;
  BasicSocket listener(missing.clone());
  StatusCode status = listener.listen(test::free_port(), "127.0.0.1");
  EXPECT_NE(status.text.find("/nonexistent/server.crt"), std::string::npos) << status.text;
  TLSTransport swapped(TLSOptions{files.certificate, files.other_name_key, "", true});
  EXPECT_NE(swapped.status().text.find("does not match"), std::string::npos) << swapped.status().text;
  BasicSocket no_certificate(std::make_unique<TLSTransport>(TLSOptions{}));
  EXPECT_FALSE(no_certificate.listen(test::free_port(), "127.0.0.1").ok());

  // A TLS client meets a plain server and a plain client a TLS server:
  // both fail without hanging, and the server keeps serving.
  EchoServer plain;
  auto tls_client = client_socket(Combination{"tls", true});
  EXPECT_FALSE(tls_client->connect("127.0.0.1", plain.port()).ok());
  EchoServer tls_server(Combination{"tls", true});
  BasicSocket plain_client(std::make_unique<TCPTransport>());
  ASSERT_TRUE(plain_client.connect("127.0.0.1", tls_server.port()).ok());
  Message message(32);
  plain_client.send(message);
  plain_client.receive(&status);
  EXPECT_FALSE(status.ok());
  wait_for([&] { return tls_server.failures > 0; });
  EXPECT_EQ(tls_server.failures, 1);
  auto good = client_socket(Combination{"tls", true});
  EXPECT_TRUE(good->connect("127.0.0.1", tls_server.port()).ok());
}

TEST(TransportLayersTest, MismatchedSettingsFailTheConnectionWithAClearMessage) {
  Combination encrypted{"tcp_xsalsa20", false, Compression::NONE, Encryption::XSALSA20};
  EchoServer server(encrypted);
  SocketOptions lz4 = layers_of(encrypted, false);
  lz4.compression = Compression::LZ4;
  auto client = client_socket(encrypted, &lz4);
  StatusCode status = client->connect("127.0.0.1", server.port());
  EXPECT_EQ(status.code, Transport::kError);
  EXPECT_NE(status.text.find("settings differ: the server uses compression none and encryption xsalsa20, "
                             "this client compression lz4 and encryption xsalsa20"),
            std::string::npos)
      << status.text;
  wait_for([&] { return server.failures > 0; });
  EXPECT_NE(server.last_failure().find("settings differ: the client uses compression lz4"), std::string::npos)
      << server.last_failure();

  // A client without layers gets no answer it could misread: the server
  // says why and hangs up.
  BasicSocket plain(std::make_unique<TCPTransport>());
  ASSERT_TRUE(plain.connect("127.0.0.1", server.port()).ok());
  Message message(32);
  ASSERT_TRUE(plain.send(message).ok());
  Message reply = plain.receive(&status);
  EXPECT_EQ(status.code, Transport::kClosed);
  wait_for([&] { return server.failures > 1; });
  EXPECT_NE(server.last_failure().find("did not start with the connection hello"), std::string::npos)
      << server.last_failure();

  // A layered client meeting a server without layers, even one that echoes
  // its hello back, is refused by the client.
  EchoServer plain_server;
  auto layered = client_socket(encrypted);
  status = layered->connect("127.0.0.1", plain_server.port());
  EXPECT_NE(status.text.find("the server did not answer the connection hello"), std::string::npos)
      << status.text;

  // Another server key: refused, the client unusable, the server serving.
  SocketOptions wrong = layers_of(encrypted, false);
  unsigned char other_public[32], other_secret[32];
  crypto::XSalsa20::key_pair(other_public, other_secret);
  std::memcpy(wrong.public_key.data(), other_public, 32);
  auto wrong_key = client_socket(encrypted, &wrong);
  status = wrong_key->connect("127.0.0.1", server.port());
  EXPECT_NE(status.text.find("does not match the server public key"), std::string::npos) << status.text;
  EXPECT_LT(wrong_key->send(message).code, 0);
  EXPECT_TRUE(client_socket(encrypted)->connect("127.0.0.1", server.port()).ok());
}

// Relays one connection to a server, frame by frame from the client, and
// does one bad thing to the client's second frame (its first message).
class FrameProxy {
 public:
  enum class Fault { kNone, kTamper, kReplay, kReorder };

  // `record`, when given, receives every frame from the client, filled by
  // the time the proxy is destroyed.
  FrameProxy(uint16_t server_port, Fault fault, std::vector<std::vector<char>>* record = nullptr)
      : m_fault(fault), m_record(record) {
    m_listen_fd = test::listen_raw(&m_port);
    m_thread = std::thread([this, server_port] {
      m_client_fd = accept(m_listen_fd, nullptr, nullptr);
      m_server_fd = test::connect_raw(server_port);
      std::thread back([this] { copy_back(); });
      relay_frames();
      back.join();
    });
  }

  ~FrameProxy() {
    shutdown(m_listen_fd, SHUT_RDWR);
    m_thread.join();
    for (int fd : {m_listen_fd, m_client_fd, m_server_fd})
      if (fd >= 0) close(fd);
  }

  uint16_t port() const { return m_port; }

 private:
  void hang_up() {
    shutdown(m_client_fd, SHUT_RDWR);
    shutdown(m_server_fd, SHUT_RDWR);
  }

  void copy_back() {
    char buffer[65536];
    ssize_t count;
    while ((count = read(m_server_fd, buffer, sizeof(buffer))) > 0)
      if (!test::send_raw(m_client_fd, buffer, static_cast<std::size_t>(count))) break;
    hang_up();
  }

  void relay_frames() {
    std::vector<char> held;
    for (int index = 0;; ++index) {
      unsigned char header[8];
      if (test::receive_raw(m_client_fd, header, 8) != 8) break;
      uint64_t length = 0;
      for (unsigned char byte : header) length = (length << 8) | byte;
      std::vector<char> frame(8 + length);
      std::memcpy(frame.data(), header, 8);
      if (test::receive_raw(m_client_fd, frame.data() + 8, length) != length) break;
      if (m_record) m_record->push_back(frame);
      if (index == 1 && m_fault == Fault::kTamper) frame[8 + 20] ^= 0x01;
      if (index == 1 && m_fault == Fault::kReplay) test::send_raw(m_server_fd, frame.data(), frame.size());
      if (index == 1 && m_fault == Fault::kReorder) {
        held = frame;
        continue;
      }
      test::send_raw(m_server_fd, frame.data(), frame.size());
      if (index == 2 && !held.empty()) test::send_raw(m_server_fd, held.data(), held.size());
    }
    hang_up();
  }

  Fault m_fault;
  std::vector<std::vector<char>>* m_record;
  int m_listen_fd = -1;
  int m_client_fd = -1;
  int m_server_fd = -1;
  uint16_t m_port = 0;
  std::thread m_thread;
};

TEST(TransportLayersTest, TamperedReplayedOrReorderedMessagesEndTheConnection) {
  Combination encrypted{"tcp_xsalsa20", false, Compression::NONE, Encryption::XSALSA20};
  for (auto fault : {FrameProxy::Fault::kTamper, FrameProxy::Fault::kReplay, FrameProxy::Fault::kReorder}) {
    SCOPED_TRACE(static_cast<int>(fault));
    EchoServer server(encrypted);
    FrameProxy proxy(server.port(), fault);
    auto client = client_socket(encrypted);
    StatusCode status = client->connect("127.0.0.1", proxy.port());
    ASSERT_TRUE(status.ok()) << status.text;
    Message first = message_of(test::random_bytes(100, 1));
    Message second = message_of(test::random_bytes(100, 2));
    ASSERT_TRUE(client->send(first).ok());
    ASSERT_TRUE(client->send(second).ok());
    wait_for([&] { return server.failures > 0; });
    EXPECT_EQ(server.failures, 1);
    EXPECT_NE(server.last_failure().find("failed authentication"), std::string::npos) << server.last_failure();
    // Only what came before the fault got through.
    EXPECT_EQ(server.received, fault == FrameProxy::Fault::kReplay ? 1 : 0);
    int replies = 0;
    while (!client->receive(&status).null() && status.ok()) ++replies;
    EXPECT_EQ(replies, server.received.load());
    EXPECT_LT(status.code, 0);
  }
}

TEST(TransportLayersTest, ARecordedSessionReplayedToTheServerFails) {
  Combination encrypted{"tcp_xsalsa20", false, Compression::NONE, Encryption::XSALSA20};
  EchoServer server(encrypted);
  std::vector<std::vector<char>> recorded;
  {
    FrameProxy proxy(server.port(), FrameProxy::Fault::kNone, &recorded);
    auto client = client_socket(encrypted);
    ASSERT_TRUE(client->connect("127.0.0.1", proxy.port()).ok());
    Message message = message_of(test::random_bytes(100, 1));
    ASSERT_TRUE(client->send(message).ok());
    StatusCode status;
    EXPECT_EQ(client->receive(&status).size(), 100u);
  }
  ASSERT_EQ(recorded.size(), 2u);  // the hello and the message
  wait_for([&] { return server.failures > 0; });
  ASSERT_EQ(server.received, 1);

  // The same bytes again: the server's fresh key pair makes a new session
  // key, so the old message does not authenticate.
  int fd = test::connect_raw(server.port());
  for (const auto& frame : recorded) ASSERT_TRUE(test::send_raw(fd, frame.data(), frame.size()));
  wait_for([&] { return server.failures > 1; });
  EXPECT_EQ(server.received, 1);
  EXPECT_NE(server.last_failure().find("failed authentication"), std::string::npos) << server.last_failure();
  close(fd);
}

// The server's answer to the hello of a client that compresses and does
// not encrypt, then `frame` sent raw: the server's failure.
std::string raw_compressed_frame_outcome(const std::vector<unsigned char>& frame, int64_t* code) {
  EchoServer server(Combination{"tcp_lz4", false, Compression::LZ4});
  int fd = test::connect_raw(server.port());
  const unsigned char hello[16] = {0, 0, 0, 0, 0, 0, 0, 8, 'T', 'V', 'L', 'C', 1, 1, 0, 0};
  EXPECT_TRUE(test::send_raw(fd, hello, sizeof(hello)));
  unsigned char answer[16];
  EXPECT_EQ(test::receive_raw(fd, answer, sizeof(answer)), sizeof(answer));
  EXPECT_EQ(std::memcmp(answer + 8, "TVLS", 4), 0);
  EXPECT_EQ(answer[15], 0);  // accepted
  EXPECT_TRUE(test::send_raw(fd, frame.data(), frame.size()));
  wait_for([&] { return server.failures > 0; });
  char byte;
  EXPECT_EQ(test::receive_raw(fd, &byte, 1), 0u);  // and hung up on
  close(fd);
  *code = server.last_failure_code;
  return server.last_failure();
}

TEST(TransportLayersTest, CompressedFrameClaimingTooMuchIsRefusedBeforeAllocating) {
  auto frame_claiming = [](uint64_t size) {
    // Frame length 9 + 4, flags "compressed", the claimed size, 4 bytes.
    std::vector<unsigned char> frame{0, 0, 0, 0, 0, 0, 0, 13, 1};
    for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<unsigned char>(size >> shift));
    frame.insert(frame.end(), {0x40, 'a', 'b', 'c'});
    return frame;
  };
  int64_t code = 0;
  // Far more than memory: allocating it would fail loudly.
  std::string text = raw_compressed_frame_outcome(frame_claiming(uint64_t{1} << 62), &code);
  EXPECT_EQ(code, Transport::kFrameTooLarge);
  EXPECT_NE(text.find("claims 4611686018427387904 bytes"), std::string::npos) << text;
  raw_compressed_frame_outcome(frame_claiming(kMaxMessageSize + 1), &code);
  EXPECT_EQ(code, Transport::kFrameTooLarge);
  // Within the bound but not what the block unpacks to.
  text = raw_compressed_frame_outcome(frame_claiming(1000), &code);
  EXPECT_EQ(code, Transport::kError);
  EXPECT_NE(text.find("compressed message is corrupt"), std::string::npos) << text;
}

// The descriptor of this process's socket connected from `peer_port` to
// `local_port`, or -1.
int find_socket(uint16_t local_port, uint16_t peer_port) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = std::atoi(entry.path().filename().c_str());
    sockaddr_in local{}, peer{};
    socklen_t local_length = sizeof(local), peer_length = sizeof(peer);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_length) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0 || local.sin_family != AF_INET)
      continue;
    if (ntohs(local.sin_port) == local_port && ntohs(peer.sin_port) == peer_port) return fd;
  }
  return -1;
}

TEST(TransportKeepAliveTest, AcceptedSocketsGetTheConfiguredValues) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "tls" : "tcp");
    EchoServer server(Combination{"", tls}, nullptr, KeepAlive{45, 4, 7});
    EchoServer plain_server(Combination{"", tls});
    for (EchoServer* each : {&server, &plain_server}) {
      int fd = test::connect_raw(each->port());
      sockaddr_in local{};
      socklen_t length = sizeof(local);
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
      int accepted = -1;
      wait_for([&] { return (accepted = find_socket(each->port(), ntohs(local.sin_port))) >= 0; });
      ASSERT_GE(accepted, 0);
      auto option = [&](int level, int name) {
        int value = -1;
        socklen_t size = sizeof(value);
        getsockopt(accepted, level, name, &value, &size);
        return value;
      };
      if (each == &server) {
        EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 45);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 4);
        EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 7);
      } else {
        EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 0);  // all zero leaves it off
      }
      close(fd);
    }
  }
}

}  // namespace
}  // namespace tarvelo
