#include <tarveloftp/FileSystem.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>


namespace tarvelo {
namespace {

using FileSystem::File;

TEST(FileSystemTest, SeekKeepsThePositionInsideTheFile) {
  File file(100);
  EXPECT_EQ(file.seek(100, TARVELO_SEEK_SET), 100);
  errno = 0;
  EXPECT_EQ(file.seek(101, TARVELO_SEEK_SET), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(file.tell(), 100);  // a failed seek leaves the position alone
  errno = 0;
  EXPECT_EQ(file.seek(-101, TARVELO_SEEK_END), -1);
  EXPECT_EQ(errno, EOVERFLOW);
  EXPECT_EQ(file.seek(INT64_MIN, TARVELO_SEEK_END), -1);
  EXPECT_EQ(errno, EOVERFLOW);
  EXPECT_EQ(file.seek(-100, TARVELO_SEEK_END), 0);
  EXPECT_EQ(file.seek(40, TARVELO_SEEK_CUR), 40);
  EXPECT_EQ(file.seek(-41, TARVELO_SEEK_CUR), -1);
  EXPECT_EQ(file.seek(INT64_MAX, TARVELO_SEEK_CUR), -1);
  EXPECT_EQ(file.seek(-40, TARVELO_SEEK_CUR), 0);
  EXPECT_EQ(file.seek(0, static_cast<tarvelo_seek_dir_t>(3)), -1);
}

TEST(FileSystemTest, IoClampsAtTheEnd) {
  File file(100);
  ASSERT_EQ(file.seek(90, TARVELO_SEEK_SET), 90);
  EXPECT_EQ(file.io(50), 10);
  EXPECT_EQ(file.io(5), 5);
  EXPECT_EQ(file.tell(), 90);
  errno = 0;
  EXPECT_EQ(file.io(-1), -1);
  EXPECT_EQ(errno, EOVERFLOW);
  ASSERT_EQ(file.seek(100, TARVELO_SEEK_SET), 100);
  EXPECT_EQ(file.io(1), 0);
  EXPECT_EQ(File().io(10), 0);
}

// (Sizes of image files: every handshake reports one.)
TEST(FileSystemTest, SizeOfABlockDevice) {
  // /dev/loop devices or a disk, whichever this machine lets us read.
  for (const char* device : {"/dev/vda", "/dev/sda", "/dev/nvme0n1", "/dev/loop0"}) {
    std::ifstream probe(device);
    if (!probe.is_open()) continue;
    std::ifstream sysfs(std::string("/sys/class/block/") + (device + 5) + "/size");
    unsigned long sectors = 0;
    if (!(sysfs >> sectors) || sectors == 0) continue;
    EXPECT_EQ(File::size(device), sectors * 512) << device;
    return;
  }
  GTEST_SKIP() << "no readable block device";
}

}  // namespace
}  // namespace tarvelo
