#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <tarveloftp/Export.h>

namespace tarvelo {

// A positioned handle over one descriptor with a single read window: reads
// inside the window are served from memory, a read outside it refills the
// window with one large read. Writes go straight to the file (no write-back)
// and are mirrored into the window. Readers of the same file in one process
// see each other's writes: a window filled before another reader wrote to
// the file is refilled. The callbacks see the byte count of every read and
// write system call. Used by one owner on one thread; no locking.
class TARVELOFTP_EXPORT SimpleCachedReader {
 public:
  explicit SimpleCachedReader(unsigned long capacity);
  ~SimpleCachedReader();

  SimpleCachedReader(SimpleCachedReader&& other) noexcept;
  SimpleCachedReader& operator=(SimpleCachedReader&& other) noexcept;
  SimpleCachedReader(const SimpleCachedReader&) = delete;
  SimpleCachedReader& operator=(const SimpleCachedReader&) = delete;

  // The descriptor, or the negative result of open(2). Meant for a fresh
  // reader; the position starts at the descriptor's offset.
  int open(const std::string& path, int flags);
  // Bytes copied, or -1 when nothing could be copied (end of file, failure,
  // length not positive). A partial count hides the cause.
  long read(void* buffer, long length);
  // Writes at the reader's position with one system call; its result.
  int write(const void* buffer, unsigned long length);
  // whence 0 (set) or 1 (current); anything else throws std::runtime_error.
  // Returns the new position as lseek64 would, or -1 with errno (EINVAL for
  // a negative position, EBADF when not open).
  long seek(long offset, int whence);
  // Sets the file's length through a second descriptor (recreating the file
  // if it vanished); throws std::runtime_error on failure.
  void truncate(unsigned long length);
  int fsync() const;
  // Writes out and waits for the range; 0 or -1.
  int sync_file_range(long offset, long count);

  void setOnWriteCallback(std::function<void(unsigned long)> callback);
  void setOnReadCallback(std::function<void(unsigned long)> callback);

  static long seek_int(int fd, long offset, int whence);
  static bool is_valid_fd(int fd);

 private:
  void closeDescriptor();
  // Forgets the window if another reader wrote to the file since we last looked.
  void catchUpWithOtherWriters();
  void countWrite();

  int64_t m_position = 0;
  int m_fd = -1;
  std::unique_ptr<char[]> m_window;
  // The window holds the file bytes [m_window_start, m_window_end).
  int64_t m_window_start = 0;
  int64_t m_window_end = 0;
  uint64_t m_capacity = 0;
  std::function<void(unsigned long)> m_on_write;
  std::function<void(unsigned long)> m_on_read;
  std::string m_file_name;
  // Writes to the file through any reader in this process, and how many of
  // them the window has seen.
  std::shared_ptr<std::atomic<uint64_t>> m_file_writes;
  uint64_t m_writes_seen = 0;
};

}  // namespace tarvelo
