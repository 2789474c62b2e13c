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

}  // namespace FileSystem

unsigned long roundDownToNearestBlock(unsigned long value, unsigned long block) {
  return value / block * block;
}

unsigned long roundUpToNearestBlock(unsigned long value, unsigned long block) {
  return (value + block - 1) / block * block;
}

}  // namespace tarvelo
