#include <tarveloftp/ServerMessageHandler.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <tarveloftp/BlockHashStore.h>
#include <tarveloftp/Coding.h>
#include <tarveloftp/Endpoints.h>
#include <tarveloftp/TarveloJournal.h>

#include "StorageTestSupport.h"
#include "TestSupport.h"
#include "VerifyHashes.h"

namespace tarvelo {
namespace {

constexpr long kBlock = 4096;

// The aggregate hash of `data` stored from offset 0, straight from its definition.
std::vector<unsigned char> aggregate(const std::vector<char>& data) {
  return test::reference_aggregate(data, 0, kBlock, 0, static_cast<long>(data.size()));
}

// A handler of a block-hashing server on a temporary image, driven with
// hand-built messages and no network.
class Harness {
 public:
  explicit Harness(std::size_t image_size = 1 << 20, bool hash_handshake = true)
      : m_image(m_dir.file("image.img")), m_handler(m_endpoints) {
    test::write_file(m_image, test::random_bytes(image_size, 5));
    m_endpoints.add_target("disk");
    m_endpoints.add_lun("disk", 0, m_image);
    m_handler.setBlockHashStorage(true);
    m_handler.setMessageDebugLogging(true);
    connect(hash_handshake);
  }
  // Another connection to the image of `first`.
  Harness(Harness& first, bool hash_handshake) : m_image(first.m_image), m_handler(first.m_endpoints) {
    m_handler.setBlockHashStorage(true);
    connect(hash_handshake);
  }

  // Handshake and (unless not wanted) hash handshake, as a reconnecting client would.
  void connect(bool hash_handshake = true) {
    Message handshake(32 + 4);
    handshake.buffer()[0] = COMMAND_HANDSHAKE;
    EncodeFixed64BE(handshake.buffer() + wire::kHandshakeFlags,
                    CLIENT_WRITE_ACKNOWLEDGEMENT | CLIENT_HANDSHAKE_SESSION_ID);
    EncodeFixed64BE(handshake.buffer() + wire::kHandshakeNameLength, 4);
    std::memcpy(handshake.buffer() + wire::kHandshakeName, "disk", 4);
    ServerMessageHandlerResponse response = m_handler.handle_message(handshake);
    ASSERT_TRUE(response.error.empty()) << response.error;
    m_session = DecodeFixed32BE(response.message.buffer() + wire::kHandshakeSessionId);
    if (!hash_handshake) return;
    ServerMessageHandlerResponse hashing = handle(COMMAND_HASH_HANDSHAKE, 0, 0);
    ASSERT_TRUE(hashing.error.empty()) << hashing.error;
    EXPECT_EQ(DecodeFixed64BE(hashing.message.buffer() + wire::kHashHandshakeBlockSize), 4096u);
    EXPECT_EQ(DecodeFixed32BE(hashing.message.buffer() + wire::kHashHandshakeFunctionId), 1u);
  }

  ServerMessageHandlerResponse handle(tarvelo_protocol_command_t command, int64_t offset, int64_t length,
                                      const std::vector<char>& payload = {}) {
    Message message(static_cast<long>(std::max<std::size_t>(32, 24 + payload.size())));
    tarvelo_protocol_message_t front;
    front.command = command;
    front.session_id = m_session;
    front.fields[0] = static_cast<uint64_t>(offset);
    front.fields[1] = static_cast<uint64_t>(length);
    encode_message_front(message.buffer(), front);
    if (!payload.empty()) std::memcpy(message.buffer() + 24, payload.data(), payload.size());
    return m_handler.handle_message(message);
  }

  std::vector<char> read(int64_t offset, int64_t length) {
    ServerMessageHandlerResponse response = handle(COMMAND_READ, offset, length);
    EXPECT_EQ(response.message.buffer()[wire::kReadStatus], STATUS_SUCCESS);
    return std::vector<char>(response.message.buffer() + 32, response.message.buffer() + 32 + length);
  }

