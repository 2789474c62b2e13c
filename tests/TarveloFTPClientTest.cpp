// The client against a scripted peer that answers each request with bytes
// chosen by the test: well-formed replies, and the faulty ones a client must
// survive (oversized counts, short replies, replies for other requests).

#include <tarveloftp/TarveloFTPClient.h>

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include <tarvelo/BasicSocket.h>
#include <tarveloftp/Coding.h>

#include "ServerFixture.h"
#include "StorageTestSupport.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using StatusCode = Transport::StatusCode;
using Bytes = std::string;

constexpr long kImageSize = 1 << 20;

// A peer on 127.0.0.1 that accepts one connection and hands every message
// to `respond`, sending back whatever messages it returns, in order.
class ScriptedPeer {
 public:
  using Respond = std::function<std::vector<Bytes>(const Bytes& request)>;

  explicit ScriptedPeer(Respond respond)
      : m_respond(std::move(respond)), m_listener(test::listen_raw(&m_port)) {
    if (m_listener < 0) throw std::runtime_error("cannot listen");
    m_thread = std::thread([this] { serve(); });
  }

  ~ScriptedPeer() {
    shutdown(m_listener, SHUT_RDWR);
    int connection = m_connection.exchange(-1);
    if (connection >= 0) shutdown(connection, SHUT_RDWR);
    m_thread.join();
    ::close(m_listener);
    if (connection >= 0) ::close(connection);
  }

  uint16_t port() const { return m_port; }

  std::vector<Bytes> requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }

  long count(tarvelo_protocol_command_t command) {
    auto all = requests();
    return std::count_if(all.begin(), all.end(), [&](const Bytes& r) { return static_cast<uint8_t>(r[0]) == command; });
  }

 private:
  void serve() {
    int connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    m_connection = connection;
    char header[8];
    while (test::receive_raw(connection, header, 8) == 8) {
      Bytes request(DecodeFixed64BE(header), '\0');
      if (test::receive_raw(connection, request.data(), request.size()) != request.size()) break;
      {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
      }
      for (const Bytes& reply : m_respond(request)) {
        EncodeFixed64BE(header, reply.size());
        if (!test::send_raw(connection, header, 8) || !test::send_raw(connection, reply.data(), reply.size())) return;
      }
    }
  }

  Respond m_respond;
  uint16_t m_port = 0;
  int m_listener = -1;
  std::atomic<int> m_connection{-1};
  std::mutex m_mutex;
  std::vector<Bytes> m_requests;
  std::thread m_thread;
};

uint8_t command_of(const Bytes& request) { return static_cast<uint8_t>(request[0]); }
uint64_t field(const Bytes& message, std::size_t offset) { return DecodeFixed64BE(message.data() + offset); }

Bytes reply_front(uint8_t command, std::size_t size) {
  Bytes reply(size, '\0');
  reply[0] = static_cast<char>(command);
  reply[1] = 3;  // target id
  reply[2] = 0;  // LUN id
  return reply;
}

using test::blake2b;

Bytes hash_reply(const Bytes& request, const std::vector<unsigned char>& digest) {
  Bytes reply = reply_front(COMMAND_HASH, 64);
  std::memcpy(reply.data() + 8, request.data() + 8, 16);
  std::memcpy(reply.data() + 24, digest.data(), digest.size());
  return reply;
}

// Answers handshake, hash handshake and close normally; everything else
// goes to `other`.
ScriptedPeer::Respond server(uint32_t features, ScriptedPeer::Respond other = nullptr,
                             uint64_t block_size = 4096, uint32_t hash_id = 1,
                             long image_size = kImageSize) {
  return [=](const Bytes& request) -> std::vector<Bytes> {
    Bytes reply = reply_front(command_of(request), 32);
    switch (command_of(request)) {
      case COMMAND_HANDSHAKE:
        reply[8] = STATUS_SUCCESS;
        EncodeFixed32BE(reply.data() + 12, 0x1234);
        EncodeFixed64BE(reply.data() + 16, static_cast<uint64_t>(image_size));
        EncodeFixed32BE(reply.data() + 24, tarvelo_version_uid());
        EncodeFixed32BE(reply.data() + 28, features);
        return {reply};
      case COMMAND_HASH_HANDSHAKE:
        EncodeFixed64BE(reply.data() + 8, block_size);
        EncodeFixed32BE(reply.data() + 16, hash_id);
        return {reply};
      case COMMAND_CLOSE:
        reply[8] = STATUS_SUCCESS;
        return {reply};
      default:
        return other ? other(request) : std::vector<Bytes>{};
    }
  };
}

