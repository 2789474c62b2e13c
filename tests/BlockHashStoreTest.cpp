#include <tarveloftp/BlakeHash.h>
#include <tarveloftp/BlockHashStore.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include <tarveloftp/Coding.h>

#include "StorageTestSupport.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using test::error_of;
constexpr unsigned long kGiB = 1UL << 30;

void createStore(const std::string& path, unsigned long target, unsigned long partition = 0) {
  BlockHashStore::create(path, HASH_FUNCTION_BLAKE2B, target, partition, 4096, true);
}

TEST(BlockHashStoreTest, FileSizesAndNewFileBytes) {
  EXPECT_EQ(BlockHashStore::computeFileSize(0, 4096, 32), 4096u);
  EXPECT_EQ(BlockHashStore::computeFileSize(507904, 4096, 32), 8192u);
  EXPECT_EQ(BlockHashStore::computeFileSize(512000, 4096, 32), 12288u);
  EXPECT_EQ(BlockHashStore::computeFileSize(2 * kGiB, 4096, 32), 17305600u);

  test::TempDir dir;
  std::string path = dir.file("image.hash");
  createStore(path, 512000, 1024);
  std::vector<char> bytes = test::read_file(path);
  ASSERT_EQ(bytes.size(), 12288u);
  EXPECT_EQ(DecodeFixed64LE(bytes.data() + 0), 0x20001312u);
  EXPECT_EQ(DecodeFixed64LE(bytes.data() + 8), 0u);
  EXPECT_EQ(DecodeFixed64LE(bytes.data() + 16), 4096u);
  EXPECT_EQ(DecodeFixed32LE(bytes.data() + 24), 4096u);
  EXPECT_EQ(DecodeFixed64LE(bytes.data() + 32), 512000u);
  EXPECT_EQ(DecodeFixed64LE(bytes.data() + 40), 1024u);
  EXPECT_EQ(DecodeFixed32LE(bytes.data() + 48), 1u);
  EXPECT_TRUE(std::all_of(bytes.begin() + 52, bytes.end(), [](char c) { return c == 0; }));
  EXPECT_EQ(BlockHashStore::open(path, 512000)->getPartitionOffset(), 1024);

  EXPECT_EQ(error_of([&] {
              BlockHashStore::create(dir.file("other"), static_cast<HashFunctionType>(2), 1, 0, 4096, true);
            }),
            "unknown hash id: 2");
  EXPECT_EQ(error_of([&] { BlockHashStore::create(dir.file("other"), HASH_FUNCTION_BLAKE2B, 1, 0, 0, true); }),
            "hash block size is invalid: 0");
  EXPECT_FALSE(std::filesystem::exists(dir.file("other")));
  EXPECT_EQ(error_of([&] { createStore(dir.file("no/such/dir"), 1); }), "error opening file for writing: 2");
}

TEST(BlockHashStoreTest, HeaderValidationFailures) {
  test::TempDir dir;
  std::string path = dir.file("image.hash");
  createStore(path, 10000);
  const std::vector<char> good = test::read_file(path);
  auto openWith = [&](const std::function<void(std::vector<char>&)>& corrupt) {
    std::vector<char> bytes = good;
    corrupt(bytes);
    test::write_file(path, bytes);
    return error_of([&] { BlockHashStore::open(path, 10000); });
  };
  EXPECT_EQ(openWith([](auto& b) { b[0] ^= 1; }), "header magic number does not match expected");
  EXPECT_EQ(openWith([](auto& b) { b[8] = 1; }), "header version does not match the expected value");
  EXPECT_EQ(openWith([](auto& b) { EncodeFixed64LE(b.data() + 16, 512); }), "hash data offset is invalid: 512 4096");
  EXPECT_EQ(openWith([](auto& b) { b[48] = 2; }), "unknown hashing function: 2");
  EXPECT_EQ(openWith([](auto& b) { EncodeFixed64LE(b.data() + 40, static_cast<uint64_t>(-4096)); }),
            "hash partition offset is invalid: -4096");
  EXPECT_EQ(openWith([](auto& b) { EncodeFixed32LE(b.data() + 24, 0); }), "hash block size is invalid: 0");
  EXPECT_EQ(openWith([](auto& b) { b.resize(12288); }), "the hash file size is incorrect for given target size");
  EXPECT_EQ(openWith([](auto& b) { b.resize(55); }), "file is too small to be valid: 55");
  // A header claiming a target it is not sized for is refused before any resize.
  EXPECT_EQ(openWith([](auto& b) { EncodeFixed64LE(b.data() + 32, kGiB); }),
            "the hash file size is incorrect for given target size");
  EXPECT_EQ(openWith([](auto&) {}), "no error");

  EXPECT_EQ(error_of([&] { BlockHashStore::open(dir.file("missing"), 1); }), "failed to stat hash file: 2");
  std::filesystem::create_directory(dir.file("directory"));
  EXPECT_EQ(error_of([&] { BlockHashStore::open(dir.file("directory"), 1); }), "path does not represent a hash file");
}

