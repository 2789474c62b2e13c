// Clients that misbehave against a real tarveloftpd: broken frames, huge
// declared lengths, early requests, vanishing in the middle of large
// responses, never reading. The server must stay up, keep answering a
// well-behaved client correctly, and keep its resident memory bounded.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <random>
#include <thread>

#include <tarvelo/UDTTransport.h>
#include <tarveloftp/Coding.h>

#include "ServerFixture.h"
#include "Stream.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Generous: the largest legitimate holdings are one connection's responses
// in flight and one commit's deferred writes. AddressSanitizer keeps freed
// memory in quarantine and so needs more.
constexpr long kMemoryBoundKiB = (kSanitized ? 1536L : 640L) * 1024;

constexpr long kImageSize = 8L << 20;
constexpr long kBlock = 4096;

// A status line of /proc/PID/status in KiB (VmRSS, VmHWM); -1 when gone.
long status_kib(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

class Daemon : public test::DaemonProcess {
 public:
  explicit Daemon(bool udt)
      : test::DaemonProcess(test::random_bytes(kImageSize, 5), udt ? "transport = udt\n" : ""),
        m_udt(udt),
        m_content(test::read_file(image_path())) {
    if (!start()) throw std::runtime_error("no server: " + err());
  }

  bool udt() const { return m_udt; }
  int pid() const { return process().pid(); }
  bool alive() const { return kill(pid(), 0) == 0; }
  long rss_kib() const { return status_kib(pid(), "VmRSS"); }
  long peak_kib() const { return status_kib(pid(), "VmHWM"); }
  std::vector<char>& content() { return m_content; }
  std::string err() const { return process().err(); }

 private:
  bool m_udt;
  std::vector<char> m_content;
};

// A connection that sends and takes bytes as they are, around the framing:
// a TCP descriptor, or over udt a stream of our transport, as UDT sockets
// have no descriptor.
class RawPeer {
 public:
  explicit RawPeer(const Daemon& daemon) {
    if (!daemon.udt()) {
      m_fd = test::connect_raw(daemon.port());
      return;
    }
    m_stream = UDTTransport().create_stream(m_io);
    asio::error_code error;
    m_stream->connect("127.0.0.1", daemon.port(), error);
    if (error) m_stream.reset();
  }
  ~RawPeer() { close(); }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  bool send(const std::vector<char>& bytes) { return send(bytes.data(), bytes.size()); }
  bool send(const void* bytes, std::size_t size) {
    if (!m_stream) return test::send_raw(m_fd, bytes, size);
    asio::error_code error;
    m_stream->write({asio::buffer(bytes, size)}, error);
    return !error;
  }

  // Reads `size` bytes or up to a failure; how many came.
  std::size_t receive(void* bytes, std::size_t size) {
    if (!m_stream) return test::receive_raw(m_fd, bytes, size);
    asio::error_code error;
    std::size_t total = 0;
    while (total < size && !error)
      total += m_stream->read_some(asio::buffer(static_cast<char*>(bytes) + total, size - total), error);
    return total;
  }

  // True when the server closes the connection within a few seconds (an
  // empty refusal frame may come first).
  bool closed_by_server() {
    char sink[4096];
    if (!m_stream) {
      timeval timeout{5, 0};
      setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
      for (;;) {
        ssize_t got = recv(m_fd, sink, sizeof(sink), 0);
        if (got == 0) return true;
        if (got < 0) return errno == ECONNRESET;
      }
    }
    // UDT tells of a close only through the socket's state. The close is
    // one shutdown packet, never sent again: when it is lost (the likeliest
    // cause of this wait running out, now and then, with the whole suite
    // running), the peer learns of the close only from its own time-out,
    // which took 46 s here.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !m_stream->wait_readable(static_cast<int>(left.count()))) return false;
      asio::error_code error;
      m_stream->read_some(asio::buffer(sink), error);
      if (error) return true;
    }
  }

  // With `reset` over tcp, leaves with a reset instead of an orderly close;
  // UDT has no reset, so over udt it closes.
  void close(bool reset = false) {
    if (m_stream) {
      m_stream->close();
      m_stream.reset();
    }
    if (m_fd < 0) return;
    if (reset) {
      linger abort_on_close{1, 0};
      setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close));
    }
    ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
  asio::io_context m_io;  // outlives m_stream, which runs on it
  std::unique_ptr<detail::Stream> m_stream;
};

// A frame header declaring `length` bytes.
std::vector<char> frame_header(uint64_t length) {
  std::vector<char> header(8);
  EncodeFixed64BE(header.data(), length);
  return header;
}

// One frame holding `message`.
std::vector<char> frame(const std::vector<char>& message) {
  std::vector<char> bytes = frame_header(message.size());
  bytes.insert(bytes.end(), message.begin(), message.end());
  return bytes;
}

