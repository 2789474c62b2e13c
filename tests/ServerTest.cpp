#include <tarveloftp/ServerMessageHandler.h>
#include <tarveloftp/TarveloFTPServer.h>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include <tarveloftp/Coding.h>

#include "ImageRequests.h"
#include "ServerFixture.h"
#include "StorageTestSupport.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using test::ServerFixture;
using test::WireClient;

constexpr uint64_t kAllFlags = CLIENT_WRITE_ACKNOWLEDGEMENT | CLIENT_HANDSHAKE_SESSION_ID;

uint8_t status_at(const Message& message, std::size_t offset) {
  return static_cast<uint8_t>(message.buffer()[offset]);
}

int64_t field(const Message& message, std::size_t offset) {
  return DecodeBigEndian<int64_t>(message.buffer() + offset);
}

// Adds target "locked" and LUN 1 of "disk" whose image does not exist.
void extra_targets(config::Endpoints& endpoints, test::TempDir& dir) {
  test::add_locked_target(endpoints, dir);
  endpoints.add_lun("disk", 1, dir.file("missing.img"));
}

TEST(ServerTest, HandshakeRefusalsLeaveCountsAlone) {
  ServerFixture fixture(1 << 16, false, extra_targets);
  // An unknown target, and a LUN whose image file is missing.
  for (auto [target, lun, status] : {std::tuple{"nosuch", 0, STATUS_EEXIST}, std::tuple{"disk", 1, STATUS_EACCES}}) {
    WireClient client(fixture.port());
    Message response = client.handshake(target, static_cast<uint8_t>(lun), 0);
    ASSERT_EQ(response.size(), wire::kHeaderSize);
    EXPECT_EQ(status_at(response, wire::kHandshakeStatus), status);
    EXPECT_EQ(DecodeFixed32BE(response.buffer() + wire::kHandshakeSessionId), 0u);
    EXPECT_TRUE(client.closed_by_server());
  }
  EXPECT_EQ(fixture.lun("disk", 1).reference_count(), 0u);
  EXPECT_EQ(fixture.lun("disk", 0).reference_count(), 0u);

  WireClient client(fixture.port());
  Message response = client.handshake("disk", 0, kAllFlags);
  ASSERT_EQ(status_at(response, wire::kHandshakeStatus), STATUS_SUCCESS);
  EXPECT_NE(client.session_id, 0u);
  EXPECT_EQ(field(response, wire::kHandshakeImageSize), 1 << 16);
  EXPECT_EQ(DecodeFixed32BE(response.buffer() + wire::kHandshakeServerId), 0x00A50401u);
  EXPECT_EQ(DecodeFixed32BE(response.buffer() + wire::kHandshakeFeatures), 0x0Fu);
  for (int i = 0; i < 100 && fixture.lun().reference_count() != 1; ++i) usleep(1000);
  EXPECT_EQ(fixture.lun().reference_count(), 1u);
}

// (A wrong passphrase: TarveloFTPClientServer.RefusedTargetsAndPassphrases.)
TEST(ServerTest, PassphraseAcceptedOnceOrSkipped) {
  ServerFixture fixture(1 << 16, false, extra_targets);
  {
    WireClient client(fixture.port());
    client.handshake("locked", 0, CLIENT_PASSPHRASE | CLIENT_HANDSHAKE_SESSION_ID);
    Message answer = client.authenticate("open sesame");
    ASSERT_EQ(answer.size(), wire::kHeaderSize);
    EXPECT_EQ(status_at(answer, wire::kAuthenticateAccepted), 1);
    EXPECT_EQ(DecodeFixed32BE(answer.buffer() + wire::kAuthenticateSessionId), client.session_id);
    // A second authentication on an open connection is an unknown command.
    Message again = client.authenticate("open sesame");
    EXPECT_TRUE(again.null() || again.size() == 0);
    EXPECT_TRUE(client.closed_by_server());
  }
  test::CaptureLog log;
  WireClient client(fixture.port());
  client.handshake("locked", 0, 0);
  Message read = client.request(COMMAND_READ, 0, 100);
  ASSERT_TRUE(client.send(read).ok());
  EXPECT_TRUE(client.closed_by_server());
  fixture.stop();
  EXPECT_NE(log.out().find("Pending authenticate unfulfilled."), std::string::npos);
}

