#include "WriteBehind.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tarvelo::tools {

WriteBehind::WriteBehind(const LocalFile& file)
    : m_file(file), m_enabled(file.is_regular() || file.is_block()) {}

void WriteBehind::written(long offset, long length) {
  if (!m_enabled || length <= 0) return;
  if (m_unstarted.offset + m_unstarted.length != offset) {
    // A jump, to this writer's next region. What is left of the run before
    // it is shorter than a step: it stays for the kernel, or for finish(),
    // to write back with its neighbours. Starting, and later waiting for,
    // each of the many short runs of scattered writes (a merge's changed
    // blocks, a thin image's data) made them one random write at a time.
    m_unstarted = {offset, 0};
  }
  m_unstarted.length += length;
  if (m_unstarted.length >= kStartStep) {
    start(m_unstarted);
    m_unstarted = {offset + length, 0};
  }
  // Waiting only for write-back started well before, the disk has it done
  // already, or nearly, and keeps the rest queued meanwhile.
  while (m_enabled && m_started_bytes >= kWaitBehind + kDropStep) {
    for (long step = kDropStep; step > 0 && m_enabled;) {
      Range& oldest = m_started.front();
      long length_now = std::min(oldest.length, step);
      wait_and_drop({oldest.offset, length_now});
      oldest.offset += length_now;
      oldest.length -= length_now;
      m_started_bytes -= length_now;
      step -= length_now;
      if (oldest.length == 0) m_started.pop_front();
    }
  }
}

void WriteBehind::start(Range range) {
  // Only a hint: a write-back that fails is recorded against the file and
  // reported by the next wait or by finish().
  (void)sync_file_range(m_file.fd(), range.offset, range.length, SYNC_FILE_RANGE_WRITE);
  if (!m_started.empty() && m_started.back().offset + m_started.back().length == range.offset)
    m_started.back().length += range.length;
  else
    m_started.push_back(range);
  m_started_bytes += range.length;
}

void WriteBehind::wait_and_drop(Range range) {
  if (sync_file_range(m_file.fd(), range.offset, range.length,
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
    // A file system that cannot steer its write-back goes on without it.
    if (errno == EINVAL || errno == ESPIPE || errno == ENOSYS || errno == EOPNOTSUPP) {
      m_enabled = false;
      return;
    }
    // Anything else is a write-back failure somewhere in the file, and the
    // system reports each one to a single waiter: a later sync on this
    // descriptor would succeed, so this is the only chance to say it.
    throw ToolError(system_error("cannot write", m_file.path()));
  }
  (void)posix_fadvise(m_file.fd(), range.offset, range.length, POSIX_FADV_DONTNEED);
}

void WriteBehind::finish(const LocalFile& file, long length) {
  if (!file.is_regular() && !file.is_block()) return;
  // Writes back what the writers left and reports any failure their waits
  // have not; the file's size and layout reach the disk with the data.
  if (fdatasync(file.fd()) != 0) throw ToolError(system_error("cannot sync", file.path()));
  if (length > 0) (void)posix_fadvise(file.fd(), 0, length, POSIX_FADV_DONTNEED);
}

}  // namespace tarvelo::tools
