#include <tarveloftp/BlockHashStore.h>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarvelo
