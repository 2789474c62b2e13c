#include <tarveloftp/FileSystem.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>

namespace tarvelo {
namespace FileSystem {

long File::tell() const { return m_position; }

long File::length() const { return m_length; }

long File::seek(long offset, tarvelo_seek_dir_t whence) {
  int64_t target = 0;
  switch (whence) {
    case TARVELO_SEEK_SET:
      target = offset;
      break;
    case TARVELO_SEEK_CUR:
      if (__builtin_add_overflow(m_position, static_cast<int64_t>(offset), &target)) {
        errno = EINVAL;
        return -1;
      }
      break;
    case TARVELO_SEEK_END:
      if (offset > 0) {
        errno = EINVAL;
        return -1;
      }
      // -offset would overflow for the smallest value; it is before the start anyway.
      if (offset == INT64_MIN || -offset > m_length) {
        errno = EOVERFLOW;
        return -1;
      }
      target = m_length + offset;
      break;
    default:
      errno = EINVAL;
      return -1;
  }
  if (target < 0 || target > m_length) {
    errno = EINVAL;
    return -1;
  }
  m_position = target;
  return m_position;
}

long File::io(long count) {
  if (static_cast<uint64_t>(count) > static_cast<uint64_t>(INT64_MAX - m_position)) {
    errno = EOVERFLOW;
    return -1;
  }
  if (m_position >= m_length) return 0;
  if (m_position + count > m_length) return m_length - m_position;
  return count;
}

unsigned long File::size(std::string path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return 0;
  if (status.st_size != 0) return static_cast<unsigned long>(status.st_size);
  // Block devices report 0 here; the kernel knows their real size.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  uint64_t bytes = 0;
  int result = ioctl(fd, BLKGETSIZE64, &bytes);
  close(fd);
  return result == 0 ? bytes : 0;
}

bool File::exists(std::string path) {
  std::ifstream stream(path);
  return stream.is_open();
}

std::string File::temp_dir() { return "/tmp/"; }

namespace {

// The one loop behind every full transfer; `step` moves bytes at `done`
// and returns what the system call returned.
template <typename Step>
long transfer_fully(long length, bool* failed, Step step) {
  if (failed) *failed = false;
  long done = 0;
  while (done < length) {
    ssize_t moved = step(done);
    if (moved < 0) {
      if (errno == EINTR) continue;
      if (failed) *failed = true;
      return done > 0 ? done : -1;
    }
    if (moved == 0) break;
    done += moved;
  }
  return done;
}

std::size_t remaining(long length, long done) { return static_cast<std::size_t>(length - done); }

}  // namespace

long readFully(int fd, char* buffer, long length, bool* failed) {
  return transfer_fully(length, failed,
                        [&](long done) { return ::read(fd, buffer + done, remaining(length, done)); });
}

long writeFully(int fd, const char* buffer, long length, bool* failed) {
  return transfer_fully(length, failed,
                        [&](long done) { return ::write(fd, buffer + done, remaining(length, done)); });
}

long readFullyAt(int fd, char* buffer, long length, long offset, bool* failed) {
  return transfer_fully(length, failed, [&](long done) {
    return ::pread(fd, buffer + done, remaining(length, done), static_cast<off_t>(offset + done));
  });
}

long writeFullyAt(int fd, const char* buffer, long length, long offset, bool* failed) {
  return transfer_fully(length, failed, [&](long done) {
    return ::pwrite(fd, buffer + done, remaining(length, done), static_cast<off_t>(offset + done));
  });
}

}  // namespace FileSystem

unsigned long roundDownToNearestBlock(unsigned long value, unsigned long block) {
  return value / block * block;
}

unsigned long roundUpToNearestBlock(unsigned long value, unsigned long block) {
  return (value + block - 1) / block * block;
}

}  // namespace tarvelo