TEST(BlockHashStoreTest, ResizeFollowsTheImageAndKeepsEntries) {
  test::TempDir dir;
  std::string path = dir.file("image.hash");
  test::ServedImage image;
  image.bytes = test::random_bytes(512000, 3);

  // Same number of entry pages: only the header changes, silently.
  createStore(path, 10000);
  {
    test::CaptureLog log;
    auto store = BlockHashStore::open(path, 20000);
    EXPECT_EQ(test::read_file(path).size(), 8192u);
    EXPECT_EQ(DecodeFixed64LE(test::read_file(path).data() + 32), 20000u);
    EXPECT_EQ(log.out(), "");
  }

  createStore(path, 507904);
  BlockHashStore::open(path, 507904)->get_hash(0, 507904, std::ref(image));
  const std::vector<char> hashed = test::read_file(path);
  {
    test::CaptureLog log;
    auto store = BlockHashStore::open(path, 512000);
    EXPECT_NE(log.out().find("hash storage resizing because target changed, expected: 12288, actual: 8192"),
              std::string::npos);
  }
  std::vector<char> grown = test::read_file(path);
  ASSERT_EQ(grown.size(), 12288u);
  EXPECT_TRUE(std::equal(hashed.begin() + 56, hashed.end(), grown.begin() + 56));
  EXPECT_TRUE(std::all_of(grown.begin() + 8192, grown.end(), [](char c) { return c == 0; }));

  BlockHashStore::open(path, 507904);
  std::vector<char> shrunk = test::read_file(path);
  EXPECT_EQ(shrunk, hashed);

  // A block that was not whole in both sizes may hold other bytes after
  // a shrink and regrowth: its entry must not stay valid.
  image.offsets.clear();
  image.lengths.clear();
  auto small = BlockHashStore::open(path, 10000);  // blocks 0 and 1 stay whole
  auto regrown = BlockHashStore::open(path, 507904);
  regrown->get_hash(0, 4 * 4096, std::ref(image));
  ASSERT_EQ(image.offsets.size(), 1u);
  EXPECT_EQ(image.offsets[0], (std::vector<long>{8192}));
  EXPECT_EQ(image.lengths[0], (std::vector<long>{8192}));
}

TEST(BlockHashStoreTest, AccessBoundsAndTheFirstErrorWins) {
  test::TempDir dir;
  std::string path = dir.file("image.hash");
  createStore(path, 8192);
  auto store = BlockHashStore::open(path, 8192);
  EXPECT_EQ(error_of([&] { store->throwOnAccessViolation("get_hash", 8192, 0); }),
            "get_hash: offset is out of bounds: 8192, 8192");
  EXPECT_EQ(error_of([&] { store->throwOnAccessViolation("get_hash", 4096, 4096); }), "no error");
  EXPECT_EQ(error_of([&] { store->throwOnAccessViolation("update_hashes", 4096, -1); }),
            "update_hashes: offset is out of bounds: 4096, 8192");
  EXPECT_EQ(error_of([&] { store->throwOnAccessViolation("get_hash", -1, 1); }),
            "get_hash: offset is out of bounds: -1, 8192");

  errno = 5;
  EXPECT_EQ(error_of([] { BlockHashStore::throwWithErrno("plain"); }), "plain: 5");
  struct FailsWhileUnwinding {
    ~FailsWhileUnwinding() {
      errno = 9;
      BlockHashStore::throwWithErrno("cleanup failed");
    }
  };
  test::CaptureLog log;
  EXPECT_EQ(error_of([] {
              FailsWhileUnwinding cleanup;
              throw std::runtime_error("first");
            }),
            "first");
  EXPECT_NE(log.err().find("ERROR: BlockHashStore.cpp:"), std::string::npos);
  EXPECT_NE(log.err().find(" : throwWithErrno cleanup failed: 9\n"), std::string::npos);
}

constexpr long B = 4096;

struct StoreFixture {
  test::TempDir dir;
  std::string path = dir.file("image.hash");
  test::ServedImage image;
  long partition;
  std::unique_ptr<BlockHashStore> store;

  StoreFixture(std::vector<char> bytes, long partitionOffset) : partition(partitionOffset) {
    image.bytes = std::move(bytes);
    BlockHashStore::create(path, HASH_FUNCTION_BLAKE2B, image.bytes.size(), partition, B, true);
    store = BlockHashStore::open(path, image.bytes.size());
  }

  std::vector<unsigned char> hash(long offset, long length) {
    return store->get_hash(offset, length, std::ref(image));
  }
  std::vector<unsigned char> reference(long offset, long length) {
    return test::reference_aggregate(image.bytes, partition, B, offset, length);
  }
  // Flag byte of the entry of block k, as on disk.
  int flag(long k) { return test::read_file(path)[static_cast<size_t>(4096 + k * 33)]; }
  std::vector<unsigned char> storedHash(long k) {
    auto bytes = test::read_file(path);
    return {bytes.begin() + 4096 + k * 33 + 1, bytes.begin() + 4096 + (k + 1) * 33};
  }
};

TEST(BlockHashStoreHashesTest, AggregatesMatchAnIndependentComputation) {
  for (long partition : {0L, 512L}) {
    StoreFixture f(test::random_bytes(13 * B + 1000, 11), partition);
    long p = partition;
    // Unaligned ends, one aligned block, inside one block, the whole image
    // (whole blocks enough to be hashed side by side).
    std::vector<std::pair<long, long>> ranges = {
        {p + 4000, 200}, {p + B, B}, {p + 100, 50}, {p, 13 * B + 1000 - p}};
    for (auto [offset, length] : ranges) {
      EXPECT_EQ(f.hash(offset, length), f.reference(offset, length)) << partition << " " << offset << " " << length;
      // Again, now partly from stored entries.
      EXPECT_EQ(f.hash(offset, length), f.reference(offset, length)) << partition << " " << offset << " " << length;
    }
    std::vector<char> block(f.image.bytes.begin() + p + B, f.image.bytes.begin() + p + 2 * B);
    auto blockHash = test::blake2b(block.data(), B);
    EXPECT_EQ(f.hash(p + B, B), test::blake2b(blockHash.data(), 32));
    EXPECT_EQ(f.storedHash(1), blockHash);
  }
  // A negative length is refused, not taken for a huge one.
  EXPECT_TRUE(BlakeHash().get_hash(nullptr, -1).empty());
}

TEST(BlockHashStoreHashesTest, ImageDataIsAskedForOnlyWhereNeededInMergedRuns) {
  StoreFixture f(test::random_bytes(8 * B, 5), 0);
  // An invalid aligned block: one call, then stored and answered from the file.
  auto first = f.hash(B, B);
  ASSERT_EQ(f.image.offsets.size(), 1u);
  EXPECT_EQ(f.image.offsets[0], (std::vector<long>{B}));
  EXPECT_EQ(f.image.lengths[0], (std::vector<long>{B}));
  EXPECT_EQ(f.flag(1), 1);
  EXPECT_EQ(f.hash(B, B), first);
  EXPECT_EQ(f.image.offsets.size(), 1u);

  // Inside one block: exactly its bytes, and the entry stays as it was.
  f.hash(2 * B + 100, 50);
  EXPECT_EQ(f.image.offsets.back(), (std::vector<long>{2 * B + 100}));
  EXPECT_EQ(f.image.lengths.back(), (std::vector<long>{50}));
  EXPECT_EQ(f.flag(2), 0);

  // Blocks 1 and 3 valid: three runs for blocks 0 to 4.
  f.store->update_hashes(3 * B, f.image.bytes.data() + 3 * B, B);
  f.hash(0, 5 * B);
  EXPECT_EQ(f.image.offsets.back(), (std::vector<long>{0, 2 * B, 4 * B}));
  EXPECT_EQ(f.image.lengths.back(), (std::vector<long>{B, B, B}));

  // A partial head, invalid blocks and a partial tail merge into one run.
  f.hash(5 * B + 10, 2 * B + 100);
  EXPECT_EQ(f.image.offsets.back(), (std::vector<long>{5 * B + 10}));
  EXPECT_EQ(f.image.lengths.back(), (std::vector<long>{2 * B + 100}));
  EXPECT_EQ(f.flag(6), 1);
  EXPECT_EQ(f.flag(5), 0);
  EXPECT_EQ(f.flag(7), 0);

  EXPECT_EQ(error_of([&] { f.store->get_hash(0, 8 * B, [](auto&, auto&) {
    return std::vector<std::unique_ptr<char[]>>();
  }); }).rfind("expected more image data than was returned while hashing", 0), 0u);
}