  std::vector<unsigned char> hash(int64_t offset, int64_t length) {
    ServerMessageHandlerResponse response = handle(COMMAND_HASH, offset, length);
    EXPECT_TRUE(response.error.empty()) << response.error;
    if (response.message.size() < 64) return {};
    return {response.message.buffer() + 24, response.message.buffer() + 56};
  }

  // The acknowledgement records: (offset, length, status).
  std::vector<tarvelo_write_acknowledgement_t> acknowledge() {
    ServerMessageHandlerResponse response = handle(COMMAND_WRITE_ACKNOWLEDGE, 0, 0);
    std::vector<tarvelo_write_acknowledgement_t> records;
    EXPECT_FALSE(response.message.null()) << response.error;
    if (response.message.null()) return records;
    uint64_t count = DecodeFixed64BE(response.message.buffer() + wire::kAcknowledgeCount);
    for (uint64_t i = 0; i < count; ++i) {
      const char* record = response.message.buffer() + 24 + 17 * i;
      records.push_back({DecodeBigEndian<int64_t>(record), DecodeBigEndian<int64_t>(record + 8),
                         static_cast<tarvelo_protocol_status_t>(record[16])});
    }
    return records;
  }

  std::size_t pending() const { return m_handler.connection_state()->deferred_operations.size(); }
  std::size_t queued() const { return m_handler.connection_state()->write_acknowledgements.size(); }