TEST(ServerTest, SessionIdIsCheckedOnlyWhenAskedFor) {
  ServerFixture fixture;
  for (uint64_t flags : {uint64_t{0}, uint64_t{CLIENT_HANDSHAKE_SESSION_ID}}) {
    WireClient client(fixture.port());
    client.handshake("disk", 0, flags);
    client.session_id ^= 1;
    Message read = client.request(COMMAND_READ, 0, 16);
    ASSERT_TRUE(client.send(read).ok());
    if (flags)
      EXPECT_TRUE(client.closed_by_server());
    else
      EXPECT_EQ(status_at(client.receive(), wire::kReadStatus), STATUS_SUCCESS);
  }
}

TEST(ServerTest, ReadsAndHashes) {
  ServerFixture fixture(100000);
  std::vector<char> image = fixture.image();
  WireClient client(fixture.port());
  client.handshake("disk", 0, kAllFlags);
  Message data = client.exchange(COMMAND_READ, 1000, 5000);
  ASSERT_EQ(data.size(), wire::kHeaderSize + 5000);
  EXPECT_EQ(std::memcmp(data.buffer() + wire::kReadData, image.data() + 1000, 5000), 0);
  // Past the end: EIO with the short count, and the connection stays open.
  Message short_read = client.exchange(COMMAND_READ, 99000, 2000);
  EXPECT_EQ(status_at(short_read, wire::kReadStatus), STATUS_EIO);
  EXPECT_EQ(field(short_read, wire::kReadCount), 1000);
  // What the file did not fill goes out as zeros, never as stale memory.
  ASSERT_EQ(short_read.size(), wire::kHeaderSize + 2000);
  EXPECT_EQ(std::string(short_read.buffer() + wire::kReadData + 1000, 1000), std::string(1000, '\0'));
  // Lengths beyond one message are refused up front; a negative offset
  // fails as its seek would, with no room allocated for data.
  Message refused = client.exchange(COMMAND_READ, 0, int64_t{1} << 40);
  ASSERT_EQ(refused.size(), wire::kHeaderSize);
  EXPECT_EQ(status_at(refused, wire::kReadStatus), STATUS_EINVAL);
  test::CaptureLog log;
  Message negative = client.exchange(COMMAND_READ, -4096, int64_t{1} << 20);
  ASSERT_EQ(negative.size(), wire::kHeaderSize);
  EXPECT_EQ(status_at(negative, wire::kReadStatus), STATUS_EIO);
  EXPECT_EQ(field(negative, wire::kReadPosition), -1);
  EXPECT_TRUE(test::contains(log.err(), "Error seeking for read to offset -4096 on ")) << log.err();

  // (Digests themselves: TarveloFTPClientServer.LocalHashesMatchTheServersInBothModes.)
  EXPECT_EQ(client.exchange(COMMAND_HASH, 4096, 65536).size(), wire::kDirectHashResponseSize);
  // A hash past the end carries no digest but the connection goes on.
  EXPECT_EQ(client.exchange(COMMAND_HASH, 99999, 10).size(), 0u);
  EXPECT_EQ(status_at(client.exchange(COMMAND_READ, 0, 10), wire::kReadStatus), STATUS_SUCCESS);
  EXPECT_EQ(fixture.lun().read_op_count(), 3u);
}

// Hashes sent together are hashed side by side, yet each answer is the one
// it would get alone, in order: a range past the end fails on its own, a
// range of another length is hashed apart, and a write that follows them
// is seen by the next hash.
TEST(ServerTest, HashesSentTogetherAreAnsweredAsOneByOne) {
  ServerFixture fixture(1 << 20);
  std::vector<char> image = fixture.image();
  WireClient client(fixture.port());
  client.handshake("disk", 0, kAllFlags);
  std::vector<std::pair<int64_t, int64_t>> ranges;
  // One past the end, and one where offset + length would overflow.
  for (int64_t i = 0; i < 20; ++i)
    ranges.emplace_back(i == 5 ? (1 << 20) : i == 7 ? INT64_MAX - 100 : i * 16384, 16384);
  ranges.emplace_back(100, 1000);
  std::vector<Message> requests;
  for (auto [offset, length] : ranges) requests.push_back(client.request(COMMAND_HASH, offset, length));
  std::vector<char> written = test::random_bytes(16384, 3);
  requests.push_back(client.request(COMMAND_WRITE, 0, 16384, written));
  requests.push_back(client.request(COMMAND_HASH, 0, 16384));
  ASSERT_TRUE(client.send_all(requests).ok());

  for (auto [offset, length] : ranges) {
    Message reply = client.receive();
    if (offset > static_cast<int64_t>(image.size()) - length) {
      EXPECT_EQ(reply.size(), 0u);
      continue;
    }
    ASSERT_EQ(reply.size(), wire::kDirectHashResponseSize);
    EXPECT_EQ(field(reply, wire::kOffset), offset);
    EXPECT_EQ(std::vector<unsigned char>(reply.buffer() + wire::kHashData, reply.buffer() + wire::kHashData + 32),
              test::blake2b(image.data() + offset, static_cast<std::size_t>(length)));
  }
  Message after_write = client.receive();
  ASSERT_EQ(after_write.size(), wire::kDirectHashResponseSize);
  EXPECT_EQ(std::vector<unsigned char>(after_write.buffer() + wire::kHashData,
                                       after_write.buffer() + wire::kHashData + 32),
            test::blake2b(written.data(), written.size()));
  // One per hash answered: 18 of the run, the other length, the last.
  EXPECT_EQ(fixture.lun().read_op_count(), 20u);
}

TEST(ServerTest, WritesAcknowledgementsAndHolePunch) {
  ServerFixture fixture(1 << 20);
  {
    WireClient client(fixture.port());
    client.handshake("disk", 0, kAllFlags);
    std::vector<char> data = test::random_bytes(10000, 3);
    // A failing write (negative offset) is acknowledged EIO; the connection stays.
    for (Message write : {client.request(COMMAND_WRITE, 5000, 10000, data),
                          client.request(COMMAND_WRITE, -1, 4, {'a', 'b', 'c', 'd'}),
                          client.request(COMMAND_WRITE_ACKNOWLEDGE, 0, 0)})
      ASSERT_TRUE(client.send(write).ok());
    Message records = client.receive();
    ASSERT_EQ(records.size(), wire::kHeaderSize + 2 * wire::kAcknowledgeRecordSize);
    EXPECT_EQ(field(records, wire::kAcknowledgeCount), 2);
    EXPECT_EQ(field(records, wire::kAcknowledgeFailures), 1);
    const char* first = records.buffer() + wire::kAcknowledgeRecords;
    EXPECT_EQ(DecodeBigEndian<int64_t>(first), 5000);
    EXPECT_EQ(DecodeBigEndian<int64_t>(first + 8), 10000);
    EXPECT_EQ(first[16], STATUS_SUCCESS);
    EXPECT_EQ(first[17 + 16], STATUS_EIO);

    // The image keeps its size: writes and punches reaching past its end
    // fail, and ranges the system refuses fail as it would.
    test::CaptureLog log;
    for (Message beyond : {client.request(COMMAND_WRITE, int64_t{1} << 40, 4, {'a', 'b', 'c', 'd'}),
                           client.request(COMMAND_WRITE, (1 << 20) - 2, 4, {'a', 'b', 'c', 'd'}),
                           client.request(COMMAND_WRITE, (1 << 20) - 4, 4, {'e', 'n', 'd', '!'}),
                           client.request(COMMAND_WRITE_ACKNOWLEDGE, 0, 0)})
      ASSERT_TRUE(client.send(beyond).ok());
    records = client.receive();
    ASSERT_EQ(field(records, wire::kAcknowledgeCount), 3);
    EXPECT_EQ(field(records, wire::kAcknowledgeFailures), 2);
    EXPECT_TRUE(test::contains(log.err(), "Error: the image ends at 1048576")) << log.err();
    auto punch_status = [&](int64_t offset, int64_t length) {
      return status_at(client.exchange(COMMAND_HOLE_PUNCH, offset, length), wire::kHolePunchStatus);
    };
    EXPECT_EQ(punch_status(-4096, 4096), STATUS_EIO);
    EXPECT_EQ(punch_status(4096, 0), STATUS_EIO);
    EXPECT_EQ(punch_status((1 << 20) - 4096, 8192), STATUS_EIO);
    EXPECT_TRUE(test::contains(log.err(), "Error deallocating space for hole punch of length0 at offset 4096"))
        << log.err();
    EXPECT_EQ(punch_status(4096, 8192), STATUS_SUCCESS);
    EXPECT_EQ(status_at(client.exchange(COMMAND_CLOSE, 0, 0), wire::kCloseStatus), STATUS_SUCCESS);
    EXPECT_TRUE(client.closed_by_server());

    std::vector<char> image = fixture.image();
    ASSERT_EQ(image.size(), 1u << 20);
    EXPECT_EQ(std::string(image.end() - 4, image.end()), "end!");
    EXPECT_TRUE(std::all_of(image.begin() + 4096, image.begin() + 12288, [](char c) { return c == 0; }));
    EXPECT_EQ(std::memcmp(image.data() + 12288, data.data() + 12288 - 5000, 15000 - 12288), 0);
  }
  // Without acknowledgements a failing write closes the connection.
  WireClient client(fixture.port());
  client.handshake("disk", 0, 0);
  Message failing = client.request(COMMAND_WRITE, -1, 4, {'a', 'b', 'c', 'd'});
  ASSERT_TRUE(client.send(failing).ok());
  EXPECT_TRUE(client.closed_by_server());
}

