#pragma once

// Keeps a large download from piling up dirty pages. Left alone, the kernel
// lets written data sit in the page cache until a share of memory is dirty
// and then throttles the writer hard; here write-back of each piece starts
// as soon as it is written, and what has reached the disk is dropped from
// the cache, so the writer runs at the disk's pace from the start.

#include <deque>

#include "Session.h"

namespace tarvelo::tools {

// One object per writing thread: it holds that writer's bookkeeping only,
// and the calls it makes on the shared descriptor are safe from several
// threads at once. Only regular files and block devices are steered (a
// device's cache fills up the same way, and nobody asked us to keep our own
// writes cached); for anything else, /dev/null or a pipe, every call does
// nothing.
class WriteBehind {
 public:
  // Write-back starts for every this many bytes written in a row.
  static constexpr long kStartStep = 256L << 10;
  // Finished write-back is waited for and dropped in steps of kDropStep,
  // once more than kWaitBehind of it has been started and not waited for:
  // far enough behind the newest that the disk is done with it, or nearly
  // (1 MiB behind, a download waited for the disk at every step and ran
  // 15 % slower), and far below the point where the kernel throttles writers.
  static constexpr long kDropStep = 1L << 20;
  static constexpr long kWaitBehind = 16L << 20;

  explicit WriteBehind(const LocalFile& file);
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  // [offset, offset + length) of the file now holds its final bytes (holes
  // left for zeros included). Throws ToolError when waiting for earlier
  // write-back reveals that written data did not reach the disk.
  void written(long offset, long length);

  // Once every writer is done: waits until the file's data are on disk,
  // drops its first `length` bytes (none for 0) from the cache, and throws
  // ToolError when the system reports a failure.
  static void finish(const LocalFile& file, long length);

 private:
  struct Range {
    long offset;
    long length;
  };
  void start(Range range);
  void wait_and_drop(Range range);

  const LocalFile& m_file;
  bool m_enabled;
  Range m_unstarted{0, 0};      // written, write-back not started yet
  std::deque<Range> m_started;  // write-back started, oldest first
  long m_started_bytes = 0;
};

}  // namespace tarvelo::tools