  test::TempDir m_dir;
  std::string m_image;
  config::Endpoints m_endpoints;
  ServerMessageHandler m_handler;
  uint32_t m_session = 0;
};

TEST(BlockHashingTest, ReadsAndHashesSeeDeferredWork) {
  Harness harness;
  std::vector<char> before = test::read_file(harness.m_image);
  std::vector<char> first = test::random_bytes(8192, 1);
  std::vector<char> second = test::random_bytes(100, 2);
  EXPECT_FALSE(harness.handle(COMMAND_WRITE, 0, 8192, first).send_response);
  harness.handle(COMMAND_WRITE, 50, 100, second);  // overlaps the first
  ServerMessageHandlerResponse punch = harness.handle(COMMAND_HOLE_PUNCH, 16384, 4096);
  EXPECT_FALSE(punch.send_response);  // acknowledged later, like a write
  EXPECT_EQ(harness.pending(), 3u);
  EXPECT_EQ(test::read_file(harness.m_image), before);  // nothing applied yet

  std::vector<char> expected = before;
  std::memcpy(expected.data(), first.data(), 8192);
  std::memcpy(expected.data() + 50, second.data(), 100);
  std::memset(expected.data() + 16384, 0, 4096);
  EXPECT_EQ(harness.read(0, 20480), std::vector<char>(expected.begin(), expected.begin() + 20480));
  std::vector<unsigned char> deferred_hash = harness.hash(0, 8192);
  EXPECT_EQ(deferred_hash, aggregate(std::vector<char>(expected.begin(), expected.begin() + 8192)));

  auto records = harness.acknowledge();  // commits first
  ASSERT_EQ(records.size(), 3u);
  for (const auto& record : records) EXPECT_EQ(record.status, STATUS_SUCCESS);
  EXPECT_EQ(records[2].offset, 16384);
  EXPECT_EQ(test::read_file(harness.m_image), expected);

  // The partial write left block 0 not valid; hashing the range stores it.
  EXPECT_EQ(harness.hash(0, 8192), deferred_hash);
  // Now answered from stored entries: changing the image behind the
  // server's back does not change the answer.
  std::fstream image(harness.m_image, std::ios::in | std::ios::out | std::ios::binary);
  image.write("XXXXXXXX", 8);
  image.close();
  EXPECT_EQ(harness.hash(0, 8192), deferred_hash);
  // A partial block is always read from the image.
  EXPECT_NE(harness.hash(0, 100), aggregate(std::vector<char>(expected.begin(), expected.begin() + 100)));
}

TEST(BlockHashingTest, CommitTriggers) {
  Harness harness(64 << 20);
  // 25 MiB of writes commits without being asked.
  std::vector<char> mebibyte = test::random_bytes(1 << 20, 3);
  for (int i = 0; i < 24; ++i) harness.handle(COMMAND_WRITE, int64_t{i} << 20, 1 << 20, mebibyte);
  EXPECT_EQ(harness.pending(), 24u);
  harness.handle(COMMAND_WRITE, int64_t{24} << 20, 1 << 20, mebibyte);
  EXPECT_EQ(harness.pending(), 0u);
  EXPECT_EQ(harness.queued(), 25u);
  // So does a 25 MiB hole punch, which carries no data.
  harness.handle(COMMAND_HOLE_PUNCH, 0, 25 << 20);
  EXPECT_EQ(harness.pending(), 0u);
  EXPECT_EQ(harness.queued(), 26u);
  std::vector<char> image = test::read_file(harness.m_image);
  EXPECT_TRUE(std::all_of(image.begin(), image.begin() + (25 << 20), [](char c) { return c == 0; }));
  EXPECT_EQ(harness.hash(0, 8192), aggregate(std::vector<char>(8192, 0)));

  // Connection loss commits what is pending.
  harness.handle(COMMAND_WRITE, 0, 4, {'l', 'o', 's', 't'});
  harness.m_handler.cleanup();
  EXPECT_EQ(std::string(test::read_file(harness.m_image).data(), 4), "lost");
}

TEST(BlockHashingTest, TheTwoHundredThousandthOperationCommits) {
  Harness harness;
  std::vector<char> byte{'b'};
  for (int i = 0; i < 199999; ++i) harness.handle(COMMAND_WRITE, i % (1 << 20), 1, byte);
  EXPECT_EQ(harness.pending(), 199999u);
  harness.handle(COMMAND_WRITE, 0, 1, byte);
  EXPECT_EQ(harness.pending(), 0u);
  EXPECT_EQ(harness.queued(), 200000u);
}

TEST(BlockHashingTest, CloseCommitsAndOutOfRangeWorkIsRefused) {
  Harness harness(1 << 16);
  harness.handle(COMMAND_WRITE, 4096, 5, {'c', 'l', 'o', 's', 'e'});
  ServerMessageHandlerResponse closed = harness.handle(COMMAND_CLOSE, 0, 0);
  EXPECT_TRUE(closed.close_after_send);
  EXPECT_EQ(std::string(test::read_file(harness.m_image).data() + 4096, 5), "close");

  harness.connect();
  ServerMessageHandlerResponse outside = harness.handle(COMMAND_WRITE, (1 << 16) - 2, 4, {'a', 'b', 'c', 'd'});
  EXPECT_FALSE(outside.error.empty());
  EXPECT_TRUE(outside.close_after_send);
  harness.connect();
  ServerMessageHandlerResponse punch = harness.handle(COMMAND_HOLE_PUNCH, 1 << 20, 4096);
  EXPECT_FALSE(punch.error.empty());
  harness.connect();
  ServerMessageHandlerResponse negative = harness.handle(COMMAND_HOLE_PUNCH, -4096, 4096);
  EXPECT_FALSE(negative.error.empty());
  EXPECT_EQ(test::read_file(harness.m_image).size(), 1u << 16);
}

uint32_t journal_entries(const std::string& image) {
  std::vector<char> journal = test::read_file(image + ".hash.journal");
  return DecodeFixed32LE(journal.data() + TarveloJournal::kEntryCountField);
}

TEST(BlockHashingTest, HashesOfUncommittedWritesAreNotStoredAsValid) {
  Harness harness(1 << 16);
  std::vector<char> data = test::random_bytes(2 * kBlock, 8);
  harness.handle(COMMAND_WRITE, 0, 2 * kBlock, data);
  // A range whose end overflows is refused, never compared with the pending write.
  EXPECT_FALSE(harness.handle(COMMAND_HASH, INT64_MAX - 10, 100).error.empty());
  harness.connect();
  harness.handle(COMMAND_WRITE, 0, 2 * kBlock, data);
  EXPECT_EQ(harness.hash(0, 4 * kBlock).size(), 32u);
  // A crash now would leave the image as it was: the hash file must agree.
  test::verify_hash_file(harness.m_image);
  harness.acknowledge();
  EXPECT_EQ(harness.hash(0, 4 * kBlock).size(), 32u);
  test::verify_hash_file(harness.m_image);
}

// As after a crash between an image write and its hash update: the journal
// still lists the range and the entry is valid for the old data.
TEST(BlockHashingTest, RepairRehashesJournalledRangesEvenWhereEntriesLookValid) {
  Harness harness(1 << 16);
  std::vector<unsigned char> before = harness.hash(0, 2 * kBlock);  // stores valid entries
  std::vector<char> image = test::read_file(harness.m_image);
  std::vector<char> changed = test::random_bytes(kBlock, 9);
  std::copy(changed.begin(), changed.end(), image.begin() + kBlock);
  test::write_file(harness.m_image, image);
  std::vector<char> journal(TarveloJournal::kHeaderBytes + TarveloJournal::kEntryBytes, 0);
  EncodeFixed64LE(journal.data() + TarveloJournal::kMagicField, TarveloJournal::kMagic);
  EncodeFixed64LE(journal.data() + TarveloJournal::kVersionField, TarveloJournal::kVersion);
  EncodeFixed32LE(journal.data() + TarveloJournal::kEntryCountField, 1);
  EncodeFixed64LE(journal.data() + TarveloJournal::kHeaderBytes, kBlock + 100);  // a partial write
  EncodeFixed64LE(journal.data() + TarveloJournal::kHeaderBytes + 8, 50);
  test::write_file(harness.m_image + ".hash.journal", journal);

  harness.connect();
  EXPECT_EQ(journal_entries(harness.m_image), 0u);
  EXPECT_EQ(harness.hash(0, 2 * kBlock), aggregate(std::vector<char>(image.begin(), image.begin() + 2 * kBlock)));
  test::verify_hash_file(harness.m_image);
}

// Connections on one image share its hash store and journal, and run on
// threads of their own: deferred work, commits, hashes and direct writes of
// several at once must leave the image as acknowledged and every valid entry
// of the hash file true to it.
TEST(BlockHashingTest, ConcurrencyOfConnectionsOnOneImage) {
  constexpr long kRegion = 16 * kBlock;  // each connection writes its own
  Harness first(4 * kRegion);
  Harness second(first, true);
  EXPECT_EQ(first.m_handler.connection_state()->image_hashes, second.m_handler.connection_state()->image_hashes);
  std::vector<char> expected = test::read_file(first.m_image);
  EXPECT_EQ(second.hash(0, 4 * kBlock), test::reference_aggregate(expected, 0, kBlock, 0, 4 * kBlock));
  std::vector<char> data = test::random_bytes(kBlock, 11);
  first.handle(COMMAND_WRITE, kBlock, kBlock, data);
  first.acknowledge();
  std::copy(data.begin(), data.end(), expected.begin() + kBlock);
  // Entries stored through the second before the write are not answered from.
  EXPECT_EQ(second.hash(0, 4 * kBlock), test::reference_aggregate(expected, 0, kBlock, 0, 4 * kBlock));

  std::vector<std::unique_ptr<Harness>> connections;
  connections.push_back(std::make_unique<Harness>(first, true));
  connections.push_back(std::make_unique<Harness>(first, false));  // direct writes
  Harness* all[] = {&first, &second, connections[0].get(), connections[1].get()};
  auto work = [&](Harness& connection, long region, uint32_t seed) {
    std::mt19937 random(seed);
    for (int step = 0; step < 120; ++step) {
      long length = 1 + static_cast<long>(random() % (2 * kBlock));
      long offset = region + static_cast<long>(random() % (kRegion - length));
      switch (random() % 4) {
        case 0: {
          std::vector<char> bytes = test::random_bytes(static_cast<std::size_t>(length), seed + step);
          connection.handle(COMMAND_WRITE, offset, length, bytes);
          std::copy(bytes.begin(), bytes.end(), expected.begin() + offset);
          break;
        }
        case 1:
          connection.handle(COMMAND_HOLE_PUNCH, offset, length);
          std::fill_n(expected.begin() + offset, length, 0);
          break;
        case 2:  // a direct hash is the plain digest of the range
          EXPECT_EQ(connection.hash(region, kRegion),
                    connection.m_handler.connection_state()->block_hashing
                        ? test::reference_aggregate(expected, 0, kBlock, region, kRegion)
                        : test::blake2b(expected.data() + region, kRegion));
          break;
        default:
          // Stores the hashes of others' blocks, under their deferred work.
          connection.hash(0, 4 * kRegion);
          for (const auto& record : connection.acknowledge()) EXPECT_EQ(record.status, STATUS_SUCCESS);
      }
    }
    for (const auto& record : connection.acknowledge()) EXPECT_EQ(record.status, STATUS_SUCCESS);
  };
  std::vector<std::thread> threads;
  for (uint32_t k = 0; k < 4; ++k) threads.emplace_back(work, std::ref(*all[k]), k * kRegion, 100 * k);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(connections[1]->m_handler.connection_state()->image_hashes,
            first.m_handler.connection_state()->image_hashes);
  for (Harness* connection : all) connection->m_handler.cleanup();
  EXPECT_EQ(test::read_file(first.m_image), expected);
  test::verify_hash_file(first.m_image);
}

// Points the hash store's descriptor at a read-only description of the same
// file, so that its next hash update fails as on a failing disk.
void make_hash_file_read_only(const std::string& hash_path) {
  std::string wanted = std::filesystem::canonical(hash_path).string();
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    auto target = std::filesystem::read_symlink(entry.path(), error);
    if (error || target.string() != wanted) continue;
    int read_only = ::open(hash_path.c_str(), O_RDONLY);
    ASSERT_GE(read_only, 0);
    ASSERT_GE(::dup2(read_only, std::stoi(entry.path().filename().string())), 0);
    ::close(read_only);
    return;
  }
  FAIL() << "no descriptor open on " << hash_path;
}

TEST(BlockHashingTest, AFailedHashUpdateStaysJournalledUntilTheNextHashHandshake) {
  Harness harness(1 << 16);
  std::vector<char> data = test::random_bytes(kBlock, 10);
  harness.handle(COMMAND_WRITE, kBlock, kBlock, data);
  make_hash_file_read_only(harness.m_image + ".hash");
  auto records = harness.acknowledge();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].status, STATUS_EIO);
  EXPECT_EQ(journal_entries(harness.m_image), 1u);

  ServerMessageHandlerResponse refused = harness.handle(COMMAND_WRITE, 0, 4, {'n', 'e', 'x', 't'});
  EXPECT_EQ(refused.error, "writing with uncommitted transactions.");
  EXPECT_TRUE(refused.close_after_send);

  harness.connect();  // a new connection's hash handshake repairs the range
  EXPECT_EQ(journal_entries(harness.m_image), 0u);
  std::vector<char> image = test::read_file(harness.m_image);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + kBlock));
  EXPECT_EQ(harness.hash(kBlock, kBlock), aggregate(data));
  test::verify_hash_file(harness.m_image);
}

