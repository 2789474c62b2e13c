#include <tarveloftp/BlakeHash.h>
#include <tarveloftp/BlockHashStore.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>

#include "StorageTestSupport.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using test::error_of;
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

TEST(BlockHashStoreHashesTest, BlakeHashMatchesTheReference) {
  BlakeHash blake;
  std::vector<char> data = test::random_bytes(1000, 1);
  EXPECT_EQ(blake.get_hash(data.data(), 1000), test::blake2b(data.data(), 1000));
  EXPECT_TRUE(blake.get_hash(data.data(), -1).empty());
  auto pieces = blake.start_incremental();
  ASSERT_TRUE(pieces->update(data.data(), 300));
  ASSERT_TRUE(pieces->update(data.data() + 300, 700));
  EXPECT_EQ(pieces->final(), test::blake2b(data.data(), 1000));
}

TEST(BlockHashStoreHashesTest, AggregatesMatchAnIndependentComputation) {
  for (long partition : {0L, 512L}) {
    StoreFixture f(test::random_bytes(5 * B + 1000, 11), partition);
    long p = partition;
    // Unaligned ends, one aligned block, inside one block, the whole image.
    std::vector<std::pair<long, long>> ranges = {
        {p + 4000, 200}, {p + B, B}, {p + 100, 50}, {p, 5 * B + 1000 - p}};
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

// A 1 GiB sparse image hashed in bounded passes: every data request and
// every hash-file write stays within a pass, and the digest equals the
// one-piece definition.
TEST(BlockHashStoreHashesTest, LargeSparseRangeIsHashedWithBoundedMemory) {
  constexpr long kSize = 1L << 30;
  test::TempDir dir;
  std::string hashPath = dir.file("image.hash");
  BlockHashStore::create(hashPath, HASH_FUNCTION_BLAKE2B, kSize, 0, B, true);
  auto store = BlockHashStore::open(hashPath, kSize);
  unsigned long largestWrite = 0;
  store->setOnWriteCallback([&](unsigned long count) { largestWrite = std::max(largestWrite, count); });
  // The image is all zeros.
  long calls = 0, largestRequest = 0, total = 0;
  auto readImage = [&](const std::vector<long>&, const std::vector<long>& lengths) {
    ++calls;
    std::vector<std::unique_ptr<char[]>> buffers;
    long requested = 0;
    for (long length : lengths) {
      buffers.emplace_back(new char[static_cast<size_t>(length)]());
      requested += length;
    }
    largestRequest = std::max(largestRequest, requested);
    total += requested;
    return buffers;
  };

  // The expected digest is H of the zero block's hash repeated once per block.
  std::vector<char> zeros(B, 0);
  auto zeroHash = test::blake2b(zeros.data(), B);
  crypto_generichash_blake2b_state state;
  crypto_generichash_blake2b_init(&state, nullptr, 0, 32);
  for (long k = 0; k < kSize / B; ++k) crypto_generichash_blake2b_update(&state, zeroHash.data(), 32);
  std::vector<unsigned char> expected(32);
  crypto_generichash_blake2b_final(&state, expected.data(), 32);

  EXPECT_EQ(store->get_hash(0, kSize, readImage), expected);
  EXPECT_EQ(total, kSize);
  EXPECT_EQ(calls, kSize / static_cast<long>(BlockHashStore::kPassBytes));
  EXPECT_EQ(largestRequest, static_cast<long>(BlockHashStore::kPassBytes));
  EXPECT_LE(largestWrite, BlockHashStore::kPassBytes / B * 33);
  largestWrite = 0;
  store->invalidate_hashes(0, kSize);
  EXPECT_EQ(largestWrite, BlockHashStore::kPassBytes / B * 33);
}

TEST(BlockHashStoreHashesTest, PassesAgreeWithTheOnePieceDefinition) {
  const long size = 2 * static_cast<long>(BlockHashStore::kPassBytes) + 5 * B;
  StoreFixture f(test::random_bytes(static_cast<size_t>(size), 21), 100);
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
}

}  // namespace
}  // namespace tarvelo