std::unique_ptr<TarveloFTPClient> make_client(uint16_t port, const std::string& password = "",
                                              long partition_offset = 0, const std::string& target = "disk") {
  uint64_t flags = CLIENT_WRITE_ACKNOWLEDGEMENT | CLIENT_HANDSHAKE_SESSION_ID;
  if (!password.empty()) flags |= CLIENT_PASSPHRASE;
  return std::make_unique<TarveloFTPClient>(std::make_unique<BasicSocket>(std::make_unique<TCPTransport>()),
                                            "127.0.0.1", port, target, 0, flags, password, partition_offset);
}

constexpr uint32_t kDirect = 0x0F;
constexpr uint32_t kBlockHashing = 0x1F;

// A READ reply for `request` carrying `data_bytes` bytes of `fill` and
// reporting `count` of them.
Bytes read_reply(const Bytes& request, int64_t count, std::size_t data_bytes, char fill = 'x') {
  Bytes reply = reply_front(COMMAND_READ, 32 + data_bytes);
  std::memcpy(reply.data() + 8, request.data() + 8, 8);
  EncodeFixed64BE(reply.data() + 16, static_cast<uint64_t>(count));
  reply[24] = STATUS_SUCCESS;
  std::memset(reply.data() + 32, fill, data_bytes);
  return reply;
}

TEST(TarveloFTPClientProtocol, HashHandshakeChecksBlockSizeAndHashId) {
  struct Case {
    uint64_t block_size;
    uint32_t hash_id;
    int64_t code;
    std::string text;
  };
  for (const Case& c : {Case{65536, 1, 0, ""},
                        Case{65537, 1, -15, "Did not respond with reasonable block size.  Actual: 65537"},
                        Case{4096, 2, -1, "Did not respond with valid hash function.  Actual: 2"}}) {
    ScriptedPeer peer(server(kBlockHashing, nullptr, c.block_size, c.hash_id));
    auto client = make_client(peer.port());
    StatusCode status = client->open();
    EXPECT_EQ(status.code, c.code) << status.text;
    if (c.code < 0) {
      EXPECT_EQ(status.text, c.text);
    } else {
      EXPECT_EQ(client->block_size(), 65536);
    }
    EXPECT_EQ(client->is_closed(), c.code < 0);
    // A failed open leaves nothing to close: nothing is sent.
    EXPECT_EQ(client->close().code, 0);
    EXPECT_EQ(peer.count(COMMAND_CLOSE), c.code < 0 ? 0 : 1);
  }
}

TEST(TarveloFTPClientProtocol, PassphraseOnlyToServersThatAuthenticate) {
  ScriptedPeer peer(server(kDirect & ~FEATURE_AUTHENTICATION));
  ASSERT_EQ(make_client(peer.port(), "secret")->open().code, 0);
  EXPECT_EQ(peer.count(COMMAND_AUTHENTICATE), 0);

  // A refused passphrase, and a reply that hands out another session id.
  for (bool accepted : {false, true}) {
    ScriptedPeer refusing(server(kDirect, [accepted](const Bytes&) {
      Bytes reply = reply_front(COMMAND_AUTHENTICATE, 32);
      EncodeFixed32BE(reply.data() + 8, accepted ? 0x9999 : 0);
      reply[12] = accepted ? 1 : 0;
      return std::vector<Bytes>{reply};
    }));
    StatusCode status = make_client(refusing.port(), "secret")->open();
    EXPECT_EQ(status.code, -22);
    EXPECT_EQ(status.text, "Couldn't authenticate remote target");
    ASSERT_EQ(refusing.count(COMMAND_AUTHENTICATE), 1);
    Bytes request = refusing.requests()[1];
    EXPECT_EQ(field(request, 8), 6u);  // passphrase length
    EXPECT_EQ(request.substr(16, 6), "secret");
    EXPECT_EQ(DecodeFixed32BE(request.data() + 4), 0x1234u);
  }
}