// A client without the hash handshake changes blocks whose hashes a
// block-hashing client stored: those entries must stop counting as valid.
TEST(BlockHashingTest, DirectChangesMarkStoredHashesNotValid) {
  Harness hashing(16 * kBlock);  // stores the hashes of blocks 0 to 3, then leaves
  hashing.handle(COMMAND_WRITE, 0, 4 * kBlock, test::random_bytes(4 * kBlock, 4));
  EXPECT_EQ(hashing.acknowledge().size(), 1u);
  EXPECT_EQ(hashing.hash(0, 4 * kBlock).size(), 32u);
  hashing.m_handler.cleanup();
  std::vector<char> rewritten = test::random_bytes(kBlock, 5);
  {
    Harness direct(hashing, false);  // rewrites block 1 and punches block 2
    direct.handle(COMMAND_WRITE, kBlock, kBlock, rewritten);
    EXPECT_EQ(direct.handle(COMMAND_HOLE_PUNCH, 2 * kBlock, kBlock).message.buffer()[wire::kHolePunchStatus],
              STATUS_SUCCESS);
    auto records = direct.acknowledge();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].status, STATUS_SUCCESS);
  }
  test::verify_hash_file(hashing.m_image);
  // The next block-hashing client is answered from the new bytes.
  Harness again(hashing, true);
  EXPECT_EQ(again.hash(kBlock, kBlock), aggregate(rewritten));
  EXPECT_EQ(again.hash(2 * kBlock, kBlock), aggregate(std::vector<char>(kBlock, 0)));
}

