// Steering the write-back of a download must never change what lands in the
// file: its bytes, its size and the holes left for zeros.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "Session.h"
#include "TestSupport.h"
#include "WriteBehind.h"

namespace tarvelo {
namespace {

using tools::LocalFile;
using tools::WriteBehind;

TEST(WriteBehind, KeepsBytesSizeAndHolesOfConcurrentWriters) {
  test::TempDir dir;
  // Regions that are not whole pages, so neighbouring writers share pages;
  // enough of them that each writer waits and drops several steps.
  constexpr long kSize = 2 * WriteBehind::kWaitBehind + 13 * (1L << 20) + 12345;
  constexpr long kRegion = 3 * (1L << 20) + 1000;
  constexpr long kPiece = 100000;
  constexpr long kHole = 4L << 20;  // a zero megabyte from here, never written
  std::vector<char> image = test::random_bytes(kSize, 7);
  std::memset(image.data() + kHole, 0, 1 << 20);

  LocalFile out(dir.file("out.img"), LocalFile::Mode::WriteNew);
  out.resize(kSize);
  std::atomic<bool> stop{false};
  tools::run_workers(2, stop, [&](int index) {
    WriteBehind behind(out);
    for (long region = index * kRegion; region < kSize; region += 2 * kRegion) {
      long end = std::min(kSize, region + kRegion);
      for (long at = region; at < end; at += kPiece) {
        long piece = std::min(kPiece, end - at);
        // The parts before and after the hole; the hole is reported written too.
        long before = std::clamp(kHole - at, 0L, piece);
        long after = std::clamp(at + piece - (kHole + (1L << 20)), 0L, piece);
        if (before > 0) out.write_at(at, image.data() + at, before);
        if (after > 0) out.write_at(at + piece - after, image.data() + at + piece - after, after);
        behind.written(at, piece);
      }
    }
  });
  WriteBehind::finish(out, kSize);

  EXPECT_EQ(out.size(), kSize);
  EXPECT_TRUE(test::read_file(dir.file("out.img")) == image);
  struct stat info {};
  ASSERT_EQ(stat(dir.file("out.img").c_str(), &info), 0);
  EXPECT_LE(info.st_blocks * 512, kSize - (1L << 20) + (64L << 10));

  // Nothing to steer on a character device, and nothing to fail on.
  LocalFile null("/dev/null", LocalFile::Mode::WriteNew);
  WriteBehind behind(null);
  for (long at = 0; at < (8L << 20); at += kPiece) behind.written(at, kPiece);
  EXPECT_NO_THROW(WriteBehind::finish(null, 8L << 20));
}

}  // namespace
}  // namespace tarvelo