TEST(TarveloFTPClientProtocol, ReadNeverCopiesMoreThanAskedOrArrived) {
  // The peer reports a byte count of its choosing with 16 bytes of data.
  std::atomic<int64_t> reported{0};
  ScriptedPeer peer(server(kDirect, [&](const Bytes& request) {
    return std::vector<Bytes>{read_reply(request, reported, 16)};
  }));
  auto client = make_client(peer.port());
  ASSERT_EQ(client->open().code, 0);
  char buffer[64] = {};
  StatusCode status;
  // Above the request, negative, and above what arrived though within the request.
  for (auto [count, asked] : {std::pair<int64_t, long>{17, 16}, {-5, 16}, {20, 32}}) {
    reported = count;
    EXPECT_EQ(client->read(buffer, asked, &status), -1) << count;
    EXPECT_EQ(status.code, -1) << count;
    EXPECT_EQ(client->tell(), 0);
    ASSERT_EQ(std::string(buffer + asked, sizeof buffer - asked), std::string(sizeof buffer - asked, '\0')) << count;
  }
  reported = 16;
  EXPECT_EQ(client->read(buffer, 16, &status), 16);
  EXPECT_EQ(std::string(buffer, 16), std::string(16, 'x'));
  EXPECT_EQ(client->tell(), 16);
}

// read_ranges() shares the pipeline; the tool's get runs it against a server.
TEST(TarveloFTPClientProtocol, PipelinedHashesComeBackInOrderAndAFaultClosesTheConnection) {
  ASSERT_GE(sodium_init(), 0);
  std::vector<char> image = test::random_bytes(kImageSize, 5);
  std::atomic<bool> faulty{false};  // the reply for offset 8192 names another range
  ScriptedPeer peer(server(kDirect, [&](const Bytes& request) {
    uint64_t offset = field(request, 8);
    Bytes reply = hash_reply(request, blake2b(image.data() + offset, field(request, 16)));
    if (faulty && offset == 8192) EncodeFixed64BE(reply.data() + 8, offset + 4096);
    return std::vector<Bytes>{reply};
  }));
  auto client = make_client(peer.port());
  ASSERT_EQ(client->open().code, 0);
  std::vector<TarveloFTPClient::HashRange> ranges;
  for (long offset = 0; offset < 64 * 4096; offset += 4096) ranges.push_back({offset, 4096});
  ranges.push_back({17, 5000});
  StatusCode status;
  std::vector<unsigned char> hashes = client->get_block_hashes_remote(ranges, &status);
  ASSERT_EQ(hashes.size(), ranges.size() * 32) << status.text;
  for (std::size_t i = 0; i < ranges.size(); ++i)
    ASSERT_EQ(std::vector<unsigned char>(hashes.begin() + i * 32, hashes.begin() + (i + 1) * 32),
              blake2b(image.data() + ranges[i].offset, static_cast<std::size_t>(ranges[i].length)));
  // Out-of-range requests are refused before any is sent.
  std::size_t sent_before = peer.requests().size();
  EXPECT_TRUE(client->get_block_hashes_remote({{0, 10}, {kImageSize - 1, 2}}, &status).empty());
  EXPECT_EQ(status.code, -15);
  EXPECT_EQ(peer.requests().size(), sent_before);

  // The client stops using the connection instead of taking later replies
  // for the wrong requests.
  faulty = true;
  EXPECT_TRUE(client->get_block_hashes_remote(ranges, &status).empty());
  EXPECT_EQ(status.code, -1);
  EXPECT_TRUE(client->is_closed());
  char byte;
  EXPECT_EQ(client->read(&byte, 1, &status), -1);
  EXPECT_EQ(status.code, -23);
}