// No handshake and no damaged file may leave an image that cannot be
// written: a partition offset outside the image is refused before any file
// is made, and a hash file that cannot be opened vouches for nothing, so
// direct changes go ahead.
TEST(BlockHashingTest, BadHashHandshakesAndFilesLeaveTheImageWritable) {
  Harness direct(4 * kBlock, false);
  for (int64_t partition_offset : {int64_t{-kBlock}, int64_t{4 * kBlock}, int64_t{1} << 40}) {
    Message message(32);
    tarvelo_protocol_message_t front;
    front.command = COMMAND_HASH_HANDSHAKE;
    front.session_id = direct.m_session;
    encode_message_front(message.buffer(), front);
    // The partition offset travels in the sender's byte order.
    std::memcpy(message.buffer() + wire::kHashHandshakePartitionOffset, &partition_offset, 8);
    ServerMessageHandlerResponse response = direct.m_handler.handle_message(message);
    EXPECT_NE(response.error.find("partition offset " + std::to_string(partition_offset) + " lies outside"),
              std::string::npos)
        << response.error;
    EXPECT_FALSE(std::filesystem::exists(direct.m_image + ".hash"));
    EXPECT_FALSE(std::filesystem::exists(direct.m_image + ".hash.journal"));
    direct.connect(false);
  }
  std::vector<char> data = test::random_bytes(kBlock, 7);
  direct.handle(COMMAND_WRITE, 0, kBlock, data);
  ASSERT_EQ(direct.acknowledge().at(0).status, STATUS_SUCCESS);
  Harness hashing(direct, true);  // a good offset still works
  EXPECT_EQ(hashing.hash(0, kBlock), aggregate(data));
  hashing.m_handler.cleanup();

  test::write_file(direct.m_image + ".hash", std::vector<char>(10, 'x'));
  test::CaptureLog log;
  direct.handle(COMMAND_WRITE, kBlock, kBlock, data);
  EXPECT_EQ(direct.handle(COMMAND_HOLE_PUNCH, 0, kBlock).message.buffer()[wire::kHolePunchStatus], STATUS_SUCCESS);
  auto records = direct.acknowledge();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].status, STATUS_SUCCESS);
  std::vector<char> image = test::read_file(direct.m_image);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + kBlock));
  EXPECT_EQ(image[0], 0);
  std::string warnings = log.err();
  EXPECT_NE(warnings.find("without marking its stored hashes"), std::string::npos) << warnings;
  EXPECT_EQ(warnings.find("without marking its stored hashes"), warnings.rfind("without marking")) << warnings;
  ServerMessageHandlerResponse response = direct.handle(COMMAND_HASH_HANDSHAKE, 0, 0);
  EXPECT_NE(response.error.find("but an error occured opening the hash store file: "), std::string::npos)
      << response.error;
  EXPECT_TRUE(std::filesystem::exists(direct.m_image + ".hash"));  // not ours to remove
}

