#include <tarveloftp/SimpleCachedReader.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "TestSupport.h"

namespace tarvelo {
namespace {

struct ReaderFixture {
  test::TempDir dir;
  std::string path = dir.file("data");
  std::vector<char> bytes = test::random_bytes(100000, 7);
  std::vector<unsigned long> reads;
  std::vector<unsigned long> writes;
  SimpleCachedReader reader{49152};

  ReaderFixture() {
    test::write_file(path, bytes);
    reader.setOnReadCallback([this](unsigned long count) { reads.push_back(count); });
    reader.setOnWriteCallback([this](unsigned long count) { writes.push_back(count); });
    EXPECT_GE(reader.open(path, O_RDWR), 0);
  }
};

TEST(SimpleCachedReaderTest, ReadsInsideTheWindowMakeNoSystemCall) {
  ReaderFixture f;
  char out[200];
  ASSERT_EQ(f.reader.read(out, 56), 56);
  EXPECT_EQ(f.reads, (std::vector<unsigned long>{49152}));
  ASSERT_EQ(f.reader.read(out, 100), 100);
  EXPECT_EQ(std::vector<char>(out, out + 100), std::vector<char>(f.bytes.begin() + 56, f.bytes.begin() + 156));
  EXPECT_EQ(f.reads.size(), 1u);

  // Crossing the end of the window refills once, from the position.
  ASSERT_EQ(f.reader.seek(49100, SEEK_SET), 49100);
  ASSERT_EQ(f.reader.read(out, 100), 100);
  EXPECT_EQ(std::vector<char>(out, out + 100), std::vector<char>(f.bytes.begin() + 49100, f.bytes.begin() + 49200));
  EXPECT_EQ(f.reads, (std::vector<unsigned long>{49152, 49152}));

  // End of file: a partial count, then -1.
  ASSERT_EQ(f.reader.seek(99960, SEEK_SET), 99960);
  EXPECT_EQ(f.reader.read(out, 100), 40);
  EXPECT_EQ(f.reader.read(out, 100), -1);
  EXPECT_EQ(f.reader.read(out, 0), -1);
  ASSERT_EQ(f.reader.seek(-50, SEEK_CUR), 99950);
  EXPECT_EQ(f.reader.read(out, 10), 10);
}

TEST(SimpleCachedReaderTest, WritesGoThroughAndUpdateTheWindow) {
  ReaderFixture f;
  char out[64];
  ASSERT_EQ(f.reader.seek(60000, SEEK_SET), 60000);
  ASSERT_EQ(f.reader.read(out, 10), 10);  // window now [60000, 100000)

  // A write that starts before the window and reaches into it.
  std::vector<char> patch(20, 'x');
  ASSERT_EQ(f.reader.seek(59990, SEEK_SET), 59990);
  ASSERT_EQ(f.reader.write(patch.data(), patch.size()), 20);
  ASSERT_EQ(f.reader.seek(60000, SEEK_SET), 60000);
  ASSERT_EQ(f.reader.read(out, 20), 20);
  EXPECT_EQ(std::string(out, 10), std::string(10, 'x'));
  EXPECT_EQ(std::string(out + 10, 10), std::string(f.bytes.begin() + 60010, f.bytes.begin() + 60020));

  // A write right after a read lands at the reader's position, and window
  // and file agree on it.
  ASSERT_EQ(f.reader.seek(0, SEEK_SET), 0);
  ASSERT_EQ(f.reader.read(out, 10), 10);
  ASSERT_EQ(f.reader.write("abcd", 4), 4);
  ASSERT_EQ(f.reader.seek(8, SEEK_SET), 8);
  ASSERT_EQ(f.reader.read(out, 8), 8);
  EXPECT_EQ(std::string(out + 2, 4), "abcd");
  std::vector<char> onDisk = test::read_file(f.path);
  EXPECT_EQ(std::string(onDisk.begin() + 10, onDisk.begin() + 14), "abcd");
  EXPECT_EQ(std::string(onDisk.begin() + 59990, onDisk.begin() + 60010), std::string(20, 'x'));
  EXPECT_EQ(f.writes, (std::vector<unsigned long>{20, 4}));
  EXPECT_EQ(f.reads.size(), 2u);  // one refill per window, none for the reads after the writes

  // Moving keeps the descriptor, the window and the callbacks.
  SimpleCachedReader moved(std::move(f.reader));
  ASSERT_EQ(moved.seek(10, SEEK_SET), 10);
  ASSERT_EQ(moved.read(out, 4), 4);
  EXPECT_EQ(std::string(out, 4), "abcd");
  EXPECT_EQ(f.reads.size(), 2u);
}

TEST(SimpleCachedReaderTest, SeekTruncateAndSyncFailures) {
  ReaderFixture f;
  try {
    f.reader.seek(0, 2);
    FAIL() << "seek accepted whence 2";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "seek received an unsupported whence: 2");
  }

  // truncate recreates a file removed meanwhile, owner-only.
  std::filesystem::remove(f.path);
  f.reader.truncate(12345);
  struct stat status {};
  ASSERT_EQ(::stat(f.path.c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 12345);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(f.reader.fsync(), 0);
  EXPECT_EQ(f.reader.sync_file_range(-1, 10), -1);

  SimpleCachedReader orphan(4096);
  ASSERT_LT(orphan.open(f.dir.file("missing/file"), O_RDWR), 0);
  try {
    orphan.truncate(1);
    FAIL() << "truncate without a file name succeeded";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "creat(\"\") failed: 2");
  }
}

}  // namespace
}  // namespace tarvelo