TEST(TarveloFTPClientProtocol, RepliesShorterThanTheirLayoutAreRefused) {
  {  // Handshake reply of 16 bytes: the image size and features would lie past it.
    ScriptedPeer peer([](const Bytes&) { return std::vector<Bytes>{reply_front(COMMAND_HANDSHAKE, 16)}; });
    auto client = make_client(peer.port());
    StatusCode status = client->open();
    EXPECT_NE(status.text.find("too short"), std::string::npos) << status.text;
    EXPECT_EQ(client->size(), 0);
  }
  // A hash reply without the whole digest, and one for another range.
  bool other_range = false;
  ScriptedPeer peer(server(kDirect, [&](const Bytes& request) {
    Bytes reply = hash_reply(request, std::vector<unsigned char>(32, 7));
    if (other_range)
      EncodeFixed64BE(reply.data() + 8, field(request, 8) + 1);
    else
      reply.resize(40);
    return std::vector<Bytes>{reply};
  }));
  auto client = make_client(peer.port());
  ASSERT_EQ(client->open().code, 0);
  StatusCode status;
  EXPECT_TRUE(client->get_block_hash_remote(100, &status).empty());
  EXPECT_EQ(status.code, -1);
  other_range = true;
  EXPECT_TRUE(client->get_block_hash_remote(100, &status).empty());
  EXPECT_EQ(status.text, "Hash reply is for another range");
}

TEST(TarveloFTPClientProtocol, AcknowledgementCountMustFitTheReply) {
  std::atomic<uint64_t> declared{0};
  ScriptedPeer peer(server(kDirect, [&](const Bytes&) {
    // Two records; the second failed, though the tally says none did.
    Bytes reply = reply_front(COMMAND_WRITE_ACKNOWLEDGE, 32 + 2 * 17);
    EncodeFixed64BE(reply.data() + 8, declared);
    EncodeFixed64BE(reply.data() + 24, 4096);
    EncodeFixed64BE(reply.data() + 32, 512);
    EncodeFixed64BE(reply.data() + 41, 8192);
    reply[57] = STATUS_EIO;
    return std::vector<Bytes>{reply};
  }));
  auto client = make_client(peer.port());
  ASSERT_EQ(client->open().code, 0);
  bool failures = false;
  StatusCode status;
  // One record too many, and a count whose size in bytes wraps around.
  for (uint64_t count : {uint64_t{3}, uint64_t{1} << 60}) {
    declared = count;
    EXPECT_TRUE(client->write_acknowledgement(failures, &status).empty()) << count;
    EXPECT_EQ(status.code, -1) << count;
  }
  declared = 2;
  auto records = client->write_acknowledgement(failures, &status);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].offset, 4096);
  EXPECT_EQ(records[0].length, 512);
  EXPECT_EQ(records[1].status, STATUS_EIO);
  EXPECT_TRUE(failures);
}

TEST(TarveloFTPClientProtocol, OversizedRequestsAreSplitOrRefused) {
  const long image = TarveloFTPClient::kMaxRequestLength + 4096;
  ScriptedPeer peer(server(kDirect, [&](const Bytes& request) -> std::vector<Bytes> {
    if (command_of(request) != COMMAND_READ) return {};
    // Each byte tells which request it came from.
    std::size_t length = field(request, 16);
    return {read_reply(request, static_cast<int64_t>(length), length, field(request, 8) == 0 ? 'a' : 'b')};
  }, 4096, 1, image));
  auto client = make_client(peer.port());
  ASSERT_EQ(client->open().code, 0);
  std::vector<char> data(static_cast<std::size_t>(image));
  StatusCode status;
  ASSERT_EQ(client->read(data.data(), image, &status), image) << status.text;
  EXPECT_EQ(data[TarveloFTPClient::kMaxRequestLength - 1], 'a');
  EXPECT_EQ(data[TarveloFTPClient::kMaxRequestLength], 'b');
  EXPECT_EQ(peer.count(COMMAND_READ), 2);

  // A write or hash that no frame can carry is refused before anything is sent.
  ASSERT_EQ(client->seek(0, TARVELO_SEEK_SET), 0);
  bool sent = true;
  EXPECT_EQ(client->write(data.data(), image, &sent, &status), -1);
  EXPECT_EQ(status.code, -15);
  EXPECT_FALSE(sent);
  EXPECT_EQ(client->tell(), 0);
  EXPECT_TRUE(client->get_block_hash_remote(image, &status).empty());
  EXPECT_EQ(status.code, -15);
  EXPECT_EQ(peer.requests().size(), 3u);  // the handshake and the two reads
}

