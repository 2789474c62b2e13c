#include <tarveloftp/SimpleCachedReader.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <tarveloftp/Logger.h>

namespace tarvelo {

namespace {

// One write counter per open file (device and inode), shared by every reader
// of it: two connections on one image each keep a window over its hash file,
// and neither may serve the other's overwritten bytes from memory.
std::shared_ptr<std::atomic<uint64_t>> write_counter(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::make_shared<std::atomic<uint64_t>>(0);
  static std::mutex mutex;
  static auto* counters = new std::map<std::pair<dev_t, ino_t>, std::weak_ptr<std::atomic<uint64_t>>>();
  std::lock_guard lock(mutex);
  std::erase_if(*counters, [](const auto& entry) { return entry.second.expired(); });
  std::weak_ptr<std::atomic<uint64_t>>& slot = (*counters)[{status.st_dev, status.st_ino}];
  std::shared_ptr<std::atomic<uint64_t>> counter = slot.lock();
  if (!counter) {
    counter = std::make_shared<std::atomic<uint64_t>>(0);
    slot = counter;
  }
  return counter;
}

}  // namespace

SimpleCachedReader::SimpleCachedReader(unsigned long capacity) : m_capacity(capacity) {}

SimpleCachedReader::~SimpleCachedReader() {
  if (is_valid_fd(m_fd) && ::close(m_fd) != 0)
    TLOG(ERROR) << "close failed in simple cached reader destructor";
  m_fd = -1;
}

SimpleCachedReader::SimpleCachedReader(SimpleCachedReader&& other) noexcept
    : m_position(other.m_position),
      m_fd(std::exchange(other.m_fd, -1)),
      m_window(std::move(other.m_window)),
      m_window_start(other.m_window_start),
      m_window_end(other.m_window_end),
      m_capacity(other.m_capacity),
      m_on_write(std::move(other.m_on_write)),
      m_on_read(std::move(other.m_on_read)),
      m_file_name(std::move(other.m_file_name)),
      m_file_writes(std::move(other.m_file_writes)),
      m_writes_seen(other.m_writes_seen) {
  other.m_window_start = other.m_window_end = 0;
}

SimpleCachedReader& SimpleCachedReader::operator=(SimpleCachedReader&& other) noexcept {
  if (this == &other) return *this;
  closeDescriptor();
  m_position = other.m_position;
  m_fd = std::exchange(other.m_fd, -1);
  m_window = std::move(other.m_window);
  m_window_start = std::exchange(other.m_window_start, 0);
  m_window_end = std::exchange(other.m_window_end, 0);
  m_capacity = other.m_capacity;
  m_on_write = std::move(other.m_on_write);
  m_on_read = std::move(other.m_on_read);
  m_file_name = std::move(other.m_file_name);
  m_file_writes = std::move(other.m_file_writes);
  m_writes_seen = other.m_writes_seen;
  return *this;
}

void SimpleCachedReader::closeDescriptor() {
  if (is_valid_fd(m_fd) && ::close(m_fd) != 0)
    TLOG(ERROR) << "close failed in simple cached reader destructor";
  m_fd = -1;
}

int SimpleCachedReader::open(const std::string& path, int flags) {
  m_fd = ::open(path.c_str(), flags);
  if (m_fd < 0) return m_fd;
  m_position = seek_int(m_fd, 0, SEEK_CUR);
  if (m_position < 0) return -1;
  m_window = std::make_unique<char[]>(m_capacity);
  m_file_name = path;
  m_file_writes = write_counter(m_fd);
  m_writes_seen = m_file_writes->load();
  return m_fd;
}

void SimpleCachedReader::catchUpWithOtherWriters() {
  if (!m_file_writes) return;
  uint64_t writes = m_file_writes->load();
  if (writes == m_writes_seen) return;
  m_window_start = m_window_end = 0;
  m_writes_seen = writes;
}

// Counts a write of ours; one of another reader's since we last looked
// leaves the window unknown.
void SimpleCachedReader::countWrite() {
  if (!m_file_writes) return;
  uint64_t before = m_file_writes->fetch_add(1);
  if (before != m_writes_seen) m_window_start = m_window_end = 0;
  m_writes_seen = before + 1;
}

// Refills use pread and writes pwrite at the reader's own position, so the
// window always mirrors the file bytes at the offsets it claims, whatever
// order reads, writes and seeks come in.
long SimpleCachedReader::read(void* buffer, long length) {
  if (length <= 0) return -1;
  catchUpWithOtherWriters();
  char* out = static_cast<char*>(buffer);
  int64_t remaining = length;
  int64_t copied = 0;
  while (true) {
    if (m_window_start <= m_position && m_position < m_window_end) {
      int64_t count = std::min(m_window_end - m_position, remaining);
      std::memcpy(out, m_window.get() + (m_position - m_window_start), static_cast<size_t>(count));
      m_position += count;
      out += count;
      copied += count;
      remaining -= count;
    }
    if (remaining == 0 || m_window == nullptr || m_position < 0) break;
    ssize_t got = ::pread(m_fd, m_window.get(), m_capacity, m_position);
    if (got <= 0) break;
    if (m_on_read) m_on_read(static_cast<unsigned long>(got));
    m_window_start = m_position;
    m_window_end = m_position + got;
  }
  return copied > 0 ? copied : -1;
}

int SimpleCachedReader::write(const void* buffer, unsigned long length) {
  if (m_position < 0) {
    errno = EINVAL;
    return -1;
  }
  ssize_t written = ::pwrite(m_fd, buffer, length, m_position);
  if (written <= 0) return static_cast<int>(written);
  if (m_on_write) m_on_write(static_cast<unsigned long>(written));
  int64_t from = std::max(m_position, m_window_start);
  int64_t to = std::min(m_position + written, m_window_end);
  if (from < to)
    std::memcpy(m_window.get() + (from - m_window_start),
                static_cast<const char*>(buffer) + (from - m_position), static_cast<size_t>(to - from));
  countWrite();
  m_position += written;
  return static_cast<int>(written);
}

// Reads and writes are positioned, so the descriptor's own offset is never
// used and moving it would only cost a system call per request.
long SimpleCachedReader::seek(long offset, int whence) {
  int64_t target = 0;
  if (whence == SEEK_SET) {
    target = offset;
  } else if (whence == SEEK_CUR) {
    if (__builtin_add_overflow(m_position, static_cast<int64_t>(offset), &target)) {
      errno = EOVERFLOW;
      return -1;
    }
  } else {
    throw std::runtime_error("seek received an unsupported whence: " + std::to_string(whence));
  }
  m_position = target;  // a negative one makes the next read or write fail
  if (m_fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (target < 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<long>(m_position);
}

void SimpleCachedReader::truncate(unsigned long length) {
  int fd = ::open(m_file_name.c_str(), O_WRONLY | O_CREAT, 0600);
  if (fd < 0)
    throw std::runtime_error("creat(\"" + m_file_name + "\") failed: " + std::to_string(errno));
  int result = ::ftruncate(fd, static_cast<off_t>(length));
  int error = errno;
  ::close(fd);
  if (result != 0)
    throw std::runtime_error("ftruncate(\"" + m_file_name + "\") failed: " + std::to_string(error));
  countWrite();
  // Bytes past the new end are gone from the file; forget them here too.
  if (m_window_end > static_cast<int64_t>(length))
    m_window_start = m_window_end = 0;
}

int SimpleCachedReader::fsync() const { return ::fsync(m_fd); }

int SimpleCachedReader::sync_file_range(long offset, long count) {
  unsigned int flags =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  return ::sync_file_range(m_fd, offset, count, flags) == 0 ? 0 : -1;
}

void SimpleCachedReader::setOnWriteCallback(std::function<void(unsigned long)> callback) {
  m_on_write = std::move(callback);
}

void SimpleCachedReader::setOnReadCallback(std::function<void(unsigned long)> callback) {
  m_on_read = std::move(callback);
}

long SimpleCachedReader::seek_int(int fd, long offset, int whence) { return ::lseek64(fd, offset, whence); }

bool SimpleCachedReader::is_valid_fd(int fd) { return fd >= 0; }

}  // namespace tarvelo