// With a hash directory the files of every image live there under the
// escaped image path, for every connection and for the offline checker;
// files already beside an image stay in use.
TEST(BlockHashingTest, HashDirectoryHoldsTheFiles) {
  EXPECT_EQ(BlockHashStore::hashFilePath("/srv/a%2Fb/c.img", "/var/h"), "/var/h/%2Fsrv%2Fa%252Fb%2Fc.img.hash");
  EXPECT_EQ(BlockHashStore::hashFilePath("/srv/c.img"), "/srv/c.img.hash");

  Harness first(4 * kBlock, false);
  std::string directory = first.m_dir.file("hashes");
  std::filesystem::create_directory(directory);
  std::string hash_path = BlockHashStore::hashFilePath(first.m_image, directory);
  ASSERT_EQ(hash_path.rfind(directory + "/%2F", 0), 0u) << hash_path;
  first.m_handler.setHashDirectory(directory);
  first.connect(true);
  std::vector<char> data = test::random_bytes(kBlock, 9);
  first.handle(COMMAND_WRITE, kBlock, kBlock, data);
  std::vector<unsigned char> stored = first.hash(0, 4 * kBlock);
  first.m_handler.cleanup();
  EXPECT_TRUE(std::filesystem::exists(hash_path));
  EXPECT_TRUE(std::filesystem::exists(hash_path + ".journal"));
  EXPECT_FALSE(std::filesystem::exists(first.m_image + ".hash"));

  Harness second(first, false);
  second.m_handler.setHashDirectory(directory);
  second.connect(true);
  EXPECT_EQ(second.hash(0, 4 * kBlock), stored);
  second.m_handler.cleanup();
  EXPECT_FALSE(std::filesystem::exists(first.m_image + ".hash"));
  std::ostringstream out, err;
  EXPECT_EQ(tools::verify_hashes(first.m_image, out, err, directory), 0) << err.str();
  EXPECT_EQ(tools::verify_hashes(first.m_image, out, err), 2);

  // A file made beside the image before the directory was set keeps serving.
  std::filesystem::rename(hash_path, first.m_image + ".hash");
  std::filesystem::rename(hash_path + ".journal", first.m_image + ".hash.journal");
  EXPECT_EQ(BlockHashStore::hashFilePath(first.m_image, directory), first.m_image + ".hash");
}

