#include <tarveloftp/FileSystem.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "TestSupport.h"

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

std::atomic<int> interruptions{0};
void count_interruption(int) { ++interruptions; }

TEST(FileSystemTest, FullTransfersGatherPiecesAndStopAtTheEnd) {
  // A pipe hands out what has been written so far: the read must gather the
  // pieces, keep going through a signal that interrupts it, and stop short
  // only when the writer closes.
  struct sigaction action {}, previous {};
  action.sa_handler = count_interruption;  // no SA_RESTART: the blocked read fails with EINTR
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  pthread_t reader = pthread_self();
  std::thread writer([&] {
    using namespace std::chrono_literals;
    EXPECT_EQ(write(pipe_fds[1], "abc", 3), 3);
    std::this_thread::sleep_for(50ms);
    pthread_kill(reader, SIGUSR1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(write(pipe_fds[1], "defg", 4), 4);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(write(pipe_fds[1], "hij", 3), 3);
    close(pipe_fds[1]);
  });
  char buffer[16] = {};
  bool failed = true;
  EXPECT_EQ(FileSystem::readFully(pipe_fds[0], buffer, 8, &failed), 8);
  EXPECT_FALSE(failed);
  EXPECT_EQ(std::string(buffer, 8), "abcdefgh");
  EXPECT_EQ(FileSystem::readFully(pipe_fds[0], buffer, 8, &failed), 2);  // the writer closed
  EXPECT_FALSE(failed);
  EXPECT_EQ(std::string(buffer, 2), "ij");
  writer.join();
  close(pipe_fds[0]);
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(interruptions, 1);

  // Positioned transfers leave the descriptor's position alone and stop at
  // the end of the file; a failure is told apart from that end.
  test::TempDir dir;
  int fd = open(dir.file("image").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(FileSystem::writeFullyAt(fd, "0123456789", 10, 0), 10);
  EXPECT_EQ(FileSystem::writeFully(fd, "AB", 2), 2);
  EXPECT_EQ(FileSystem::readFullyAt(fd, buffer, 16, 6, &failed), 4);
  EXPECT_FALSE(failed);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 2);
  EXPECT_EQ(FileSystem::readFully(fd, buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "234");
  EXPECT_EQ(FileSystem::readFullyAt(fd, buffer, 4, 10, &failed), 0);
  EXPECT_FALSE(failed);
  close(fd);
  errno = 0;
  EXPECT_EQ(FileSystem::readFullyAt(fd, buffer, 4, 0, &failed), -1);
  EXPECT_TRUE(failed);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(FileSystem::writeFully(fd, "x", 1, &failed), -1);
  EXPECT_TRUE(failed);
}

}  // namespace
}  // namespace tarvelo
