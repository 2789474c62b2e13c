#include "GetDestination.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include <tarveloftp/FileSystem.h>

#include "WriteBehind.h"

namespace tarvelo::tools {

namespace {

// The temporary file a signal must remove. One download runs at a time, so
// one slot is enough; the handler reads it, so it is plain bytes.
char g_temporary[PATH_MAX];
std::atomic<bool> g_armed{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in a signal handler");
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[std::size(kCleanupSignals)];

extern "C" void remove_temporary_and_end(int number) {
  if (g_armed.load()) (void)::unlink(g_temporary);
  // SA_RESETHAND put the default action back: raised again, the signal ends
  // the program as it would have without us.
  (void)::raise(number);
}

// Called with the cleanup signals blocked, so none finds a half-set slot.
void arm(const std::string& temporary) {
  std::memcpy(g_temporary, temporary.c_str(), temporary.size() + 1);
  g_armed = true;
  struct sigaction action {};
  action.sa_handler = remove_temporary_and_end;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
    (void)sigaction(kCleanupSignals[i], nullptr, &g_previous[i]);
    // A signal the caller ignores (nohup) stays ignored.
    if (g_previous[i].sa_handler != SIG_IGN) (void)sigaction(kCleanupSignals[i], &action, nullptr);
  }
}

void disarm() {
  for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i)
    (void)sigaction(kCleanupSignals[i], &g_previous[i], nullptr);
  g_armed = false;
}

// Blocks the cleanup signals for its lifetime on the calling thread.
class BlockedSignals {
 public:
  BlockedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int number : kCleanupSignals) sigaddset(&set, number);
    pthread_sigmask(SIG_BLOCK, &set, &m_saved);
  }
  ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &m_saved, nullptr); }

 private:
  sigset_t m_saved;
};

}  // namespace

GetDestination::GetDestination(const std::string& path, long length, bool in_place)
    : m_path(path), m_length(length) {
  if (path == "-") {
    m_stream = true;
    m_file = std::make_unique<LocalFile>(STDOUT_FILENO, "standard output");
    return;
  }
  struct stat info {};
  const bool exists = ::stat(path.c_str(), &info) == 0;
  // A pipe (`>(command)`) cannot be written at offsets.
  if (exists && S_ISFIFO(info.st_mode)) {
    m_stream = true;
    m_file = std::make_unique<LocalFile>(path, LocalFile::Mode::WriteNew);
    return;
  }
  if (in_place || !exists || !S_ISREG(info.st_mode)) {
    m_file = std::make_unique<LocalFile>(path, LocalFile::Mode::WriteNew);
    m_file->resize(length);
    return;
  }
  // Renaming over a symbolic link would replace the link, not the file.
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) throw ToolError(system_error("cannot resolve", path));
  m_path = resolved;
  // Renaming would replace a file we may not write; refuse as opening would.
  if (::access(m_path.c_str(), W_OK) != 0) throw ToolError(system_error("cannot open", path));
  m_mode = info.st_mode & 07777;
  m_owner = info.st_uid;
  m_group = info.st_gid;
  // Beside the file, so that the rename stays on one file system.
  std::size_t slash = m_path.rfind('/');
  std::string pattern = m_path.substr(0, slash + 1) + "." + m_path.substr(slash + 1) + ".XXXXXX";
  if (pattern.size() >= PATH_MAX) throw ToolError("the path " + path + " is too long");
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  {
    BlockedSignals blocked;
    int fd = ::mkstemp(name.data());
    if (fd < 0)
      throw ToolError(system_error("cannot create a temporary file beside", path) +
                      " (--in-place writes into the file itself)");
    ::close(fd);
    m_temporary = name.data();
    arm(m_temporary);
  }
  try {
    m_file = std::make_unique<LocalFile>(m_temporary, LocalFile::Mode::WriteNew);
    m_file->resize(length);
  } catch (...) {
    remove_temporary();
    throw;
  }
}

GetDestination::~GetDestination() {
  if (!m_temporary.empty()) remove_temporary();
}

void GetDestination::remove_temporary() {
  m_file.reset();
  (void)::unlink(m_temporary.c_str());
  disarm();
  m_temporary.clear();
}

bool GetDestination::write_in_order(long position, const char* data, long length,
                                    const std::atomic<bool>& stop) {
  {
    std::unique_lock lock(m_mutex);
    // Polls `stop` too: a worker that fails does not wake the others.
    while (m_next != position) {
      if (stop) return false;
      m_written.wait_for(lock, std::chrono::milliseconds(100));
    }
  }
  // Only the holder of the next position gets here, so no lock is needed.
  if (FileSystem::writeFully(m_file->fd(), data, length) != length)
    throw ToolError(system_error("cannot write", m_file->path()));
  {
    std::lock_guard lock(m_mutex);
    m_next += length;
  }
  m_written.notify_all();
  return true;
}

void GetDestination::commit() {
  WriteBehind::finish(*m_file, m_length);
  if (m_temporary.empty()) return;
  // Only root may give a file away; anyone may keep its own group.
  (void)::fchown(m_file->fd(), m_owner, m_group);
  if (::fchmod(m_file->fd(), m_mode) != 0) throw ToolError(system_error("cannot set the mode of", m_temporary));
  // Readers see the old file or the whole new one, never a mixture.
  if (::rename(m_temporary.c_str(), m_path.c_str()) != 0)
    throw ToolError(system_error("cannot rename " + m_temporary + " to", m_path));
  disarm();
  m_temporary.clear();
  // The new name lasts through a crash only once the directory is synced.
  std::string directory = m_path.substr(0, m_path.rfind('/') + 1);
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    std::string failure = system_error("cannot sync the directory", directory);
    if (fd >= 0) ::close(fd);
    throw ToolError(failure);
  }
  ::close(fd);
}

}  // namespace tarvelo::tools