// Every command's range goes through this one check; which fault comes first
// decides which of a command's fixed answers a client gets.
TEST(ServerTest, RangeFaultsComeInOneOrder) {
  using namespace detail;
  constexpr int64_t kSize = 8192;
  struct Case {
    Range range;
    int64_t cap;
    empty_range_t empty;
    range_fault_t fault;
  };
  const std::vector<Case> cases{
      {{0, kSize}, kSize, EMPTY_REFUSED, RANGE_VALID},
      {{kSize, 0}, kSize, EMPTY_ALLOWED, RANGE_VALID},
      {{-1, -1}, kSize, EMPTY_ALLOWED, RANGE_NEGATIVE_LENGTH},
      {{-1, kSize + 1}, kSize, EMPTY_ALLOWED, RANGE_TOO_LONG},
      {{-1, 0}, kSize, EMPTY_REFUSED, RANGE_NEGATIVE_OFFSET},
      {{kSize + 1, 0}, kSize, EMPTY_REFUSED, RANGE_EMPTY},
      {{kSize + 1, 0}, kSize, EMPTY_ALLOWED, RANGE_PAST_END},
      {{kSize - 1, 2}, kNoLengthCap, EMPTY_ALLOWED, RANGE_PAST_END},
      {{INT64_MAX, INT64_MAX}, kNoLengthCap, EMPTY_ALLOWED, RANGE_PAST_END},
  };
  for (const Case& test : cases)
    EXPECT_EQ(validate_range(test.range, kSize, test.cap, test.empty), test.fault)
        << test.range.offset << "+" << test.range.length;
}

TEST(ServerTest, AcknowledgementQueueKeepsTheNewest) {
  test::TempDir dir;
  test::write_file(dir.file("a.img"), std::vector<char>(4096));
  config::Endpoints endpoints;
  endpoints.add_target("t");
  endpoints.add_lun("t", 0, dir.file("a.img"));
  ServerMessageHandler::ConnectionState state(endpoints, 1, {0, 0}, 0, "t", dir.file("a.img"));
  for (int64_t i = 0; i < 200001; ++i) state.queue_write_acknowledgement(i, 1, STATUS_SUCCESS);
  ASSERT_EQ(state.write_acknowledgements.size(), 200000u);
  EXPECT_EQ(state.write_acknowledgements.front().offset, 1);
  EXPECT_EQ(state.write_acknowledgements.back().offset, 200000);
  EXPECT_EQ(endpoints.target("t").lun(0).reference_count(), 1u);
}

