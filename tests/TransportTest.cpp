#include <tarvelo/BasicSocket.h>
#include <tarvelo/Crypto.h>
#include <tarvelo/TLSTransport.h>
#include <tarvelo/UDTTransport.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include <tarveloftp/Coding.h>

#include "FrameParser.h"
#include "Stream.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using StatusCode = Transport::StatusCode;
using Compression = SocketOptions::Compression;
using Encryption = SocketOptions::Encryption;

enum class Carrier { kTcp, kTls, kUdt };

// One way of carrying messages: a transport and the message layers.
struct Combination {
  std::string name;
  Carrier carrier = Carrier::kTcp;
  Compression compression = Compression::NONE;
  Encryption encryption = Encryption::NONE;
  bool other_name = false;  // TLS server certificate for another host name
};

const std::vector<Combination>& combinations() {
  static const std::vector<Combination> all{
      {"tcp"},
      {"tls", Carrier::kTls},
      {"udt", Carrier::kUdt},
      {"tcp_lz4", Carrier::kTcp, Compression::LZ4},
      {"tcp_xsalsa20", Carrier::kTcp, Compression::NONE, Encryption::XSALSA20},
      {"tls_lz4", Carrier::kTls, Compression::LZ4},
      {"udt_lz4", Carrier::kUdt, Compression::LZ4},
      {"udt_xsalsa20", Carrier::kUdt, Compression::NONE, Encryption::XSALSA20},
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

std::unique_ptr<BasicSocket> server_socket(const Combination& combination) {
  const test::TlsFiles& files = test::tls_files();
  std::unique_ptr<Transport> transport = std::make_unique<TCPTransport>();
  if (combination.carrier == Carrier::kUdt) transport = std::make_unique<UDTTransport>();
  if (combination.carrier == Carrier::kTls)
    transport = std::make_unique<TLSTransport>(
        combination.other_name ? TLSOptions{files.other_name_certificate, files.other_name_key, "", true}
                               : TLSOptions{files.certificate, files.key, "", true});
  return std::make_unique<BasicSocket>(std::move(transport), layers_of(combination, true));
}

std::unique_ptr<Transport> client_transport(const Combination& combination,
                                            TLSOptions tls = {"", "", test::tls_files().ca, true}) {
  if (combination.carrier == Carrier::kUdt) return std::make_unique<UDTTransport>();
  if (combination.carrier == Carrier::kTls) return std::make_unique<TLSTransport>(std::move(tls));
  return std::make_unique<TCPTransport>();
}

std::unique_ptr<BasicSocket> client_socket(const Combination& combination, const SocketOptions* layers = nullptr,
                                           TLSOptions tls = {"", "", test::tls_files().ca, true}) {
  return std::make_unique<BasicSocket>(client_transport(combination, std::move(tls)),
                                       layers ? *layers : layers_of(combination, false));
}

Message message_of(const std::vector<char>& bytes) {
  Message message(static_cast<long>(bytes.size()));
  if (!bytes.empty()) std::memcpy(message.buffer(), bytes.data(), bytes.size());
  return message;
}

using test::EchoServer;

void wait_for(const std::function<bool()>& condition) {
  for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

class TransportTest : public testing::TestWithParam<Combination> {};

TEST_P(TransportTest, MessagesOfEverySizeMakeTheRoundTrip) {
  EchoServer server(server_socket(GetParam()));
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
#if defined(__SANITIZE_THREAD__)
  // UDT's own threads run so slowly under ThreadSanitizer that its timers
  // give the peer up during a 64 MiB frame; the smaller messages cover the
  // bridge there.
  const bool largest_too = combination.carrier != Carrier::kUdt;
#else
  const bool largest_too = true;
#endif
  if (largest_too && combination.carrier != Carrier::kTls &&
      (combination.compression != Compression::NONE || combination.encryption != Encryption::NONE)) {
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
  // A message sent in pieces from where they lie arrives as one.
  std::vector<char> joined{'h', 'e', 'a', 'd'};
  joined.insert(joined.end(), half_zero.begin(), half_zero.end());
  const SocketImpl::Piece pieces[] = {{joined.data(), 4}, {half_zero.data(), half_zero.size()}, {"", 0}};
  ASSERT_TRUE(client->send_pieces(pieces, 3).ok());
  Message joined_reply = client->receive(&status);
  ASSERT_TRUE(status.ok()) << status.text;
  ASSERT_EQ(bytes_of(joined_reply), joined);
  // Several messages in flight at once come back whole and in order, the
  // small ones read together and answered together.
  auto in_flight = [](int i) { return test::random_bytes(4 + (i % 8) * 700 + (i / 8) * 3000, i); };
  for (int i = 0; i < 40; ++i) {
    Message message = message_of(in_flight(i));
    ASSERT_TRUE(client->send(message).ok());
  }
  for (int i = 0; i < 40; ++i) ASSERT_EQ(bytes_of(client->receive(&status)), in_flight(i));
  // Nor do we send what a peer would refuse.
  Message huge(static_cast<long>(kMaxMessageSize + 1));
  EXPECT_EQ(client->send(huge).code, Transport::kFrameTooLarge);
  const SocketImpl::Piece huge_pieces[] = {{huge.buffer(), 1}, {huge.buffer(), huge.size() - 1}};
  EXPECT_EQ(client->send_pieces(huge_pieces, 2).code, Transport::kFrameTooLarge);
  EXPECT_TRUE(client->close().ok());
  EXPECT_TRUE(client->close().ok());  // repeated close is harmless
  Message after = client->receive(&status);
  EXPECT_TRUE(after.null());
  EXPECT_LT(status.code, 0);
  int sent = static_cast<int>(payloads.size()) + 41;
  wait_for([&] { return server.failures > 0; });
  EXPECT_EQ(server.received, sent);
  EXPECT_EQ(server.failures, 1);  // our close, seen by the server
}

INSTANTIATE_TEST_SUITE_P(Combinations, TransportTest, testing::ValuesIn(combinations()),
                         [](const testing::TestParamInfo<Combination>& info) { return info.param.name; });

// The socket's own behaviour, once per transport without layers.
class TransportSocketTest : public testing::TestWithParam<Combination> {};

TEST_P(TransportSocketTest, ACompletionMayDestroyItsOwnSocketWithSendsPending) {
  std::atomic<int> served{0};
  EchoServer server(server_socket(GetParam()), [&](EchoServer& self, SocketImpl& connection, Message message,
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
    auto client = client_socket(GetParam());
    ASSERT_TRUE(client->connect("127.0.0.1", server.port()).ok());
    Message message(32);
    ASSERT_TRUE(client->send(message).ok());
    StatusCode status;
    client->receive(&status);  // whatever arrives, it must not hang or crash
  }
  wait_for([&] { return served == 2; });
  EXPECT_EQ(served, 2);
}

TEST_P(TransportSocketTest, SendAllCompletesOnceAfterItsLastMessage) {
  // The first message is answered by a batch: one too large, refused whole;
  // an empty one; then a large reply between small ones, which arrive in
  // order. The second is answered from another thread by two send_now
  // batches: the first written as far as the socket takes it at once (over
  // TCP most likely stopping inside the large message), the rest left to
  // the loop; the second queued behind it, or written whole by the thread.
  // TLS queues everything, so a smaller message does there. UDT queues the
  // same way and is left out of that part: under ThreadSanitizer, beside
  // another test, its megabytes took from seconds to over five minutes.
  std::mutex mutex;
  std::vector<StatusCode> completions;
  std::thread worker;
  const std::vector<char> large = test::random_bytes(GetParam().carrier == Carrier::kTcp ? 24 << 20 : 2 << 20, 7);
  const std::vector<char> medium = test::random_bytes(1 << 20, 8);
  EchoServer server(server_socket(GetParam()), [&](EchoServer& self, SocketImpl& connection, Message request,
                                                   StatusCode status) {
    if (!status.ok()) return self.forget(connection);
    auto done = [&](SocketImpl&, StatusCode sent) {
      std::lock_guard lock(mutex);
      completions.push_back(sent);
    };
    if (request.size() == 5) {
      std::lock_guard lock(mutex);
      worker = std::thread([&, done] {
        std::vector<Message> first{message_of({'c'}), message_of(large), message_of({'d'})};
        connection.send_now(first, done, [] { return false; });
        std::vector<Message> second{message_of(medium), message_of({'e'})};
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        connection.send_now(second, done, [until] { return std::chrono::steady_clock::now() < until; });
      });
      return;
    }
    std::vector<Message> refused{Message(8), Message(static_cast<long>(kMaxMessageSize + 1))};
    connection.async_send_all(refused, done);
    std::vector<Message> none;
    connection.async_send_all(none, done);
    std::vector<Message> replies{message_of({'a'}), Message(4 * 1024 * 1024), message_of({'b'})};
    connection.async_send_all(replies, done);
    self.receive_next(connection);
  });
  auto client = client_socket(GetParam());
  ASSERT_TRUE(client->connect("127.0.0.1", server.port()).ok());
  Message request(4);
  ASSERT_TRUE(client->send(request).ok());
  StatusCode status;
  std::vector<std::size_t> sizes;
  for (int i = 0; i < 3; ++i) sizes.push_back(client->receive(&status).size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 4 * 1024 * 1024, 1}));
  wait_for([&] {
    std::lock_guard lock(mutex);
    return completions.size() == 3;
  });
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(completions.size(), 3u);
    EXPECT_EQ(completions[0].code, Transport::kFrameTooLarge);
    EXPECT_TRUE(completions[1].ok() && completions[2].ok());
    completions.clear();
  }
  if (GetParam().carrier == Carrier::kUdt) return;

  // Joined before the server goes, however the test ends.
  struct Joiner {
    std::thread& thread;
    std::mutex& mutex;
    ~Joiner() {
      std::unique_lock lock(mutex);
      std::thread started = std::move(thread);
      lock.unlock();
      if (started.joinable()) started.join();
    }
  };
  std::optional<Joiner> joiner(std::in_place, worker, mutex);
  Message second(5);
  ASSERT_TRUE(client->send(second).ok());
  const std::vector<std::vector<char>> expected{{'c'}, large, {'d'}, medium, {'e'}};
  for (const std::vector<char>& bytes : expected) {
    Message reply = client->receive(&status);
    ASSERT_TRUE(status.ok()) << status.text;
    ASSERT_EQ(reply.size(), bytes.size());
    ASSERT_EQ(std::memcmp(reply.buffer(), bytes.data(), bytes.size()), 0) << bytes.size();
  }
  joiner.reset();
  wait_for([&] {
    std::lock_guard lock(mutex);
    return completions.size() == 2;
  });
  std::lock_guard lock(mutex);
  ASSERT_EQ(completions.size(), 2u);
  EXPECT_TRUE(completions[0].ok() && completions[1].ok());
}

TEST_P(TransportSocketTest, ClosingCancelsAcceptStopEndsRunAndACutFrameFailsTheReceive) {
  // A frame cut short by the peer leaving fails that connection's receive
  // and nothing else.
  EchoServer server(server_socket(GetParam()));
  auto leaver = client_socket(GetParam());
  ASSERT_TRUE(leaver->connect("127.0.0.1", server.port()).ok());
  Message whole(64 * 1024);
  ASSERT_TRUE(leaver->send(whole).ok());
  EXPECT_EQ(leaver->receive(nullptr).size(), whole.size());
  asio::io_context io;
  std::unique_ptr<detail::Stream> raw = client_transport(GetParam())->create_stream(io);
  asio::error_code error;
  raw->connect("127.0.0.1", server.port(), error);
  ASSERT_FALSE(error) << error.message();
  // Large enough for its body to be read by the helper over TCP.
  char header[detail::kFrameHeaderSize];
  EncodeFixed64BE(header, 1 << 20);
  std::vector<char> part(200 * 1024);
  raw->write({asio::buffer(header), asio::buffer(part)}, error);
  ASSERT_FALSE(error) << error.message();
  raw->close();
  wait_for([&] { return server.failures > 0; });
  EXPECT_EQ(server.failures, 1);
  EXPECT_EQ(server.last_failure_code, Transport::kClosed) << server.last_failure();
  auto stayer = client_socket(GetParam());
  ASSERT_TRUE(stayer->connect("127.0.0.1", server.port()).ok());
  ASSERT_TRUE(stayer->send(whole).ok());
  EXPECT_EQ(stayer->receive(nullptr).size(), whole.size());

  // Closing a listener fails its pending accept with kAcceptCancelled, and
  // stop() from another thread makes run() return.
  auto listener = server_socket(GetParam());
  ASSERT_TRUE(listener->listen(test::free_port(), "127.0.0.1").ok());
  std::promise<int64_t> accepted;
  listener->async_accept([&](SocketImpl&, std::unique_ptr<SocketImpl>, StatusCode status) {
    accepted.set_value(status.code);
  });
  std::thread loop([&] { (void)listener->run(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(listener->close().ok());
  auto code = accepted.get_future();
  ASSERT_EQ(code.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(code.get(), Transport::kAcceptCancelled);
  listener->stop();
  loop.join();
}

INSTANTIATE_TEST_SUITE_P(Transports, TransportSocketTest,
                         testing::Values(combinations()[0], combinations()[1], combinations()[2]),
                         [](const testing::TestParamInfo<Combination>& info) { return info.param.name; });

// (Another CA and --insecure: ServerTransportOptionsTest.ClientProgramSpeaksEachSetting.)
// Answers each message with who owns the socket at the other end ("uid N",
// or why that cannot be told), then hangs up.
void tell_owner(EchoServer& server, SocketImpl& connection, Message, StatusCode status) {
  if (!status.ok()) {
    server.forget(connection);
    return;
  }
  uint32_t uid = 0;
  StatusCode found = connection.peer_uid(uid);
  std::string text = found.ok() ? "uid " + std::to_string(uid) : found.text;
  Message reply = message_of(std::vector<char>(text.begin(), text.end()));
  connection.async_send(reply, [&server](SocketImpl& self, StatusCode) {
    (void)self.close();
    server.forget(self);
  });
}

TEST(TransportPeerTest, PeerUidIsTheOwnerOfTheConnectingSocket) {
  uint32_t uid = 0;
  EXPECT_FALSE(BasicSocket(std::make_unique<TCPTransport>()).peer_uid(uid).ok());
  struct Way {
    const char* listen;
    const char* connect;
  };
  // IPv4, IPv4 through a dual-stack listener (v4-mapped), and IPv6.
  for (Way way : {Way{"127.0.0.1", "127.0.0.1"}, Way{"::", "127.0.0.1"}, Way{"::1", "::1"}}) {
    SCOPED_TRACE(std::string(way.listen) + " from " + way.connect);
    EchoServer server(nullptr, tell_owner, way.listen);
    EXPECT_EQ(test::ask_raw(way.connect, server.port(), "?"), "uid " + std::to_string(geteuid()));
    if (geteuid() != 0) continue;
    // Another user's socket, not ours: the lookup goes by the peer's end.
    test::ChildOutput other =
        test::run_as_user(test::kNobody, [&] { return test::ask_raw(way.connect, server.port(), "?"); });
    EXPECT_TRUE(other.ok);
    EXPECT_EQ(other.output, "uid " + std::to_string(test::kNobody));
  }
  if (geteuid() != 0) GTEST_SKIP() << "Connecting as another user needs root; checked our own uid only";
}

TEST(TransportTlsTest, ServerCertificateIsVerifiedByChainAndName) {
  Combination tls{"tls", Carrier::kTls};
  EchoServer server(server_socket(tls));
  // The system's store does not know our test CA.
  EXPECT_FALSE(client_socket(tls, nullptr, {"", "", "", true})->connect("127.0.0.1", server.port()).ok());
  EXPECT_TRUE(client_socket(tls)->connect("localhost", server.port()).ok());
  EchoServer elsewhere(server_socket(Combination{"tls", Carrier::kTls, Compression::NONE, Encryption::NONE, true}));
  StatusCode status = client_socket(tls)->connect("127.0.0.1", elsewhere.port());
  EXPECT_NE(status.text.find("IP address mismatch"), std::string::npos) << status.text;
}

// (Unreadable files and a plain client of a TLS server: ServerTransportOptionsTest; cut and
// oversized frames: TransportReadAheadTest and AbusiveClientTest.)
TEST(TransportTlsTest, NoPeerAMismatchedKeyOrAPlainServerFailCleanly) {
  auto client = client_socket(combinations()[0]);
  StatusCode status = client->connect("127.0.0.1", test::free_port());
  EXPECT_EQ(status.code, Transport::kError);  // nothing listens, and the socket refuses to send
  EXPECT_NE(status.text.find("Could not connect to 127.0.0.1:"), std::string::npos);
  Message message(32);
  EXPECT_LT(client->send(message).code, 0);
  const test::TlsFiles& files = test::tls_files();
  TLSTransport swapped(TLSOptions{files.certificate, files.other_name_key, "", true});
  EXPECT_NE(swapped.status().text.find("does not match"), std::string::npos) << swapped.status().text;
  // A TLS client meeting a plain server fails without hanging.
  EchoServer plain;
  EXPECT_FALSE(client_socket(Combination{"tls", Carrier::kTls})->connect("127.0.0.1", plain.port()).ok());
}

const Combination kEncrypted{"tcp_xsalsa20", Carrier::kTcp, Compression::NONE, Encryption::XSALSA20};

// (Differing layers and a client without them: ServerTransportOptionsTest.)
TEST(TransportLayersTest, PlainServerOrAnotherServerKeyIsRefusedByTheClient) {
  // A server without layers, even one that echoes the hello back.
  EchoServer plain_server;
  StatusCode status = client_socket(kEncrypted)->connect("127.0.0.1", plain_server.port());
  EXPECT_NE(status.text.find("the server did not answer the connection hello"), std::string::npos) << status.text;

  // Another server key: refused, the client unusable, the server serving.
  EchoServer server(server_socket(kEncrypted));
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

// One frame (header and body) read from `fd`; empty when the peer left.
std::vector<char> read_frame(int fd) {
  std::vector<char> frame(8);
  if (test::receive_raw(fd, frame.data(), 8) != 8) return {};
  frame.resize(8 + DecodeFixed64BE(frame.data()));
  if (test::receive_raw(fd, frame.data() + 8, frame.size() - 8) != frame.size() - 8) return {};
  return frame;
}

// Over TCP a large frame's bytes are copied by the helper; when it has
// copied all there is, the loop waits for more and hands the rest back.
TEST(TransportHelperTest, AFrameArrivingInPartsIsCopiedByTheHelper) {
  EchoServer server;
  const int fd = test::connect_raw(server.port());
  ASSERT_GE(fd, 0);
  const timeval limit{10, 0};  // a lost frame fails the test instead of hanging it
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
  std::vector<char> frame = test::random_bytes(detail::kFrameHeaderSize + (1 << 20), 11);
  EncodeFixed64BE(frame.data(), 1 << 20);
  const std::size_t first = detail::kFrameHeaderSize + 200 * 1024;
  std::thread sender([&] {
    EXPECT_TRUE(test::send_raw(fd, frame.data(), first));
    // Meanwhile the helper copies the first part and finds no more.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(test::send_raw(fd, frame.data() + first, frame.size() - first));
  });
  EXPECT_EQ(read_frame(fd), frame);
  sender.join();
  ::close(fd);

  // The stream's side of it: a wait sees bytes that came while nothing
  // waited (and the loop was told of them); reading what is there finds
  // nothing more without failing, and an ended stream as a failure.
  uint16_t port = 0;
  const int listener = test::listen_raw(&port);
  ASSERT_GE(listener, 0);
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::unique_ptr<detail::Stream> stream = TCPTransport().create_stream(io);
  asio::error_code error;
  stream->connect("127.0.0.1", port, error);
  ASSERT_FALSE(error) << error.message();
  const int peer = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(test::send_raw(peer, "x", 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  io.poll();
  bool told = false;
  stream->async_wait_readable([&](const asio::error_code& failed, std::size_t) { told = !failed; });
  io.run_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(told);
  char byte = 0;
  EXPECT_EQ(stream->read_now(asio::buffer(&byte, 1), error), 1u);
  EXPECT_EQ(byte, 'x');
  EXPECT_EQ(stream->read_now(asio::buffer(&byte, 1), error), 0u);  // nothing yet is no failure
  EXPECT_FALSE(error);
  ::close(peer);
  ::close(listener);
  wait_for([&] { return stream->read_now(asio::buffer(&byte, 1), error) > 0 || error; });
  EXPECT_EQ(error, asio::error::eof);
}

// The test stands between an encrypted client and the server, relays the
// connection hello both ways, then sends the server the client's next two
// frames after one bad thing was done to them.
TEST(TransportLayersTest, TamperedReplayedOrReorderedMessagesEndTheConnection) {
  enum class Fault { kTamper, kReplay, kReorder, kNone };
  std::vector<std::vector<char>> recorded;  // the hello and one message of an intact session
  for (Fault fault : {Fault::kTamper, Fault::kReplay, Fault::kReorder, Fault::kNone}) {
    SCOPED_TRACE(static_cast<int>(fault));
    EchoServer server(server_socket(kEncrypted));
    uint16_t port = 0;
    int listener = test::listen_raw(&port);
    auto client = client_socket(kEncrypted);
    auto connected = std::async(std::launch::async, [&] { return client->connect("127.0.0.1", port); });
    int from_client = accept(listener, nullptr, nullptr);
    int to_server = test::connect_raw(server.port());
    std::vector<char> hello = read_frame(from_client);
    std::vector<char> answer = (test::send_raw(to_server, hello.data(), hello.size()), read_frame(to_server));
    ASSERT_TRUE(test::send_raw(from_client, answer.data(), answer.size()));
    ASSERT_TRUE(connected.get().ok());
    // Large enough for the server's helper to decode them.
    Message first = message_of(test::random_bytes(200 * 1024, 1)), second = message_of(test::random_bytes(200 * 1024, 2));
    ASSERT_TRUE(client->send(first).ok() && client->send(second).ok());
    std::vector<char> one = read_frame(from_client), two = read_frame(from_client);
    if (fault == Fault::kTamper) one[8 + 20] ^= 0x01;
    std::vector<std::vector<char>> frames{one, fault == Fault::kReplay ? one : two};
    if (fault == Fault::kReorder) std::swap(frames[0], frames[1]);
    if (fault == Fault::kNone) recorded = {hello, one};
    for (const auto& frame : frames) test::send_raw(to_server, frame.data(), frame.size());
    wait_for([&] { return server.failures > 0 || server.received == 2; });
    // Only what came before the fault got through.
    EXPECT_EQ(server.received, fault == Fault::kNone ? 2 : fault == Fault::kReplay ? 1 : 0);
    EXPECT_EQ(server.last_failure().find("failed authentication") != std::string::npos, fault != Fault::kNone)
        << server.last_failure();
    for (int fd : {listener, from_client, to_server}) close(fd);
  }

  // A whole recorded session sent again: the server's fresh key pair makes a
  // new session key, so the old message does not authenticate.
  EchoServer server(server_socket(kEncrypted));
  int fd = test::connect_raw(server.port());
  for (const auto& frame : recorded) test::send_raw(fd, frame.data(), frame.size());
  wait_for([&] { return server.failures > 0; });
  EXPECT_EQ(server.received, 0);
  EXPECT_NE(server.last_failure().find("failed authentication"), std::string::npos) << server.last_failure();
  close(fd);
}

// A compressed frame claiming `size` bytes, sent raw after a client's hello
// for compression without encryption: the server's failure.
std::string compressed_frame_claiming(uint64_t size, int64_t* code) {
  EchoServer server(server_socket(Combination{"tcp_lz4", Carrier::kTcp, Compression::LZ4}));
  int fd = test::connect_raw(server.port());
  const unsigned char hello[16] = {0, 0, 0, 0, 0, 0, 0, 8, 'T', 'V', 'L', 'C', 1, 1, 0, 0};
  EXPECT_TRUE(test::send_raw(fd, hello, sizeof(hello)));
  unsigned char answer[16];
  EXPECT_EQ(test::receive_raw(fd, answer, sizeof(answer)), sizeof(answer));
  EXPECT_EQ(answer[15], 0);  // accepted
  // Frame length 9 + 4, flags "compressed", the claimed size, 4 bytes.
  std::vector<unsigned char> frame{0, 0, 0, 0, 0, 0, 0, 13, 1};
  char claimed[8];
  EncodeFixed64BE(claimed, size);
  frame.insert(frame.end(), claimed, claimed + sizeof(claimed));
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

// Runs in a child of its own, in a network namespace of its own that has
// only a loopback interface, so that listening on every address reaches no
// network. The exit code says which step failed.
int listen_everywhere_in_private_network() {
  if (unshare(CLONE_NEWNET) != 0) return 10;
  int control = ::socket(AF_INET, SOCK_DGRAM, 0);
  ifreq loopback{};
  std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
  if (control < 0 || ioctl(control, SIOCGIFFLAGS, &loopback) != 0) return 11;
  loopback.ifr_flags |= IFF_UP;
  if (ioctl(control, SIOCSIFFLAGS, &loopback) != 0) return 12;
  ::close(control);
  auto reaches = [](int family, const char* address, uint16_t port) {
    int fd = ::socket(family, SOCK_STREAM, 0);
    sockaddr_storage peer{};
    socklen_t size = 0;
    if (family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
      v4->sin_family = AF_INET;
      v4->sin_port = htons(port);
      inet_pton(AF_INET, address, &v4->sin_addr);
      size = sizeof(*v4);
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(port);
      inet_pton(AF_INET6, address, &v6->sin6_addr);
      size = sizeof(*v6);
    }
    // The listener's backlog completes the connection without an accept.
    bool connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&peer), size) == 0;
    if (fd >= 0) ::close(fd);
    return connected;
  };
  bool has_v6 = ::access("/proc/net/if_inet6", F_OK) == 0;
  int step = 20;
  for (const char* every : {"*", ""}) {
    BasicSocket listener(std::make_unique<TCPTransport>());
    const uint16_t port = 3263;
    if (!listener.listen(port, every).ok()) return step;
    if (!reaches(AF_INET, "127.0.0.1", port)) return step + 1;
    if (has_v6 && !reaches(AF_INET6, "::1", port)) return step + 2;
    (void)listener.close();
    step += 10;
  }
  BasicSocket named(std::make_unique<TCPTransport>());
  if (named.listen(3263, "not an address").ok()) return 40;
  return 0;
}

TEST(TransportListenTest, StarAndEmptyAddressListenOnEveryAddress) {
  if (geteuid() != 0) GTEST_SKIP() << "a private network namespace needs root";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(listen_everywhere_in_private_network());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 10) GTEST_SKIP() << "no network namespaces here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see listen_everywhere_in_private_network for the step";
}

}  // namespace
}  // namespace tarvelo