// Against block-hash storage a hash of any length is one 64-byte exchange;
// and compare() goes through the overridable hash operations, for every
// piece when the range must be cut.
TEST(TarveloFTPClientProtocol, LargeHashesOfStoredBlocksAndCompareThroughOverrides) {
  struct Counting : TarveloFTPClient {
    using TarveloFTPClient::TarveloFTPClient;
    std::vector<unsigned char> get_block_hash_local(void*, long length, StatusCode*) override {
      local_lengths.push_back(length);
      return std::vector<unsigned char>(32, 7);
    }
    std::vector<unsigned char> get_block_hash_remote(long length, StatusCode* status) override {
      remote_positions.push_back(tell());
      return TarveloFTPClient::get_block_hash_remote(length, status);
    }
    std::vector<long> local_lengths, remote_positions;
  };
  const long image = 2 * TarveloFTPClient::kMaxRequestLength + 8192;
  for (uint32_t features : {kBlockHashing, kDirect}) {
    ScriptedPeer peer(server(features, [&](const Bytes& request) -> std::vector<Bytes> {
      if (command_of(request) != COMMAND_HASH) return {};
      return {hash_reply(request, std::vector<unsigned char>(32, 7))};
    }, 4096, 1, image));
    Counting client(std::make_unique<BasicSocket>(std::make_unique<TCPTransport>()), "127.0.0.1", peer.port(),
                    "disk", 0, CLIENT_WRITE_ACKNOWLEDGEMENT | CLIENT_HANDSHAKE_SESSION_ID, "", 0);
    ASSERT_EQ(client.open().code, 0);
    ASSERT_EQ(client.seek(4096, TARVELO_SEEK_SET), 4096);
    StatusCode status;
    const long rest = image - 4096;
    std::vector<char> data(static_cast<std::size_t>(rest));
    EXPECT_EQ(client.get_block_hash_remote(rest, &status).empty(), features == kDirect) << status.text;
    EXPECT_EQ(client.get_block_hashes_remote({{4096, rest}}, &status).empty(), features == kDirect);
    client.remote_positions.clear();
    EXPECT_TRUE(client.compare(data.data(), rest, &status)) << status.text;
    EXPECT_EQ(client.tell(), 4096);
    if (features == kBlockHashing) {
      EXPECT_EQ(client.local_lengths, std::vector<long>{rest});
      EXPECT_EQ(client.remote_positions, std::vector<long>{4096});
    } else {
      const long max = TarveloFTPClient::kMaxRequestLength;
      EXPECT_EQ(client.local_lengths, (std::vector<long>{max, max, rest - 2 * max}));
      EXPECT_EQ(client.remote_positions, (std::vector<long>{4096, 4096 + max, 4096 + 2 * max}));
    }
  }
}

TEST(TarveloFTPClientProtocol, LocalAggregateHashNeedsABlockForTheBytes) {
  std::vector<char> data(200);
  StatusCode status;
  // Below the partition offset there is no block to put the bytes in, and
  // without a completed hash handshake there is no block buffer.
  ScriptedPeer peer(server(kBlockHashing));
  auto offset = make_client(peer.port(), "", 8192);
  ASSERT_EQ(offset->open().code, 0);
  EXPECT_TRUE(offset->get_block_hash_local(data.data(), 100, &status).empty());
  EXPECT_EQ(status.code, -15);
  EXPECT_NE(status.text.find("below the partition offset"), std::string::npos);
  EXPECT_TRUE(make_client(peer.port())->get_aggregate_block_hash_local(data.data(), 100, &status).empty());
  EXPECT_EQ(status.code, -15);
}

TEST(TarveloFTPClientProtocol, ClosedClientRefusesEverything) {
  auto client = make_client(test::free_port());
  StatusCode status = client->open();
  EXPECT_EQ(status.code, Transport::kError);  // nothing listens
  char buffer[8] = {};
  bool sent = true;
  EXPECT_EQ(client->write(buffer, 8, &sent, &status), -1);
  EXPECT_EQ(status.code, -23);
  EXPECT_EQ(client->hole_punch(8).code, -23);

  // A moved-from client holds nothing and refuses as closed.
  ScriptedPeer peer(server(kDirect));
  auto opened = make_client(peer.port());
  ASSERT_EQ(opened->open().code, 0);
  TarveloFTPClient moved(std::move(*opened));
  EXPECT_EQ(opened->read(buffer, 8, &status), -1);
  EXPECT_EQ(status.code, -23);
  EXPECT_EQ(moved.close().code, 0);
  EXPECT_EQ(peer.count(COMMAND_CLOSE), 1);
}

