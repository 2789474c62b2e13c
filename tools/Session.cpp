#include "Session.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include <tarvelo/BasicSocket.h>
#include <tarvelo/TLSTransport.h>
#include <tarvelo/UDTTransport.h>
#include <tarveloftp/FileSystem.h>

namespace tarvelo::tools {

LargeBuffer::LargeBuffer(std::size_t size) : m_size(size) {
  constexpr std::size_t kHugePage = 2 << 20;
  std::size_t rounded = std::max<std::size_t>(kHugePage, (size + kHugePage - 1) / kHugePage * kHugePage);
  void* bytes = std::aligned_alloc(kHugePage, rounded);
  if (bytes == nullptr) throw std::bad_alloc();
  (void)madvise(bytes, rounded, MADV_HUGEPAGE);  // a hint; without it, plain pages
  m_data.reset(static_cast<unsigned char*>(bytes));
}

std::string system_error(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

namespace {

std::string target_name(const Remote& remote) {
  return "target \"" + remote.url.target + "\" LUN " + std::to_string(remote.url.lun);
}

std::string describe_open_failure(const Remote& remote, const TarveloFTPClient& client,
                                  const Transport::StatusCode& status) {
  std::string where = remote.url.host + ":" + std::to_string(remote.url.port);
  if (status.code == TarveloFTPClient::kRefused && status.text == "Couldn't open remote target") {
    if (client.handshake_status() == STATUS_EEXIST) return "no such target or LUN on " + where + ": " + target_name(remote);
    if (client.handshake_status() == STATUS_EACCES)
      return "the server at " + where + " cannot open the image of " + target_name(remote);
    return "the server at " + where + " refused " + target_name(remote) + " (" +
           Protocol::to_string(client.handshake_status()) + ")";
  }
  if (status.code == TarveloFTPClient::kRefused && status.text == "Couldn't authenticate remote target")
    return "wrong passphrase for " + target_name(remote);
  if (status.code == Transport::kError && status.text.rfind("Could not connect", 0) == 0) {
    // The cause is everything after the address: TLS and the message layers
    // explain themselves in several parts.
    std::string prefix = "Could not connect to " + where + ": ";
    std::size_t colon = status.text.rfind(": ");
    std::string cause = status.text.rfind(prefix, 0) == 0 ? status.text.substr(prefix.size())
                        : colon == std::string::npos   ? status.text
                                                       : status.text.substr(colon + 2);
    return "cannot connect to " + where + ": " + cause;
  }
  if (client.handshake_status() == STATUS_SUCCESS && !remote.passphrase.empty() &&
      status.code == Transport::kClosed)
    return "the server closed the connection when given a passphrase; " + target_name(remote) +
           " may not take one";
  return "cannot open " + target_name(remote) + " on " + where + ": " + status.text;
}

}  // namespace

LocalFile::LocalFile(const std::string& path, Mode mode) : m_path(path) {
  int flags = mode == Mode::Read ? O_RDONLY : mode == Mode::Update ? (O_RDWR | O_CREAT) : (O_WRONLY | O_CREAT);
  m_fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (m_fd < 0) throw ToolError(system_error("cannot open", path));
  struct stat info {};
  if (fstat(m_fd, &info) != 0) throw ToolError(system_error("cannot stat", path));
  m_regular = S_ISREG(info.st_mode);
  m_block = S_ISBLK(info.st_mode);
  // A new download starts from an empty file, so that skipped zero blocks
  // read back as zeros; devices keep their size.
  if (mode == Mode::WriteNew && m_regular && ftruncate(m_fd, 0) != 0)
    throw ToolError(system_error("cannot truncate", path));
}

LocalFile::LocalFile(int fd, const std::string& name) : m_path(name), m_fd(fd), m_owned(false) {
  struct stat info {};
  if (fstat(m_fd, &info) != 0) throw ToolError(system_error("cannot stat", name));
  m_regular = S_ISREG(info.st_mode);
  m_block = S_ISBLK(info.st_mode);
}

LocalFile::~LocalFile() {
  if (m_fd >= 0 && m_owned) ::close(m_fd);
}

long LocalFile::size() const {
  struct stat info {};
  if (fstat(m_fd, &info) != 0) throw ToolError(system_error("cannot stat", m_path));
  if (S_ISBLK(info.st_mode)) {
    uint64_t bytes = 0;
    if (ioctl(m_fd, BLKGETSIZE64, &bytes) != 0) throw ToolError(system_error("cannot size", m_path));
    return static_cast<long>(bytes);
  }
  return static_cast<long>(info.st_size);
}

void LocalFile::require_offsets(const std::string& command) const {
  if (!m_regular && !m_block)
    throw ToolError(command + " needs a regular file or a block device, which " + m_path + " is not");
}

bool is_stream_input(const std::string& path) {
  if (path == "-") return true;
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 &&
         (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) || S_ISSOCK(info.st_mode));
}

long LocalFile::read_at(long offset, void* buffer, long length) const {
  bool failed = false;
  long done = FileSystem::readFullyAt(m_fd, static_cast<char*>(buffer), length, offset, &failed);
  if (failed) throw ToolError(system_error("cannot read", m_path));
  return done;
}

void LocalFile::write_at(long offset, const void* buffer, long length) const {
  if (FileSystem::writeFullyAt(m_fd, static_cast<const char*>(buffer), length, offset) != length)
    throw ToolError(system_error("cannot write", m_path));
}

void LocalFile::resize(long length) const {
  if (m_regular && ftruncate(m_fd, length) != 0) throw ToolError(system_error("cannot resize", m_path));
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void run_workers(int count, std::atomic<bool>& stop, const std::function<void(int)>& work) {
  std::mutex mutex;
  std::exception_ptr first;
  auto guarded = [&](int index) {
    try {
      work(index);
    } catch (...) {
      std::lock_guard lock(mutex);
      if (!first) first = std::current_exception();
      stop = true;
    }
  };
  std::vector<std::thread> threads;
  for (int i = 1; i < count; ++i) threads.emplace_back(guarded, i);
  guarded(0);
  for (auto& thread : threads) thread.join();
  if (first) std::rethrow_exception(first);
}

long write_file_range(TarveloFTPClient& client, const LocalFile& file, long at, long n,
                      const std::function<bool(char*, long)>& inspect, Transport::StatusCode* status) {
  client.seek(at, TARVELO_SEEK_SET);
  return client.write_from(
      n,
      [&](char* buffer, long count) {
        if (file.read_at(at, buffer, count) != count)
          throw ToolError("cannot read " + file.path() + " at offset " + std::to_string(at) +
                          ": the file changed size");
        return !inspect || inspect(buffer, count);
      },
      status);
}

ToolError write_failure(const Remote& remote, long n, long at, const Transport::StatusCode& status) {
  return ToolError(request_failure(remote, "write of " + std::to_string(n) + " bytes at offset " +
                                               std::to_string(at) + " failed",
                                   status));
}

std::string request_failure(const Remote& remote, const std::string& what,
                            const Transport::StatusCode& status) {
  std::string text = what + ": " + (status.text.empty() ? "code " + std::to_string(status.code) : status.text);
  // A target that wants a passphrase ends a session without one at its
  // first request, with an empty reply or none; a reply with a status
  // (STATUS_EIO from an image that shrank, say) is the server answering.
  if (remote.passphrase.empty() &&
      (status.code == Transport::kClosed || status.code == TarveloFTPClient::kNoResponse) &&
      status.text.find("STATUS_") == std::string::npos)
    text += " (the server ended the session; " + target_name(remote) +
            " may need a passphrase: use --passphrase-file or TARVELOFTP_PASSPHRASE)";
  return text;
}

unsigned long session_flags(const Remote& remote) {
  unsigned long flags = CLIENT_WRITE_ACKNOWLEDGEMENT | CLIENT_HANDSHAKE_SESSION_ID;
  if (!remote.passphrase.empty()) flags |= CLIENT_PASSPHRASE;
  return flags;
}

std::unique_ptr<SocketImpl> make_socket(const Connection& connection) {
  std::unique_ptr<BasicSocket> socket;
  if (connection.carrier == Connection::Carrier::kTcp) {
    socket = std::make_unique<BasicSocket>(std::make_unique<TCPTransport>(), connection.layers);
  } else if (connection.carrier == Connection::Carrier::kUdt) {
    socket = std::make_unique<BasicSocket>(std::make_unique<UDTTransport>(), connection.layers);
  } else {
    auto transport = std::make_unique<TLSTransport>(TLSOptions{"", "", connection.ca_file, !connection.insecure});
    if (!transport->status().ok()) throw ToolError(transport->status().text);
    socket = std::make_unique<BasicSocket>(std::move(transport), connection.layers);
  }
  socket->set_receive_timeout(
      std::chrono::milliseconds(static_cast<int64_t>(connection.timeout_seconds * 1000)));
  return socket;
}

std::unique_ptr<TarveloFTPClient> open_remote(const Remote& remote) {
  auto client = std::make_unique<TarveloFTPClient>(
      make_socket(remote.connection), remote.url.host,
      remote.url.port, remote.url.target, remote.url.lun, session_flags(remote), remote.passphrase, 0);
  Transport::StatusCode status = client->open();
  if (status.code < 0) throw ToolError(describe_open_failure(remote, *client, status));
  return client;
}

std::vector<std::unique_ptr<TarveloFTPClient>> open_sessions(
    const Remote& remote, std::unique_ptr<TarveloFTPClient> first, int count) {
  std::vector<std::unique_ptr<TarveloFTPClient>> clients;
  clients.push_back(std::move(first));
  for (int i = 1; i < count; ++i) clients.push_back(open_remote(remote));
  return clients;
}

std::string describe_write_outcome(const tarvelo_write_acknowledgement_t& record) {
  return std::to_string(record.offset) + "+" + std::to_string(record.length) + " (" +
         Protocol::to_string(record.status) + ")";
}

void collect_acknowledgements(TarveloFTPClient& client, const Remote& remote,
                              std::vector<std::string>& failed) {
  bool has_failures = false;
  Transport::StatusCode status;
  auto records = client.write_acknowledgement(has_failures, &status);
  if (status.code < 0) throw ToolError(request_failure(remote, "collecting write acknowledgements failed", status));
  for (const auto& record : records)
    if (record.status != STATUS_SUCCESS) failed.push_back(describe_write_outcome(record));
}

}  // namespace tarvelo::tools
