// Plain transfers spread their chunks over several sessions; put --merge
// and compare leave the hashing to Merge and send or report what differs.

#include "Transfers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>

#include <sys/stat.h>

#include "GetDestination.h"
#include "LocalHashCache.h"
#include "Merge.h"
#include "Progress.h"
#include "RateLimit.h"
#include "Report.h"
#include "Sparse.h"
#include "WriteBehind.h"

namespace tarvelo::tools {

namespace {

// Granularity at which get leaves all-zero data as holes.
constexpr long kHoleBlock = 4096;

// Writes the non-zero blocks of a chunk; zero blocks stay holes in the
// freshly truncated file. Returns the bytes of the zero blocks.
long write_skipping_zeros(const LocalFile& out, long position, const char* data, long length) {
  long run_start = -1;
  long zeros = 0;
  for (long at = 0; at < length; at += kHoleBlock) {
    long block = std::min(kHoleBlock, length - at);
    bool zero = all_zero(data + at, block);
    if (zero) zeros += block;
    if (!zero && run_start < 0) run_start = at;
    if (zero && run_start >= 0) {
      out.write_at(position + run_start, data + run_start, at - run_start);
      run_start = -1;
    }
  }
  if (run_start >= 0) out.write_at(position + run_start, data + run_start, length - run_start);
  return zeros;
}

void check_chunk_size(long chunk) {
  if (chunk <= 0 || chunk > TarveloFTPClient::kMaxRequestLength)
    throw ToolError("chunk size must be between 1 and " +
                    std::to_string(TarveloFTPClient::kMaxRequestLength) + " bytes");
}

}  // namespace

int run_get(const Remote& remote, const std::string& file, std::optional<long> offset,
            std::optional<long> length, const TransferOptions& options) {
  check_chunk_size(options.chunk_size);
  auto first = open_remote(remote);
  long image = first->size();
  long start = offset.value_or(0);
  if (start < 0 || start > image)
    throw ToolError("offset " + std::to_string(start) + " is beyond the end of the image (" +
                    std::to_string(image) + " bytes)");
  long count = std::min(length.value_or(image - start), image - start);
  if (count < 0) throw ToolError("length must not be negative");

  GetDestination destination(file, count, options.in_place);
  const LocalFile& out = destination.file();
  RateLimit limit(options.bandwidth_limit);
  long chunks = (count + options.chunk_size - 1) / options.chunk_size;
  int connections = static_cast<int>(std::clamp<long>(options.connections, 1, std::max(1L, chunks)));
  auto clients = open_sessions(remote, std::move(first), connections);

  Progress progress(options.progress);
  progress.start("get", count);
  std::atomic<bool> stop{false};
  auto started = Clock::now();
  std::atomic<long> received{0};
  std::atomic<long> next_window{start};
  run_workers(connections, stop, [&](int index) {
    TarveloFTPClient& client = *clients[static_cast<std::size_t>(index)];
    WriteBehind behind(out);
    auto read = [&](const std::vector<HashRange>& ranges) {
      long zeros = 0;
      Transport::StatusCode status = client.read_ranges(
          ranges, reads_in_flight(ranges), [&](long offset, const char* data, long length) {
            if (stop) return false;
            limit.take(length);
            received += length;
            if (destination.is_stream()) {
              if (!destination.write_in_order(offset - start, data, length, stop)) return false;
              progress.add(length);
              return true;
            }
            // Written in steps, each handed to write-back before the next.
            for (long done = 0; done < length; done += WriteBehind::kStartStep) {
              long position = offset - start + done;
              long piece = std::min(WriteBehind::kStartStep, length - done);
              if (out.is_regular())
                zeros += write_skipping_zeros(out, position, data + done, piece);
              else
                out.write_at(position, data + done, piece);
              behind.written(position, piece);
            }
            progress.add(length);
            return true;
          });
      if (status.code < 0 && !stop)
        throw ToolError(request_failure(remote, "read failed", status));
      return zeros;
    };
    // A stream carries the zeros too, in order.
    if (options.sparse && !destination.is_stream()) {
      sparse_get_windows(client, remote, out, start, count, next_window, options.chunk_size, progress, stop,
                         read);
      return;
    }
    // Every connection-th chunk, with the next request already queued on
    // the server while this one's data are written out.
    std::vector<HashRange> ranges;
    for (long chunk = index; chunk < chunks; chunk += connections) {
      long position = chunk * options.chunk_size;
      ranges.push_back({start + position, std::min(options.chunk_size, count - position)});
    }
    (void)read(ranges);
  });
  destination.commit();
  progress.finish();
  for (auto& client : clients) (void)client->close();
  TransferReport report;
  report.command = "get";
  report.received = received;
  report.zeros = count - received;
  report.seconds = seconds_since(started);
  // Standard output may be carrying the image.
  print(report, options.json, file == "-" ? std::cerr : std::cout);
  return 0;
}

namespace {

// Writes [offset, offset + length) of the file to the same range of the
// remote image in requests of at most `chunk` bytes, read from the file
// straight into each request.
long send_range(TarveloFTPClient& client, const Remote& remote, const LocalFile& file, long offset,
                long length, long chunk, int& writes, std::vector<std::string>& failed) {
  long sent = 0;
  for (long done = 0; done < length;) {
    long n = std::min(chunk, length - done);
    long at = offset + done;
    Transport::StatusCode status;
    if (write_file_range(client, file, at, n, nullptr, &status) != n) throw write_failure(remote, n, at, status);
    sent += n;
    done += n;
    if (++writes % kWritesPerAcknowledgement == 0) collect_acknowledgements(client, remote, failed);
  }
  return sent;
}

// The cache must never overwrite the image it describes.
void check_not_same_file(const std::string& cache, const std::string& image) {
  struct stat image_info {};
  if (::stat(image.c_str(), &image_info) != 0) return;
  for (const std::string& path : {cache, cache + ".new"}) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && info.st_dev == image_info.st_dev && info.st_ino == image_info.st_ino)
      throw ToolError("--hash-cache " + cache + " would overwrite " + image);
  }
}