// ---- against a real TarveloFTPServer on loopback ----

using test::ServerFixture;

TEST(TarveloFTPClientServer, ReadWriteAndClampAtTheEnd) {
  test::CaptureLog log;
  ServerFixture fixture(1 << 20);
  std::vector<char> image = fixture.image();
  auto client = make_client(fixture.port());
  StatusCode status = client->open();
  ASSERT_EQ(status.code, 0) << status.text;
  EXPECT_EQ(client->size(), 1 << 20);

  // 100 bytes asked 10 before the end: 10 arrive and the position ends there.
  char buffer[100];
  ASSERT_EQ(client->seek(-10, TARVELO_SEEK_END), (1 << 20) - 10);
  EXPECT_EQ(client->read(buffer, 100, &status), 10);
  EXPECT_EQ(std::string(buffer, 10), std::string(image.end() - 10, image.end()));
  EXPECT_EQ(client->read(buffer, 100, &status), 0);
  bool sent = true;
  EXPECT_EQ(client->write(buffer, 100, &sent, &status), 0);
  EXPECT_EQ(status.text, "Request is out of bounds");
  EXPECT_FALSE(sent);

  // Writes are acknowledged, and one that passes the end is cut there.
  std::vector<char> data = test::random_bytes(3 * 4096, 99);
  ASSERT_EQ(client->seek(8192, TARVELO_SEEK_SET), 8192);
  EXPECT_EQ(client->write(data.data(), 3 * 4096, &sent, &status), 3 * 4096);
  EXPECT_TRUE(sent);
  ASSERT_EQ(client->seek(-50, TARVELO_SEEK_END), (1 << 20) - 50);
  EXPECT_EQ(client->write(data.data(), 100, &sent, &status), 50);
  // Data made straight into the request; a cancelled one sends nothing.
  ASSERT_EQ(client->seek(100, TARVELO_SEEK_SET), 100);
  EXPECT_EQ(client->write_from(5, [](char* out, long n) { std::memset(out, 'w', n); return true; }, &status), 5);
  EXPECT_EQ(client->write_from(5, [](char*, long) { return false; }, &status), -1);
  EXPECT_EQ(client->tell(), 105);
  bool failures = true;
  auto records = client->write_acknowledgement(failures, &status);
  ASSERT_EQ(records.size(), 3u) << status.text;
  EXPECT_FALSE(failures);
  EXPECT_EQ(records[0].offset, 8192);
  EXPECT_EQ(records[1].length, 50);
  EXPECT_TRUE(client->write_acknowledgement(failures, &status).empty());
  EXPECT_GE(client->close().code, 0);
  std::vector<char> after = fixture.image();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), after.begin() + 8192));
  EXPECT_EQ(std::string(after.data() + 100, 6), "wwwww" + std::string(1, image[105]));
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 50, after.end() - 50));
}

TEST(TarveloFTPClientServer, RefusedTargetsAndPassphrases) {
  test::CaptureLog log;
  ServerFixture fixture(1 << 16, false, test::add_locked_target);
  auto unknown = make_client(fixture.port(), "", 0, "nosuch");
  EXPECT_EQ(unknown->open().text, "Couldn't open remote target");
  EXPECT_EQ(unknown->handshake_status(), STATUS_EEXIST);
  // Opening again after a refusal runs the whole sequence anew.
  auto client = make_client(fixture.port(), "wrong", 0, "locked");
  StatusCode status = client->open();
  EXPECT_EQ(status.code, -22);
  EXPECT_EQ(status.text, "Couldn't authenticate remote target");
  client->set_password("open sesame");
  ASSERT_EQ(client->open().code, 0);
  EXPECT_EQ(fixture.lun("locked").reference_count(), 1u);
  char buffer[16];
  EXPECT_EQ(client->read(buffer, 16, &status), 16);
  EXPECT_EQ(std::string(buffer, 16), std::string(16, 'L'));
  EXPECT_GE(client->close().code, 0);
}