// A read-only image still gets hash storage, as long as the hash file can be
// written; changes are acknowledged as failed and never deferred.
TEST(BlockHashingTest, ReadOnlyTargetsNeedAWritableHashFile) {
  Harness harness(4 * kBlock, false);
  std::vector<char> before = test::read_file(harness.m_image);
  harness.m_endpoints.target("disk").read_only(true);
  std::string not_a_directory = harness.m_dir.file("plain");
  test::write_file(not_a_directory, {'x'});
  harness.m_handler.setHashDirectory(not_a_directory);
  harness.connect(false);
  EXPECT_EQ(fcntl(harness.m_handler.connection_state()->fd, F_GETFL) & O_ACCMODE, O_RDONLY);
  ServerMessageHandlerResponse refused = harness.handle(COMMAND_HASH_HANDSHAKE, 0, 0);
  EXPECT_NE(refused.error.find("the target is read-only and " + not_a_directory + "/"), std::string::npos)
      << refused.error;

  harness.m_handler.setHashDirectory("");
  harness.connect(true);
  harness.handle(COMMAND_WRITE, 0, kBlock, test::random_bytes(kBlock, 3));
  ServerMessageHandlerResponse punch = harness.handle(COMMAND_HOLE_PUNCH, kBlock, kBlock);
  EXPECT_FALSE(punch.send_response);
  EXPECT_EQ(harness.pending(), 0u);
  auto records = harness.acknowledge();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].status, STATUS_EIO);
  EXPECT_EQ(records[1].status, STATUS_EIO);
  EXPECT_EQ(harness.hash(0, 4 * kBlock), aggregate(before));
  EXPECT_EQ(test::read_file(harness.m_image), before);
}

}  // namespace
}  // namespace tarvelo
