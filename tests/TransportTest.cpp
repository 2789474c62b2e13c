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
  const test::TlsFiles& files = test::tls_files();
  std::unique_ptr<Transport> transport = std::make_unique<TCPTransport>(keep_alive);
  if (combination.tls)
    transport = std::make_unique<TLSTransport>(
        combination.other_name ? TLSOptions{files.other_name_certificate, files.other_name_key, "", true}
                               : TLSOptions{files.certificate, files.key, "", true},
        keep_alive);
  return std::make_unique<BasicSocket>(std::move(transport), layers_of(combination, true));
}

std::unique_ptr<BasicSocket> client_socket(const Combination& combination, const SocketOptions* layers = nullptr,
                                           TLSOptions tls = {"", "", test::tls_files().ca, true}) {
  std::unique_ptr<Transport> transport = std::make_unique<TCPTransport>();
  if (combination.tls) transport = std::make_unique<TLSTransport>(std::move(tls));
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
  std::vector<std::vector<char>> payloads{{}, test::random_bytes(2 * 1024 * 1024 + 3, 2), half_zero};
  // The layers add bytes to a frame: the largest message still passes. (Its
  // 1 MiB period is beyond LZ4's reach, so it does not compress.)
  const Combination& combination = GetParam();
  if (!combination.tls && (combination.compression != Compression::NONE || combination.encryption != Encryption::NONE)) {
    std::vector<char> block = test::random_bytes(1 << 20, 3);
    std::vector<char>& largest = payloads.emplace_back(kMaxMessageSize);
    for (std::size_t offset = 0; offset < largest.size(); offset += block.size())
      std::memcpy(largest.data() + offset, block.data(), std::min(block.size(), largest.size() - offset));
  }
  auto bytes_of = [](const Message& reply) { return std::vector<char>(reply.buffer(), reply.buffer() + reply.size()); };
  for (const auto& bytes : payloads) {
    Message message = message_of(bytes);
    ASSERT_TRUE(client->send(message).ok());
    Message reply = client->receive(&status);
    ASSERT_TRUE(status.ok()) << status.text;
    ASSERT_EQ(bytes_of(reply), bytes);
  }
  // Several messages in flight at once come back whole and in order.
  for (int i = 0; i < 20; ++i) {
    Message message = message_of(test::random_bytes(4 + i * 1000, i));
    ASSERT_TRUE(client->send(message).ok());
  }
  for (int i = 0; i < 20; ++i) ASSERT_EQ(bytes_of(client->receive(&status)), test::random_bytes(4 + i * 1000, i));
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

INSTANTIATE_TEST_SUITE_P(Combinations, TransportTest, testing::ValuesIn(combinations()),
                         [](const testing::TestParamInfo<Combination>& info) { return info.param.name; });

TEST(TransportSocketTest, StopFromAnotherThreadEndsRunAndCloseCancelsAccept) {
  auto listener = server_socket(combinations()[0]);
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

TEST(TransportSocketTest, ACompletionMayDestroyItsOwnSocketWithSendsPending) {
  std::atomic<int> served{0};
  EchoServer server(combinations()[0], [&](EchoServer& self, SocketImpl& connection, Message message,
                                           StatusCode status) {
    if (status.ok()) {
      // Queue a large reply, then drop the connection while it is going out.
      Message reply(8 * 1024 * 1024);
      connection.async_send(reply, [](SocketImpl&, StatusCode) {});
      connection.async_send(message, [](SocketImpl&, StatusCode) {});
      EXPECT_TRUE(connection.is_sending());
      served++;
    }
    self.forget(connection);
  });
  for (int i = 0; i < 2; ++i) {
    auto client = client_socket(combinations()[0]);
    ASSERT_TRUE(client->connect("127.0.0.1", server.port()).ok());
    Message message(32);
    ASSERT_TRUE(client->send(message).ok());
    StatusCode status;
    client->receive(&status);  // whatever arrives, it must not hang or crash
  }
  wait_for([&] { return served == 2; });
  EXPECT_EQ(served, 2);
}

// Raw bytes: a peer leaving mid-frame, and one announcing an oversized frame.
TEST(TransportRawTest, TruncatedAndOversizedFramesEndTheConnection) {
  EchoServer server;
  int fd = test::connect_raw(server.port());
  unsigned char header[8] = {0, 0, 0, 0, 0, 0, 0x03, 0xE8};  // 1000 bytes promised
  ASSERT_TRUE(test::send_raw(fd, header, sizeof(header)));
  ASSERT_TRUE(test::send_raw(fd, "only ten!!", 10));
  close(fd);
  wait_for([&] { return server.failures > 0; });
  EXPECT_EQ(server.last_failure_code, Transport::kClosed);

  fd = test::connect_raw(server.port());
  uint64_t length = kMaxMessageSize + 1;
  for (int i = 7; i >= 0; --i, length >>= 8) header[i] = static_cast<unsigned char>(length);
  ASSERT_TRUE(test::send_raw(fd, header, sizeof(header)));
  wait_for([&] { return server.failures > 1; });
  EXPECT_EQ(server.last_failure_code, Transport::kFrameTooLarge);
  char byte;
  EXPECT_EQ(test::receive_raw(fd, &byte, 1), 0u);  // closed by the server
  close(fd);

  // Nothing listening: a clear failure, and the socket refuses to send.
  auto client = client_socket(combinations()[0]);
  StatusCode status = client->connect("127.0.0.1", test::free_port());
  EXPECT_EQ(status.code, Transport::kError);
  EXPECT_NE(status.text.find("Could not connect to 127.0.0.1:"), std::string::npos);
  Message message(32);
  EXPECT_LT(client->send(message).code, 0);
}

TEST(TransportTlsTest, ServerCertificateIsVerifiedUnlessTheClientOptsOut) {
  const test::TlsFiles& files = test::tls_files();
  Combination tls{"tls", true};
  EchoServer server(tls);
  auto round_trip = [&](BasicSocket& client) {
    Message message = message_of({'p', 'i', 'n', 'g'});
    StatusCode status = client.send(message);
    return client.receive(&status).size() == 4 && status.ok();
  };
  StatusCode status = client_socket(tls, nullptr, {"", "", files.other_ca, true})->connect("127.0.0.1", server.port());
  EXPECT_EQ(status.code, Transport::kError);
  EXPECT_NE(status.text.find("certificate verify failed"), std::string::npos) << status.text;
  // The system's store does not know our test CA either.
  EXPECT_FALSE(client_socket(tls, nullptr, {"", "", "", true})->connect("127.0.0.1", server.port()).ok());
  // Skipping verification is the client's explicit choice.
  auto insecure = client_socket(tls, nullptr, {"", "", files.other_ca, false});
  ASSERT_TRUE(insecure->connect("127.0.0.1", server.port()).ok());
  EXPECT_TRUE(round_trip(*insecure));
  // The host name counts as well as the chain.
  auto by_name = client_socket(tls);
  ASSERT_TRUE(by_name->connect("localhost", server.port()).ok());
  EXPECT_TRUE(round_trip(*by_name));
  EchoServer elsewhere(Combination{"tls", true, Compression::NONE, Encryption::NONE, true});
  status = client_socket(tls)->connect("127.0.0.1", elsewhere.port());
  EXPECT_NE(status.text.find("IP address mismatch"), std::string::npos) << status.text;
}

// (Unreadable files and a plain client of a TLS server: ServerTransportOptionsTest.)
TEST(TransportTlsTest, MismatchedKeyAndPlainServerFailCleanly) {
  const test::TlsFiles& files = test::tls_files();
  TLSTransport swapped(TLSOptions{files.certificate, files.other_name_key, "", true});
  EXPECT_NE(swapped.status().text.find("does not match"), std::string::npos) << swapped.status().text;
  // A TLS client meeting a plain server fails without hanging.
  EchoServer plain;
  EXPECT_FALSE(client_socket(Combination{"tls", true})->connect("127.0.0.1", plain.port()).ok());
}

const Combination kEncrypted{"tcp_xsalsa20", false, Compression::NONE, Encryption::XSALSA20};

// (Differing layers and a client without them: ServerTransportOptionsTest.)
TEST(TransportLayersTest, PlainServerOrAnotherServerKeyIsRefusedByTheClient) {
  // A server without layers, even one that echoes the hello back.
  EchoServer plain_server;
  StatusCode status = client_socket(kEncrypted)->connect("127.0.0.1", plain_server.port());
  EXPECT_NE(status.text.find("the server did not answer the connection hello"), std::string::npos) << status.text;

  // Another server key: refused, the client unusable, the server serving.
  EchoServer server(kEncrypted);
  SocketOptions wrong = layers_of(kEncrypted, false);
  unsigned char other_public[32], other_secret[32];
  crypto::XSalsa20::key_pair(other_public, other_secret);
  std::memcpy(wrong.public_key.data(), other_public, 32);
  auto wrong_key = client_socket(kEncrypted, &wrong);
  status = wrong_key->connect("127.0.0.1", server.port());
  EXPECT_NE(status.text.find("does not match the server public key"), std::string::npos) << status.text;
  Message message(32);
  EXPECT_LT(wrong_key->send(message).code, 0);
  EXPECT_TRUE(client_socket(kEncrypted)->connect("127.0.0.1", server.port()).ok());
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
    while ((count = read(m_server_fd, buffer, sizeof(buffer))) > 0 &&
           test::send_raw(m_client_fd, buffer, static_cast<std::size_t>(count))) {
    }
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
  for (auto fault : {FrameProxy::Fault::kTamper, FrameProxy::Fault::kReplay, FrameProxy::Fault::kReorder}) {
    SCOPED_TRACE(static_cast<int>(fault));
    EchoServer server(kEncrypted);
    FrameProxy proxy(server.port(), fault);
    auto client = client_socket(kEncrypted);
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

  // A whole recorded session sent again: the server's fresh key pair makes a
  // new session key, so the old message does not authenticate.
  EchoServer server(kEncrypted);
  std::vector<std::vector<char>> recorded;
  {
    FrameProxy proxy(server.port(), FrameProxy::Fault::kNone, &recorded);
    auto client = client_socket(kEncrypted);
    ASSERT_TRUE(client->connect("127.0.0.1", proxy.port()).ok());
    Message message = message_of(test::random_bytes(100, 1));
    ASSERT_TRUE(client->send(message).ok());
    StatusCode status;
    EXPECT_EQ(client->receive(&status).size(), 100u);
  }
  ASSERT_EQ(recorded.size(), 2u);  // the hello and the message
  wait_for([&] { return server.failures > 0; });
  int fd = test::connect_raw(server.port());
  for (const auto& frame : recorded) ASSERT_TRUE(test::send_raw(fd, frame.data(), frame.size()));
  wait_for([&] { return server.failures > 1; });
  EXPECT_EQ(server.received, 1);
  EXPECT_NE(server.last_failure().find("failed authentication"), std::string::npos) << server.last_failure();
  close(fd);
}

// A compressed frame claiming `size` bytes, sent raw after a client's hello
// for compression without encryption: the server's failure.
std::string compressed_frame_claiming(uint64_t size, int64_t* code) {
  EchoServer server(Combination{"tcp_lz4", false, Compression::LZ4});
  int fd = test::connect_raw(server.port());
  const unsigned char hello[16] = {0, 0, 0, 0, 0, 0, 0, 8, 'T', 'V', 'L', 'C', 1, 1, 0, 0};
  EXPECT_TRUE(test::send_raw(fd, hello, sizeof(hello)));
  unsigned char answer[16];
  EXPECT_EQ(test::receive_raw(fd, answer, sizeof(answer)), sizeof(answer));
  EXPECT_EQ(answer[15], 0);  // accepted
  // Frame length 9 + 4, flags "compressed", the claimed size, 4 bytes.
  std::vector<unsigned char> frame{0, 0, 0, 0, 0, 0, 0, 13, 1};
  for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<unsigned char>(size >> shift));
  frame.insert(frame.end(), {0x40, 'a', 'b', 'c'});
  EXPECT_TRUE(test::send_raw(fd, frame.data(), frame.size()));
  wait_for([&] { return server.failures > 0; });
  char byte;
  EXPECT_EQ(test::receive_raw(fd, &byte, 1), 0u);  // and hung up on
  close(fd);
  *code = server.last_failure_code;
  return server.last_failure();
}

TEST(TransportLayersTest, CompressedFrameClaimingTooMuchIsRefusedBeforeAllocating) {
  int64_t code = 0;
  // Far more than memory: allocating it would fail loudly.
  std::string text = compressed_frame_claiming(uint64_t{1} << 62, &code);
  EXPECT_EQ(code, Transport::kFrameTooLarge);
  EXPECT_NE(text.find("claims 4611686018427387904 bytes"), std::string::npos) << text;
  // Within the bound but not what the block unpacks to.
  text = compressed_frame_claiming(1000, &code);
  EXPECT_EQ(code, Transport::kError);
  EXPECT_NE(text.find("compressed message is corrupt"), std::string::npos) << text;
}

TEST(TransportKeepAliveTest, AcceptedSocketsGetTheConfiguredValues) {
  // Over TLS with the values set, over plain TCP with all zero (left off).
  for (bool tls : {true, false}) {
    EchoServer server(Combination{"", tls}, nullptr, tls ? KeepAlive{45, 4, 7} : KeepAlive{});
    int fd = test::connect_raw(server.port());
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    // The accepted end: this process's socket at the server port whose peer is `fd`.
    int accepted = -1;
    wait_for([&] {
      for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int candidate = std::atoi(entry.path().filename().c_str());
        sockaddr_in mine{}, peer{};
        socklen_t mine_length = sizeof(mine), peer_length = sizeof(peer);
        if (getsockname(candidate, reinterpret_cast<sockaddr*>(&mine), &mine_length) == 0 &&
            getpeername(candidate, reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0 &&
            mine.sin_family == AF_INET && ntohs(mine.sin_port) == server.port() && peer.sin_port == local.sin_port)
          accepted = candidate;
      }
      return accepted >= 0;
    });
    ASSERT_GE(accepted, 0);
    auto option = [&](int level, int name) {
      int value = -1;
      socklen_t size = sizeof(value);
      getsockopt(accepted, level, name, &value, &size);
      return value;
    };
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), tls ? 1 : 0);
    if (tls) {
      EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 45);
      EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 4);
      EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 7);
    }
    close(fd);
  }
}

}  // namespace
}  // namespace tarvelo