TEST(TarveloFTPClientServer, DifferentialMergeSkipsWhatTheServerHolds) {
  test::CaptureLog log;
  ServerFixture fixture(1 << 20);
  std::vector<char> image = fixture.image();
  auto client = make_client(fixture.port());
  ASSERT_EQ(client->open().code, 0);
  client->set_differential_merge(true);
  StatusCode status;
  bool sent = true;
  ASSERT_EQ(client->seek(4096, TARVELO_SEEK_SET), 4096);
  EXPECT_EQ(client->write(image.data() + 4096, 65536, &sent, &status), 65536);
  EXPECT_FALSE(sent);
  EXPECT_EQ(client->tell(), 4096 + 65536);
  uint64_t writes = fixture.lun().write_op_count();

  image[5000] ^= 1;
  ASSERT_EQ(client->seek(4096, TARVELO_SEEK_SET), 4096);
  EXPECT_EQ(client->write(image.data() + 4096, 65536, &sent, &status), 65536);
  EXPECT_TRUE(sent);
  bool failures = false;
  EXPECT_EQ(client->write_acknowledgement(failures, &status).size(), 1u);
  EXPECT_EQ(fixture.lun().write_op_count(), writes + 1);
  // At the end there is nothing to compare and nothing is sent.
  ASSERT_EQ(client->seek(0, TARVELO_SEEK_END), 1 << 20);
  EXPECT_FALSE(client->compare(image.data(), 10, &status));
  EXPECT_EQ(status.text, "Request is out of bounds");
  EXPECT_GE(client->close().code, 0);
  EXPECT_EQ(fixture.image(), image);
}

// Direct punches in a pipeline deeper than the window of replies: each
// range zeroed, the position kept; a range past the end sends nothing, and
// a read-only target refuses every range without spoiling the connection.
TEST(TarveloFTPClientServer, PipelinedHolePunchesAreAnsweredInOrder) {
  test::CaptureLog log;
  ServerFixture fixture(4 << 20);
  const std::vector<char> before = fixture.image();
  auto client = make_client(fixture.port());
  ASSERT_EQ(client->open().code, 0);
  ASSERT_EQ(client->seek(100, TARVELO_SEEK_SET), 100);
  std::vector<TarveloFTPClient::HashRange> holes;
  for (long at = 0; at < (4 << 20); at += 8192) holes.push_back({at, 4096});
  constexpr std::size_t kDepth = 256;
  ASSERT_GT(holes.size(), kDepth);
  std::vector<TarveloFTPClient::HashRange> refused;
  StatusCode status = client->hole_punch_ranges(holes, kDepth, refused);
  EXPECT_GE(status.code, 0) << status.text;
  EXPECT_TRUE(refused.empty());
  EXPECT_EQ(client->tell(), 100);
  std::vector<char> image = fixture.image();
  for (long at = 0; at < (4 << 20); at += 4096) {
    bool hole = at % 8192 == 0;
    ASSERT_TRUE(std::equal(image.begin() + at, image.begin() + at + 4096, hole ? std::vector<char>(4096).begin()
                                                                               : before.begin() + at))
        << at;
  }
  status = client->hole_punch_ranges({{4096, 4096}, {(4 << 20) - 4096, 8192}}, 4, refused);
  EXPECT_EQ(status.code, TarveloFTPClient::kOutOfBounds) << status.text;
  EXPECT_EQ(fixture.image(), image);

  fixture.server().endpoints().target("disk").read_only(true);
  auto reader = make_client(fixture.port());
  ASSERT_EQ(reader->open().code, 0);
  status = reader->hole_punch_ranges({{4096, 4096}, {12288, 4096}}, 1, refused);
  EXPECT_GE(status.code, 0) << status.text;
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(refused[1].offset, 12288);
  std::vector<char> back(4096);
  ASSERT_EQ(reader->seek(4096, TARVELO_SEEK_SET), 4096);
  EXPECT_EQ(reader->read(back.data(), 4096, &status), 4096) << status.text;
  EXPECT_TRUE(std::equal(back.begin(), back.end(), image.begin() + 4096));
}