TEST(BlockHashStoreHashesTest, UpdateAndInvalidateOnPartialAndWholeBlocks) {
  StoreFixture f(test::random_bytes(6 * B, 9), 0);
  f.hash(0, 6 * B);
  for (long k = 0; k < 6; ++k) ASSERT_EQ(f.flag(k), 1);

  // New data over [B/2, B/2 + 2B): blocks 0 and 2 partial, block 1 whole.
  std::vector<char> written = test::random_bytes(2 * B, 10);
  std::copy(written.begin(), written.end(), f.image.bytes.begin() + B / 2);
  f.store->update_hashes(B / 2, written.data(), 2 * B);
  EXPECT_EQ(f.flag(0), 0);
  EXPECT_EQ(f.flag(2), 0);
  EXPECT_EQ(f.flag(1), 1);
  EXPECT_EQ(f.storedHash(1), test::blake2b(f.image.bytes.data() + B, B));
  EXPECT_EQ(f.hash(0, 6 * B), f.reference(0, 6 * B));

  f.store->invalidate_hashes(4 * B + 7, 1);
  EXPECT_EQ(f.flag(4), 0);
  EXPECT_EQ(f.flag(3), 1);
  EXPECT_EQ(f.flag(5), 1);
  f.store->invalidate_hashes(0, 6 * B);
  for (long k = 0; k < 6; ++k) EXPECT_EQ(f.flag(k), 0);
  EXPECT_TRUE(f.store->sync_to_disk());

  EXPECT_EQ(error_of([&] { f.store->update_hashes(0, nullptr, B); }),
            "encountered a null buffer while updating hashes");
  EXPECT_EQ(error_of([&] { f.store->invalidate_hashes(5 * B, B + 1); }),
            "update_hashes: offset is out of bounds: 20480, 24576");
}

TEST(BlockHashStoreHashesTest, HashFileCutShortIsAnError) {
  // Entries past the reader's window, then the file cut behind its back.
  StoreFixture f(std::vector<char>(2000 * B, 0), 0);
  ASSERT_EQ(::truncate(f.path.c_str(), 4096 + 1400 * 33), 0);
  auto message = error_of([&] { f.hash(1450 * B, 10 * B); });
  EXPECT_EQ(message.rfind("failed to read hash value: " + std::to_string(1450 * B) + ": ", 0), 0u) << message;
}

// Ranges over several passes: bounded requests and writes, and the digest
// of the one-piece definition.
TEST(BlockHashStoreHashesTest, PassesAgreeWithTheOnePieceDefinition) {
  const long size = 2 * static_cast<long>(BlockHashStore::kPassBytes) + 5 * B;
  StoreFixture f(test::random_bytes(static_cast<size_t>(size), 21), 100);
  unsigned long largestWrite = 0;
  f.store->setOnWriteCallback([&](unsigned long count) { largestWrite = std::max(largestWrite, count); });
  f.hash(100 + 1000 * B, 3000 * B);  // some entries valid already, across a pass boundary
  f.image.offsets.clear();
  f.image.lengths.clear();
  long offset = 100 + 5000;
  long length = size - 100 - 12000;
  EXPECT_EQ(f.hash(offset, length), f.reference(offset, length));
  ASSERT_EQ(f.image.offsets.size(), 3u);
  for (size_t call = 0; call < 3; ++call) {
    long requested = 0;
    for (long bytes : f.image.lengths[call]) requested += bytes;
    EXPECT_LE(requested, static_cast<long>(BlockHashStore::kPassBytes));
  }
  EXPECT_EQ(f.image.offsets[0].front(), offset);
  EXPECT_EQ(f.hash(offset, length), f.reference(offset, length));
  // Hash-file writes stay within a pass too, when hashing and when invalidating.
  EXPECT_LE(largestWrite, BlockHashStore::kPassBytes / B * 33);
  largestWrite = 0;
  f.store->invalidate_hashes(100, size - 100);
  EXPECT_GT(largestWrite, 0u);
  EXPECT_LE(largestWrite, BlockHashStore::kPassBytes / B * 33);
}

}  // namespace
}  // namespace tarvelo
