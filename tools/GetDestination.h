#pragma once

// Where get writes, chosen so that an interrupted download never destroys
// what the destination held:
//  - "-" or a pipe: standard output or the pipe, in the image's order;
//  - an existing regular file: a hidden temporary file beside it, renamed
//    over it once complete and synced (unless in place was asked for);
//  - anything else (a new file, a block device, /dev/null): the path itself.
// A temporary file is removed when the download fails, when the object dies
// without commit(), and when SIGINT, SIGTERM or SIGHUP end the program.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "Session.h"

namespace tarvelo::tools {

class GetDestination {
 public:
  // Opens the destination for `length` bytes. Called on the main thread,
  // as are commit() and the destructor.
  GetDestination(const std::string& path, long length, bool in_place);
  ~GetDestination();
  GetDestination(const GetDestination&) = delete;
  GetDestination& operator=(const GetDestination&) = delete;

  // What the bytes are written into (for a stream, standard output; write
  // it through write_in_order() only).
  const LocalFile& file() const { return *m_file; }
  bool is_stream() const { return m_stream; }

  // For a stream: waits until every byte before `position` went out, then
  // writes [position, position + length). Returns false without writing
  // once `stop` is set. Safe from several threads.
  bool write_in_order(long position, const char* data, long length, const std::atomic<bool>& stop);

  // Once every writer is done: syncs the data and, for a temporary file,
  // gives it the old file's permissions and renames it over the old file.
  void commit();

 private:
  void remove_temporary();

  std::string m_path;  // the destination (symbolic links resolved)
  std::string m_temporary;  // empty unless writing beside the destination
  std::unique_ptr<LocalFile> m_file;
  long m_length;
  unsigned m_mode = 0;  // the old file's permissions and owner, for the new one
  unsigned m_owner = 0;
  unsigned m_group = 0;
  bool m_stream = false;
  std::mutex m_mutex;
  std::condition_variable m_written;
  long m_next = 0;  // guarded by m_mutex: the stream's next position
};

}  // namespace tarvelo::tools