// A client that follows the protocol and checks every answer against what
// the image must hold.
class GoodClient {
 public:
  explicit GoodClient(Daemon& daemon) : m_daemon(daemon), m_client(daemon.port(), daemon.udt()) {
    Message opened = m_client.handshake("disk", 0, CLIENT_WRITE_ACKNOWLEDGEMENT | CLIENT_HANDSHAKE_SESSION_ID);
    if (opened.size() < wire::kHeaderSize || opened.buffer()[wire::kHandshakeStatus] != STATUS_SUCCESS)
      throw std::runtime_error("good client refused");
    check("start");
  }

  // Writes a block, asks for its acknowledgement and reads it back, then
  // reads another range; every answer must be right.
  void check(const std::string& after) {
    SCOPED_TRACE("good client after " + after);
    ASSERT_TRUE(m_daemon.alive()) << m_daemon.err();
    // Writes stay in the upper half, which other clients only read.
    long block = kImageSize / kBlock / 2 + static_cast<long>(m_random() % (kImageSize / kBlock / 2));
    std::vector<char> data = test::random_bytes(kBlock, static_cast<uint32_t>(m_random()));
    Message write = m_client.request(COMMAND_WRITE, block * kBlock, kBlock, data);
    ASSERT_TRUE(m_client.send(write).ok());
    std::copy(data.begin(), data.end(), m_daemon.content().begin() + block * kBlock);
    Message acknowledged = m_client.exchange(COMMAND_WRITE_ACKNOWLEDGE, 0, 0);
    // One record for this write, more for writes sent without asking.
    ASSERT_GE(acknowledged.size(), wire::kHeaderSize + wire::kAcknowledgeRecordSize);
    EXPECT_EQ(DecodeFixed64BE(acknowledged.buffer() + wire::kAcknowledgeFailures), 0u);

    long elsewhere = kImageSize / 2 + static_cast<long>(m_random() % (kImageSize / 2 - 65536));
    for (long offset : {block * kBlock, elsewhere}) {
      Message answer = m_client.exchange(COMMAND_READ, offset, 65536);
      ASSERT_EQ(answer.size(), wire::kHeaderSize + 65536);
      EXPECT_EQ(std::memcmp(answer.buffer() + wire::kReadData, m_daemon.content().data() + offset, 65536), 0);
    }
  }

 private:
  Daemon& m_daemon;
  test::WireClient m_client;
  std::mt19937 m_random{42};
};

std::vector<char> request_bytes(tarvelo_protocol_command_t command, uint64_t first, uint64_t second,
                                std::size_t size = wire::kHeaderSize) {
  std::vector<char> bytes(size);
  bytes[wire::kCommand] = static_cast<char>(command);
  EncodeFixed64BE(bytes.data() + wire::kOffset, first);
  EncodeFixed64BE(bytes.data() + wire::kLength, second);
  return bytes;
}

// Opens a session on "disk" over a raw connection.
void open_session(RawPeer& peer) {
  std::vector<char> handshake = request_bytes(COMMAND_HANDSHAKE, CLIENT_WRITE_ACKNOWLEDGEMENT, 4, wire::kHeaderSize + 4);
  std::memcpy(handshake.data() + wire::kHandshakeName, "disk", 4);
  char answer[8 + wire::kHeaderSize];
  EXPECT_TRUE(peer.send(frame(handshake)));
  EXPECT_EQ(peer.receive(answer, sizeof(answer)), sizeof(answer));
  EXPECT_EQ(answer[8 + wire::kHandshakeStatus], STATUS_SUCCESS);
}

// Each test runs once per transport the server speaks.
class AbusiveClientTest : public testing::TestWithParam<bool> {};