TEST(ServerTest, SecondHandshakeReleasesTheFirstLun) {
  ServerFixture fixture(1 << 16, false, [](config::Endpoints& endpoints, test::TempDir& dir) {
    test::write_file(dir.file("second.img"), std::vector<char>(4096, 'S'));
    endpoints.add_lun("disk", 2, dir.file("second.img"));
  });
  WireClient client(fixture.port());
  client.handshake("disk", 0, 0);
  Message response = client.handshake("disk", 2, 0);
  EXPECT_EQ(status_at(response, wire::kHandshakeStatus), STATUS_SUCCESS);
  EXPECT_EQ(field(response, wire::kHandshakeImageSize), 4096);
  EXPECT_EQ(fixture.lun("disk", 0).reference_count(), 0u);
  EXPECT_EQ(fixture.lun("disk", 2).reference_count(), 1u);
}

// Changes fail as a write the system refuses would, and the connection stays
// wherever the client can be told so without closing it.
TEST(ServerTest, ReadOnlyTargetsRefuseChanges) {
  ServerFixture fixture(1 << 16);
  std::vector<char> before = fixture.image();
  config::Endpoints& endpoints = fixture.server().endpoints();
  endpoints.target("disk").read_only(true);
  // A LUN added to a read-only target later is read-only as well.
  std::string added = fixture.dir().file("added.img");
  test::write_file(added, std::vector<char>(4096, 'A'));
  chmod(added.c_str(), 0444);
  ASSERT_EQ(endpoints.add_lun("disk", 1, added), config::Endpoints::ENDPOINT_OK);
  test::CaptureLog log;
  for (uint8_t lun : {0, 1}) {
    WireClient client(fixture.port());
    ASSERT_EQ(status_at(client.handshake("disk", lun, kAllFlags), wire::kHandshakeStatus), STATUS_SUCCESS);
    for (Message change : {client.request(COMMAND_WRITE, 0, 4, {'a', 'b', 'c', 'd'}),
                           client.request(COMMAND_WRITE_ACKNOWLEDGE, 0, 0), client.request(COMMAND_HOLE_PUNCH, 0, 4096),
                           client.request(COMMAND_READ, 0, 4)})
      ASSERT_TRUE(client.send(change).ok());
    Message records = client.receive();
    EXPECT_EQ(field(records, wire::kAcknowledgeFailures), 1);
    EXPECT_EQ(records.buffer()[wire::kAcknowledgeRecords + 16], STATUS_EIO);
    EXPECT_EQ(status_at(client.receive(), wire::kHolePunchStatus), STATUS_EIO);
    EXPECT_EQ(status_at(client.receive(), wire::kReadStatus), STATUS_SUCCESS);
  }
  EXPECT_TRUE(test::contains(log.err(), "WARNING")) << log.err();
  EXPECT_TRUE(test::contains(log.err(), "Refusing write of length 4 at offset 0 on " + added +
                                            ": target disk is read-only")) << log.err();
  EXPECT_EQ(fixture.image(), before);
  EXPECT_EQ(test::read_file(added), std::vector<char>(4096, 'A'));
  // A client that takes no acknowledgements can only learn of it by the close.
  WireClient client(fixture.port());
  client.handshake("disk", 0, 0);
  Message write = client.request(COMMAND_WRITE, 0, 4, {'a', 'b', 'c', 'd'});
  ASSERT_TRUE(client.send(write).ok());
  EXPECT_TRUE(client.closed_by_server());
  EXPECT_EQ(fixture.image(), before);
}

TEST(ServerTest, RequestsNamingAnotherLunAreRefused) {
  ServerFixture fixture(1 << 16, false, extra_targets);
  WireClient client(fixture.port());
  client.handshake("locked", 0, 0);
  client.uid.target_id = 0;  // "disk": its passphrase is not this one's to check
  Message answer = client.authenticate("");
  EXPECT_TRUE(answer.null() || answer.size() == 0);
  EXPECT_TRUE(client.closed_by_server());

  WireClient hashing(fixture.port());
  hashing.handshake("disk", 0, kAllFlags);
  Message handshake = hashing.request(COMMAND_HASH_HANDSHAKE, 0, 0);
  ASSERT_TRUE(hashing.send(handshake).ok());  // no block-hash storage here
  EXPECT_TRUE(hashing.closed_by_server());
}

}  // namespace
}  // namespace tarvelo