// Direct punches: TarveloftpTool.HashAndPunch.
TEST(TarveloFTPClientServer, DeferredHolePunchIsAcknowledgedAndCutAtTheEnd) {
  test::CaptureLog log;
  ServerFixture fixture(1 << 20, true);
  auto client = make_client(fixture.port());
  ASSERT_EQ(client->open().code, 0);
  ASSERT_EQ(client->seek(4096, TARVELO_SEEK_SET), 4096);
  StatusCode status = client->hole_punch(8192);
  EXPECT_GE(status.code, 0) << status.text;
  EXPECT_EQ(client->tell(), 4096 + 8192);
  // The punch past the end is cut at the end.
  ASSERT_EQ(client->seek(-100, TARVELO_SEEK_END), (1 << 20) - 100);
  EXPECT_GE(client->hole_punch(4096).code, 0);
  EXPECT_EQ(client->hole_punch(1).code, -15);
  bool failures = true;
  EXPECT_EQ(client->write_acknowledgement(failures, &status).size(), 2u);
  EXPECT_FALSE(failures);
  std::vector<char> back(8192, 'x');
  ASSERT_EQ(client->seek(4096, TARVELO_SEEK_SET), 4096);
  EXPECT_EQ(client->read(back.data(), 8192, &status), 8192);
  EXPECT_EQ(back, std::vector<char>(8192, 0));
  EXPECT_GE(client->close().code, 0);
  std::vector<char> image = fixture.image();
  EXPECT_TRUE(std::all_of(image.begin() + 4096, image.begin() + 4096 + 8192, [](char c) { return c == 0; }));
  EXPECT_TRUE(std::all_of(image.end() - 100, image.end(), [](char c) { return c == 0; }));
}

TEST(TarveloFTPClientServer, LocalHashesMatchTheServersInBothModes) {
  test::CaptureLog log;
  for (bool block_hashing : {false, true}) {
    ServerFixture fixture(1 << 20, block_hashing);
    // Holes, answered from the hash of zeros: whole blocks and parts of them.
    {
      int fd = ::open(fixture.image_path().c_str(), O_RDWR);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 512 << 10, 256 << 10), 0);
      ASSERT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 128 << 10, 64 << 10), 0);
      ::close(fd);
    }
    std::vector<char> image = fixture.image();
    auto client = make_client(fixture.port());
    ASSERT_EQ(client->open().code, 0);
    EXPECT_EQ((client->server_features() & FEATURE_BLOCK_HASH_STORAGE) != 0, block_hashing);
    StatusCode status;
    // Misaligned and aligned ranges, one block and many.
    std::vector<TarveloFTPClient::HashRange> ranges = {
        {4000, 200}, {0, 4096}, {4096, 65536}, {1, 1}, {100000, 300000}, {(1 << 20) - 7, 7},
        {512 << 10, 65536}, {(512 << 10) + 100, 8000}, {(512 << 10) - 4096, 16384}, {600 << 10, 4096},
        // Data and hole mixed: each way round, across the whole hole, and
        // as a run of equal lengths, which the server reads together.
        {(768 << 10) - 4096, 16384}, {(512 << 10) - 100, (256 << 10) + 200}, {(512 << 10) - 4096, 8192},
        {(768 << 10) - 4096, 8192}, {520 << 10, 8192}, {(768 << 10) - 100, 8192}};
    // The same run goes on across the other hole and back: what the server
    // learnt of one hole must not answer for another, or for data.
    for (long at = 112 << 10; at < 208 << 10; at += 8 << 10) ranges.push_back({at, 8192});
    for (long at = 204 << 10; at > 100 << 10; at -= 24 << 10) ranges.push_back({at, 8192});
    std::vector<unsigned char> remote = client->get_block_hashes_remote(ranges, &status);
    ASSERT_EQ(remote.size(), ranges.size() * 32) << status.text;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      const auto& range = ranges[i];
      std::vector<unsigned char> local =
          client->get_block_hash_local_at(range.offset, image.data() + range.offset, range.length, &status);
      std::vector<unsigned char> one(remote.begin() + static_cast<long>(i * 32),
                                     remote.begin() + static_cast<long>((i + 1) * 32));
      EXPECT_EQ(local, one) << block_hashing << " " << range.offset;
      ASSERT_EQ(client->seek(range.offset, TARVELO_SEEK_SET), range.offset);
      EXPECT_EQ(client->get_block_hash_remote(range.length, &status), one);
      EXPECT_TRUE(client->compare(image.data() + range.offset, range.length, &status));
    }
    EXPECT_GE(client->close().code, 0);
  }
}

}  // namespace
}  // namespace tarvelo
