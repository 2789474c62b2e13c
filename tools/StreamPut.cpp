#include "StreamPut.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>

#include <tarveloftp/FileSystem.h>

#include "Progress.h"
#include "RateLimit.h"
#include "Report.h"
#include "Sparse.h"

namespace tarvelo::tools {

namespace {

// The input, handed out a chunk at a time to whichever session asks.
class InputChunks {
 public:
  InputChunks(const LocalFile& input, long image, std::optional<long> size)
      : m_input(input), m_limit(size.value_or(image)), m_exact(size.has_value()) {}

  // Reads the next chunk of up to `capacity` bytes into `buffer`; its
  // offset goes to `position`. Returns 0 at the end of the input.
  long next(char* buffer, long capacity, long& position) {
    std::lock_guard lock(m_mutex);
    long wanted = std::min(capacity, m_limit - m_read);
    bool failed = false;
    long got = wanted > 0 ? FileSystem::readFully(m_input.fd(), buffer, wanted, &failed) : 0;
    if (failed) throw ToolError(system_error("cannot read", m_input.path()));
    position = m_read;
    m_read += got;
    if (got < wanted && m_exact)
      throw ToolError(m_input.path() + " ended after " + std::to_string(m_read) + " bytes, short of --size " +
                      std::to_string(m_limit));
    if (wanted == 0 && !m_exact) {
      // At the image's end: one more byte of input means it does not fit.
      char extra;
      if (FileSystem::readFully(m_input.fd(), &extra, 1, &failed) == 1)
        throw ToolError(m_input.path() + " is longer than the remote image (" + std::to_string(m_limit) +
                        " bytes); nothing past its end was written");
    }
    return got;
  }

  long read() {
    std::lock_guard lock(m_mutex);
    return m_read;
  }

 private:
  const LocalFile& m_input;
  const long m_limit;
  const bool m_exact;  // --size given: exactly that much
  std::mutex m_mutex;
  long m_read = 0;  // guarded by m_mutex
};

}  // namespace

int run_put_stream(const Remote& remote, const std::string& path, std::optional<long> size,
                   const TransferOptions& options) {
  if (options.chunk_size <= 0 || options.chunk_size > TarveloFTPClient::kMaxRequestLength)
    throw ToolError("chunk size must be between 1 and " + std::to_string(TarveloFTPClient::kMaxRequestLength) +
                    " bytes");
  auto first = open_remote(remote);
  long image = first->size();
  if (size && *size > image)
    throw ToolError("--size " + std::to_string(*size) + " is larger than the remote image (" +
                    std::to_string(image) + " bytes)");
  std::unique_ptr<LocalFile> file = path == "-" ? std::make_unique<LocalFile>(STDIN_FILENO, "standard input")
                                                : std::make_unique<LocalFile>(path, LocalFile::Mode::Read);
  InputChunks input(*file, image, size);
  long total = size.value_or(image);
  long chunks = (total + options.chunk_size - 1) / options.chunk_size;
  int connections = static_cast<int>(std::clamp<long>(options.connections, 1, std::max(1L, chunks)));
  auto clients = open_sessions(remote, std::move(first), connections);
  RateLimit limit(options.bandwidth_limit);
  Progress progress(options.progress);
  // The length of the input is not known in advance; the image bounds it.
  progress.start("put", total);
  std::atomic<bool> stop{false};
  std::mutex failed_mutex;
  std::vector<std::string> failed;
  std::atomic<long> sent{0};
  std::atomic<long> punched{0};
  auto started = Clock::now();
  run_workers(connections, stop, [&](int index) {
    TarveloFTPClient& client = *clients[static_cast<std::size_t>(index)];
    LargeBuffer buffer(static_cast<std::size_t>(options.chunk_size));
    char* bytes = reinterpret_cast<char*>(buffer.data());
    std::vector<std::string> mine;
    // A thin image read through a pipe is mostly zeros: they are punched,
    // as a file's are, instead of crossing the network.
    SparseSender sparse(client, remote, *file, options.chunk_size, mine);
    long position = 0;
    int writes = 0;
    for (long n; !stop && (n = input.next(bytes, options.chunk_size, position)) > 0;) {
      limit.take(n);
      progress.add(n);
      if (options.sparse) {
        sent += sparse.send_buffer(position, bytes, n);
        continue;
      }
      client.seek(position, TARVELO_SEEK_SET);
      Transport::StatusCode status;
      long written = client.write_in_place(bytes, n, &status);
      if (written != n)
        throw write_failure(remote, n, position, status);
      sent += n;
      if (++writes % kWritesPerAcknowledgement == 0) collect_acknowledgements(client, remote, mine);
    }
    sparse.flush();
    punched += sparse.punched();
    collect_acknowledgements(client, remote, mine);
    std::lock_guard lock(failed_mutex);
    failed.insert(failed.end(), mine.begin(), mine.end());
  });
  progress.finish();
  for (auto& client : clients) (void)client->close();
  if (options.json) {
    TransferReport report;
    report.command = "put";
    report.sent = sent;
    report.zeros = punched;
    report.seconds = seconds_since(started);
    report.failed = failed;
    print(report, true, std::cout);
  } else {
    std::printf("read %ld bytes from %s, sent %ld bytes", input.read(), file->path().c_str(), sent.load());
    if (punched > 0) std::printf(" (%ld bytes of zeros punched)", punched.load());
    std::printf(", %.2f s\n", seconds_since(started));
  }
  if (failed.empty()) return 0;
  std::fprintf(stderr, "tarveloftp: %zu write(s) failed on the server:\n", failed.size());
  for (const std::string& range : failed) std::fprintf(stderr, "  %s\n", range.c_str());
  return 1;
}

}  // namespace tarvelo::tools