int report_put(TransferReport& report, const std::vector<std::string>& failed, bool json) {
  report.command = "put";
  report.failed = failed;
  print(report, json, std::cout);
  if (failed.empty()) return 0;
  std::fprintf(stderr, "tarveloftp: %zu write(s) failed on the server:\n", failed.size());
  for (const std::string& range : failed) std::fprintf(stderr, "  %s\n", range.c_str());
  return 1;
}

}  // namespace

int run_put(const std::string& path, const Remote& remote, bool merge, long merge_range,
            const std::string& hash_cache, const TransferOptions& options) {
  check_chunk_size(options.chunk_size);
  LocalFile file(path, LocalFile::Mode::Read);
  file.require_offsets("put");
  long length = file.size();
  auto first = open_remote(remote);
  if (first->size() < length)
    throw ToolError("the remote image (" + std::to_string(first->size()) + " bytes) is smaller than " +
                    path + " (" + std::to_string(length) + " bytes)");
  Progress progress(options.progress);
  auto started = Clock::now();
  std::vector<std::string> failed;
  RateLimit limit(options.bandwidth_limit);

  if (merge) {
    TarveloFTPClient& client = *first;
    // Ranges are whole numbers of blocks so every step follows the server's
    // block grid; each narrowing step costs one pipelined round of hashes.
    long block = client.block_size();
    bool stored = (client.server_features() & FEATURE_BLOCK_HASH_STORAGE) != 0;
    long size = first_merge_range(client, merge_range);
    progress.start("compare", length);
    std::unique_ptr<LocalHashCache> cache;
    if (stored && !hash_cache.empty()) {
      check_not_same_file(hash_cache, path);
      cache = std::make_unique<LocalHashCache>(hash_cache,
                                               LocalHashCache::Grid{length, block, client.hash_size()});
    } else if (!hash_cache.empty()) {
      std::fprintf(stderr,
                   "tarveloftp: the server keeps no block hashes, so --hash-cache is not used\n");
    }
    MergePlan plan = plan_merge(client, remote, file, length, size, progress, cache.get());
    std::vector<HashRange> writes = join_neighbours(plan.changed, options.chunk_size);
    long to_send = 0;
    for (const HashRange& range : writes) to_send += range.length;
    auto writing = Clock::now();
    progress.start("put", to_send);
    int write_count = 0;
    long sent = 0;
    SparseSender sparse(client, remote, file, options.chunk_size, failed);
    for (const HashRange& range : writes) {
      limit.take(range.length);
      sent += options.sparse ? sparse.send(range.offset, range.length)
                             : send_range(client, remote, file, range.offset, range.length, options.chunk_size,
                                          write_count, failed);
      progress.add(range.length);
    }
    sparse.flush();
    collect_acknowledgements(client, remote, failed);
    progress.finish();
    (void)client.close();
    TransferReport report = merge_report(plan, length, seconds_since(started), seconds_since(writing));
    report.sent = sent;
    if (cache) report.cached_hashes = cache->reused();
    return report_put(report, failed, options.json);
  }

  long chunks = (length + options.chunk_size - 1) / options.chunk_size;
  int connections = static_cast<int>(std::clamp<long>(options.connections, 1, std::max(1L, chunks)));
  auto clients = open_sessions(remote, std::move(first), connections);
  progress.start("put", length);
  std::atomic<long> next_chunk{0};
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::atomic<long> punched{0};
  std::mutex failed_mutex;
  run_workers(connections, stop, [&](int index) {
    TarveloFTPClient& client = *clients[static_cast<std::size_t>(index)];
    std::vector<std::string> mine;
    int writes = 0;
    SparseSender sparse(client, remote, file, options.chunk_size, mine);
    for (long chunk = next_chunk++; chunk < chunks && !stop; chunk = next_chunk++) {
      long position = chunk * options.chunk_size;
      long n = std::min(options.chunk_size, length - position);
      limit.take(n);
      sent += options.sparse ? sparse.send(position, n)
                             : send_range(client, remote, file, position, n, options.chunk_size, writes, mine);
      progress.add(n);
    }
    sparse.flush();
    punched += sparse.punched();
    collect_acknowledgements(client, remote, mine);
    std::lock_guard lock(failed_mutex);
    failed.insert(failed.end(), mine.begin(), mine.end());
  });
  progress.finish();
  for (auto& client : clients) (void)client->close();
  TransferReport report;
  report.sent = sent;
  report.zeros = punched;
  report.seconds = seconds_since(started);
  return report_put(report, failed, options.json);
}

