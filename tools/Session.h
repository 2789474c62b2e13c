#pragma once

// Pieces every subcommand of the tarveloftp program shares: sessions with
// the server and the wording of their failures, local files, and worker
// threads. A failure that ends a command throws ToolError with the one line
// to print.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <tarvelo/BasicSocket.h>
#include <tarvelo/Transport.h>
#include <tarveloftp/TarveloFTPClient.h>

#include "CommandLine.h"

namespace tarvelo::tools {

struct ToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Long enough for a server committing a large batch to a slow disk.
inline constexpr double kDefaultTimeoutSeconds = 300;

// How the connection is carried: --transport (or --tls), --ca-file,
// --insecure, --compression and --server-public-key; they must match the
// server's.
struct Connection {
  enum class Carrier { kTcp, kTls, kUdt };
  Carrier carrier = Carrier::kTcp;
  std::string ca_file;  // empty: the system's CA store
  bool insecure = false;
  SocketOptions layers;
  // A server that sends nothing for this long is given up on; 0: never.
  double timeout_seconds = kDefaultTimeoutSeconds;
};

struct Remote {
  ClientUrl url;
  std::string passphrase;
  Connection connection;
};

// A local image file or device, closed when the object dies. Every failure
// throws ToolError naming the path and the system's reason.
class LocalFile {
 public:
  // Update keeps the contents, to be read and rewritten in place.
  enum class Mode { Read, WriteNew, Update };
  LocalFile(const std::string& path, Mode mode);
  // Uses a descriptor already open, such as standard output, and leaves it
  // open; `name` stands for the path in messages.
  LocalFile(int fd, const std::string& name);
  ~LocalFile();
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  // Size of the file, or of the block device.
  long size() const;
  bool is_regular() const { return m_regular; }
  bool is_block() const { return m_block; }
  // Throws unless the file can be read at any offset, as a regular file or
  // a block device can: a pipe or a character device has no size of its
  // own, and would pass for an empty file.
  void require_offsets(const std::string& command) const;
  // Reads exactly `length` bytes (fewer only at the end of the file).
  long read_at(long offset, void* buffer, long length) const;
  // Writes all `length` bytes.
  void write_at(long offset, const void* buffer, long length) const;
  // Sets the size of a regular file (new bytes read as zeros, in a hole).
  void resize(long length) const;
  const std::string& path() const { return m_path; }
  // For the calls that steer the system's caching of the file.
  int fd() const { return m_fd; }

 private:
  std::string m_path;
  int m_fd = -1;
  bool m_owned = true;
  bool m_regular = false;
  bool m_block = false;
};

// Whether `path` is read once and in order instead of at offsets: "-"
// (standard input), a pipe such as `<(command)` gives, or a character
// device such as /dev/zero.
bool is_stream_input(const std::string& path);

// `size` bytes, not zeroed, for a large array that is filled soon after:
// backed by huge pages where the system allows, since touching each 4 KiB
// page for the first time costs more than filling it.
class LargeBuffer {
 public:
  explicit LargeBuffer(std::size_t size);
  unsigned char* data() { return m_data.get(); }
  const unsigned char* data() const { return m_data.get(); }
  std::size_t size() const { return m_size; }

 private:
  struct Free {
    void operator()(unsigned char* bytes) const { std::free(bytes); }
  };
  std::unique_ptr<unsigned char[], Free> m_data;
  std::size_t m_size;
};

// "WHAT PATH: the system's reason" from errno.
std::string system_error(const std::string& what, const std::string& path);

using Clock = std::chrono::steady_clock;
// Seconds from `start` until now, for the programs' reports.
double seconds_since(Clock::time_point start);

// Runs `work(index)` on `count` threads and rethrows the first ToolError
// (or other exception) any of them threw. `stop` is set as soon as one
// fails, so the others can end early.
void run_workers(int count, std::atomic<bool>& stop, const std::function<void(int)>& work);

// "what failed: cause", with a hint when the server hung up on a session
// that gave no passphrase (the target may need one).
std::string request_failure(const Remote& remote, const std::string& what,
                            const Transport::StatusCode& status);

// Flag word of every session the program opens.
unsigned long session_flags(const Remote& remote);

// Opens one session, or throws ToolError naming the cause.
std::unique_ptr<TarveloFTPClient> open_remote(const Remote& remote);

// Opens `count` sessions (the first one already open in `first`).
std::vector<std::unique_ptr<TarveloFTPClient>> open_sessions(
    const Remote& remote, std::unique_ptr<TarveloFTPClient> first, int count);

// Writes `n` bytes of `file` at `at` to the same offset of the remote image,
// read straight into the request; `inspect`, when given, sees them first and
// may give the write up by returning false. Throws ToolError when the file
// is shorter than it was; returns what TarveloFTPClient::write_from returns.
long write_file_range(TarveloFTPClient& client, const LocalFile& file, long at, long n,
                      const std::function<bool(char*, long)>& inspect, Transport::StatusCode* status);

// ToolError for a write of `n` bytes at `at` that failed with `status`.
ToolError write_failure(const Remote& remote, long n, long at, const Transport::StatusCode& status);

// A write outcome as reports list it: "OFFSET+LENGTH (STATUS)".
std::string describe_write_outcome(const tarvelo_write_acknowledgement_t& record);

// Collects the queued write outcomes of a session; failed ones are appended
// to `failed` as describe_write_outcome() gives them. Throws when the
// exchange fails.
void collect_acknowledgements(TarveloFTPClient& client, const Remote& remote,
                              std::vector<std::string>& failed);

}  // namespace tarvelo::tools