TEST_P(AbusiveClientTest, BrokenFramesHugeLengthsAndEarlyRequestsLeaveTheServerServing) {
  Daemon daemon(GetParam());
  GoodClient good(daemon);
  // Leaves in the middle of a frame's body, and in the middle of a header.
  RawPeer mid_body(daemon);
  ASSERT_TRUE(mid_body.send(frame_header(1000)) && mid_body.send("0123456789", 10));
  mid_body.close();
  RawPeer mid_header(daemon);
  ASSERT_TRUE(mid_header.send("\0\0\0", 3));
  mid_header.close();
  good.check("frames cut short");

  // What the server must refuse by closing: messages shorter than a message
  // front, empty, requests before the handshake, lengths inside a message
  // that point past its end, and frames longer than any message, one so
  // long that adding to it wraps.
  std::vector<std::pair<std::string, std::vector<char>>> refused = {
      {"5-byte message", frame({2, 0, 0, 0, 0})},
      {"empty message", frame({})},
      {"read before handshake", frame(request_bytes(COMMAND_READ, 0, 4096))},
      {"write before handshake", frame(request_bytes(COMMAND_WRITE, 0, 8, 40))},
      {"handshake naming 2^63 bytes", frame(request_bytes(COMMAND_HANDSHAKE, 0, 1ull << 63))},
      {"handshake naming more than it carries", frame(request_bytes(COMMAND_HANDSHAKE, 0, 5, 33))},
      {"frame of the largest message + 1", frame_header(uint64_t{kMaxMessageSize} + 1)},
      {"frame of 2^64 - 1", frame_header(~uint64_t{0})},
  };
  // All sent before any close is awaited: over udt a close takes a second
  // or two to be seen.
  std::deque<RawPeer> refused_peers;
  for (auto& [what, bytes] : refused) {
    refused_peers.emplace_back(daemon);
    ASSERT_TRUE(refused_peers.back().send(bytes)) << what;
  }
  for (std::size_t i = 0; i < refused.size(); ++i)
    EXPECT_TRUE(refused_peers[i].closed_by_server())
        << refused[i].first << "; the server's log:\n" << daemon.err();
  refused_peers.clear();
  good.check("refused frames");

  // Connections that announce the largest frame allowed and send one byte
  // of it: memory must follow the bytes that arrive, not the announcement.
  long before = daemon.rss_kib();
  std::deque<RawPeer> holders;
  for (int i = 0; i < 24; ++i) {
    holders.emplace_back(daemon);
    ASSERT_TRUE(holders.back().send(frame_header(kMaxMessageSize)) && holders.back().send("x", 1));
  }
  good.check("24 announced 64 MiB frames");
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(daemon.rss_kib() - before, 256 * 1024) << "KiB grown while 24 frames of 64 MiB were announced";
  holders.clear();

  // After a good handshake: requests with negative and huge ranges, then a
  // write declaring more than it carries.
  RawPeer in_session(daemon);
  open_session(in_session);
  for (auto& message : {request_bytes(COMMAND_READ, static_cast<uint64_t>(-4096), 4096),
                        request_bytes(COMMAND_READ, 0, 1ull << 62), request_bytes(COMMAND_HASH, 0, ~0ull),
                        request_bytes(COMMAND_HOLE_PUNCH, static_cast<uint64_t>(-1), 4096),
                        request_bytes(COMMAND_WRITE, 0, 1 << 20, 64)})
    ASSERT_TRUE(in_session.send(frame(message)));
  EXPECT_TRUE(in_session.closed_by_server());
  in_session.close();
  good.check("out-of-range requests");
  EXPECT_EQ(test::read_file(daemon.image_path()).size(), static_cast<std::size_t>(kImageSize));
  EXPECT_LT(daemon.peak_kib(), kMemoryBoundKiB);
  EXPECT_EQ(daemon.stop(), 0) << daemon.err();
}

TEST_P(AbusiveClientTest, ClientsThatLeaveDuringOrNeverReadLargeResponses) {
  Daemon daemon(GetParam());
  GoodClient good(daemon);
  // Ask for 160 MiB of reads and leave with the server still sending: once
  // after reading a little and closing, once with a reset.
  for (bool reset : {false, true}) {
    RawPeer peer(daemon);
    open_session(peer);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(peer.send(frame(request_bytes(COMMAND_READ, 0, 4 << 20))));
    if (!reset) {
      char partial[100000];
      peer.receive(partial, sizeof(partial));
    }
    peer.close(reset);
    good.check("a client that left during 160 MiB of responses");
  }

  // A client that keeps asking but does not read: the server stops taking
  // its requests while too much is queued, then serves them all once the
  // client reads.
  test::WireClient slow(daemon.port(), daemon.udt());
  slow.handshake("disk", 0, 0);
  constexpr int kReads = 300;
  constexpr long kReadSize = 1 << 20;
  std::thread asker([&] {
    for (int i = 0; i < kReads; ++i) {
      Message read = slow.request(COMMAND_READ, (i % 4) * kReadSize, kReadSize);
      if (!slow.send(read).ok()) return;
    }
  });
  std::this_thread::sleep_for(1500ms);
  good.check("a client that asked for 300 MiB without reading");
  EXPECT_LT(daemon.rss_kib(), kMemoryBoundKiB);
  int wrong = 0;
  for (int i = 0; i < kReads; ++i) {
    Message answer = slow.receive();
    if (answer.size() != wire::kHeaderSize + kReadSize ||
        std::memcmp(answer.buffer() + wire::kReadData, daemon.content().data() + (i % 4) * kReadSize, kReadSize) != 0)
      ++wrong;
  }
  EXPECT_EQ(wrong, 0) << "of " << kReads << " responses to the slow client";
  asker.join();
  good.check("the slow client read everything");
  EXPECT_LT(daemon.peak_kib(), kMemoryBoundKiB);
  EXPECT_EQ(daemon.stop(), 0) << daemon.err();
}

INSTANTIATE_TEST_SUITE_P(Carriers, AbusiveClientTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "udt" : "tcp"; });

}  // namespace
}  // namespace tarvelo