int run_compare(const std::string& path, const Remote& remote, long offset,
                const TransferOptions& options) {
  check_chunk_size(options.chunk_size);
  LocalFile file(path, LocalFile::Mode::Read);
  file.require_offsets("compare");
  auto started = Clock::now();
  CompareReport report;
  report.file = path;
  report.url = to_string(remote.url);
  report.offset = offset;
  long length = report.length = file.size();
  auto client = open_remote(remote);
  report.remote_size = client->size();
  auto finish = [&] {
    (void)client->close();
    report.seconds = seconds_since(started);
    print(report, options.json, std::cout);
    return report.equal() ? 0 : 1;
  };
  if (offset < 0 || offset > client->size() || client->size() - offset < length) {
    report.shorter = true;
    return finish();
  }
  if (length == 0) return finish();
  long piece = options.chunk_size;
  if (client->server_features() & FEATURE_BLOCK_HASH_STORAGE)
    piece = std::max(client->block_size(), piece / client->block_size() * client->block_size());
  std::vector<HashRange> ranges;
  split_ranges(offset, offset + length, piece, ranges);
  Progress progress(options.progress);
  progress.start("compare", length);
  HashedRanges sides(*client, remote, file, offset, progress);
  std::vector<std::size_t> differing = differing_ranges(sides, ranges, true);
  progress.finish();
  report.ranges = ranges.size();
  for (std::size_t index : differing) report.differing.emplace_back(ranges[index].offset, ranges[index].length);
  return finish();
}

}  // namespace tarvelo::tools
