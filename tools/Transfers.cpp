// Plain transfers spread their chunks over several sessions; hash
// comparisons hash the local side on every core while the server hashes
// its side, and ask for the server's hashes in a pipeline.

#include "Transfers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>

#include "LocalHashCache.h"
#include "Progress.h"

namespace tarvelo::tools {

namespace {

using Clock = std::chrono::steady_clock;
using HashRange = TarveloFTPClient::HashRange;

// Granularity at which get leaves all-zero data as holes.
constexpr long kHoleBlock = 4096;
// Writes between two collections of acknowledgements, well below what the
// server queues (200000).
constexpr int kWritesPerAcknowledgement = 1024;
// Remote hashes asked for per call, so the progress bar moves.
constexpr std::size_t kHashesPerBatch = 4096;
// READ requests each get session keeps queued on the server.
constexpr std::size_t kReadsInFlight = 2;
// Local file bytes read at once by a hashing thread.
constexpr long kLocalReadSize = 8L << 20;
// File bytes whose block hashes a merge against block-hash storage keeps at
// once.
constexpr long kMergeWindow = 1L << 30;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool all_zero(const char* data, long length) {
  if (length <= 0) return true;
  if (data[0] != 0) return false;
  return std::memcmp(data, data + 1, static_cast<std::size_t>(length - 1)) == 0;
}

// Writes the non-zero blocks of a chunk; zero blocks stay holes in the
// freshly truncated file.
void write_skipping_zeros(const LocalFile& out, long position, const char* data, long length) {
  long run_start = -1;
  for (long at = 0; at < length; at += kHoleBlock) {
    long block = std::min(kHoleBlock, length - at);
    bool zero = all_zero(data + at, block);
    if (!zero && run_start < 0) run_start = at;
    if (zero && run_start >= 0) {
      out.write_at(position + run_start, data + run_start, at - run_start);
      run_start = -1;
    }
  }
  if (run_start >= 0) out.write_at(position + run_start, data + run_start, length - run_start);
}

void check_chunk_size(long chunk) {
  if (chunk <= 0 || chunk > TarveloFTPClient::kMaxRequestLength)
    throw ToolError("chunk size must be between 1 and " +
                    std::to_string(TarveloFTPClient::kMaxRequestLength) + " bytes");
}

// Splits [start, end) into ranges of at most `size` bytes that end on
// multiples of `size` (the server's block grid when `size` is a multiple of
// its block size).
void split_ranges(long start, long end, long size, std::vector<HashRange>& out) {
  for (long at = start; at < end;) {
    long next = std::min(end, (at / size + 1) * size);
    out.push_back({at, next - at});
    at = next;
  }
}

// Local hashes of ranges [first, last) of `ranges` (sorted, non-overlapping
// image ranges) from the file, whose byte 0 sits at image offset `base`,
// computed the way the server computes its own, into `hashes`.
void hash_local_ranges(const TarveloFTPClient& client, const LocalFile& file, long base,
                       const std::vector<HashRange>& ranges, std::size_t first, std::size_t last,
                       std::vector<unsigned char>& hashes, const std::atomic<bool>& stop) {
  const std::size_t size = client.hash_size();
  const bool block_hash_storage = (client.server_features() & FEATURE_BLOCK_HASH_STORAGE) != 0;
  std::vector<char> buffer;
  long buffer_start = 0;
  long buffer_length = 0;
  for (std::size_t i = first; i < last && !stop; ++i) {
    const HashRange& range = ranges[i];
    long position = range.offset - base;
    if (position < buffer_start || position + range.length > buffer_start + buffer_length) {
      long want = std::max(kLocalReadSize, range.length);
      buffer.resize(static_cast<std::size_t>(want));
      buffer_start = position;
      buffer_length = file.read_at(buffer_start, buffer.data(), want);
      if (buffer_length < range.length)
        throw ToolError("cannot read " + file.path() + " at offset " + std::to_string(position) +
                        ": the file is shorter than expected");
    }
    // Without stored hashes, the following ranges of the same length that
    // are in the buffer too are hashed with this one, side by side.
    std::size_t together = 1;
    if (!block_hash_storage)
      while (i + together < last && ranges[i + together].length == range.length &&
             ranges[i + together].offset == range.offset + static_cast<long>(together) * range.length &&
             position + static_cast<long>(together + 1) * range.length <= buffer_start + buffer_length)
        ++together;
    Transport::StatusCode status;
    const char* data = buffer.data() + (position - buffer_start);
    std::vector<unsigned char> hash =
        block_hash_storage
            ? client.get_block_hash_local_at(range.offset, data, range.length, &status)
            : client.get_default_block_hashes_local(data, range.length, static_cast<long>(together), &status);
    if (hash.size() != together * size) throw ToolError("local hash failed: " + status.text);
    std::memcpy(hashes.data() + i * size, hash.data(), hash.size());
    i += together - 1;
  }
}

// Threads that hash the local side: every core.
int local_hash_threads() { return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 16u)); }

// The server's hashes of `ranges`, asked for in batches.
std::vector<unsigned char> remote_hashes_of(TarveloFTPClient& client, const Remote& remote,
                                            const std::vector<HashRange>& ranges, Progress& progress,
                                            const std::atomic<bool>& stop) {
  std::vector<unsigned char> hashes;
  hashes.reserve(ranges.size() * client.hash_size());
  for (std::size_t first = 0; first < ranges.size() && !stop; first += kHashesPerBatch) {
    std::size_t last = std::min(ranges.size(), first + kHashesPerBatch);
    std::vector<HashRange> batch(ranges.begin() + static_cast<long>(first),
                                 ranges.begin() + static_cast<long>(last));
    Transport::StatusCode status;
    std::vector<unsigned char> answer = client.get_block_hashes_remote(batch, &status);
    if (answer.empty()) throw ToolError(request_failure(remote, "remote hash failed", status));
    hashes.insert(hashes.end(), answer.begin(), answer.end());
    long bytes = 0;
    for (const HashRange& range : batch) bytes += range.length;
    progress.add(bytes);
  }
  return hashes;
}

// Hashes `ranges` on both sides at once, the local side on every core, and
// returns the indices of the ranges whose hashes differ.
std::vector<std::size_t> differing_ranges(TarveloFTPClient& client, const Remote& remote,
                                          const LocalFile& file, long base,
                                          const std::vector<HashRange>& ranges, Progress& progress) {
  std::atomic<bool> stop{false};
  std::vector<unsigned char> local(ranges.size() * client.hash_size());
  std::vector<unsigned char> remote_hashes;
  const std::size_t threads = static_cast<std::size_t>(local_hash_threads());
  // Worker 0 asks the server; the others hash contiguous slices, so each
  // reads its part of the file in order.
  run_workers(static_cast<int>(threads) + 1, stop, [&](int index) {
    if (index == 0) {
      remote_hashes = remote_hashes_of(client, remote, ranges, progress, stop);
      return;
    }
    std::size_t slice = static_cast<std::size_t>(index - 1);
    hash_local_ranges(client, file, base, ranges, ranges.size() * slice / threads,
                      ranges.size() * (slice + 1) / threads, local, stop);
  });
  std::vector<std::size_t> differing;
  const std::size_t size = client.hash_size();
  for (std::size_t i = 0; i < ranges.size(); ++i)
    if (std::memcmp(local.data() + i * size, remote_hashes.data() + i * size, size) != 0)
      differing.push_back(i);
  return differing;
}

// Block hashes of blocks [first, last) of the window starting at `start`
// (on the server's block grid) and ending at `end`, into `hashes`; with a
// cache, only blocks whose bytes it does not vouch for are hashed.
void hash_local_blocks(const TarveloFTPClient& client, const LocalFile& file, long start, long end, long first,
                       long last, unsigned char* hashes, const std::atomic<bool>& stop, LocalHashCache* cache) {
  const long block = client.block_size();
  const std::size_t size = client.hash_size();
  const long piece = std::max(block, kLocalReadSize / block * block);
  const long stop_at = std::min(end, start + last * block);
  LargeBuffer read_buffer(static_cast<std::size_t>(piece));
  auto* buffer = reinterpret_cast<char*>(read_buffer.data());
  auto hash_into = [&](long at, const char* data, long length, unsigned char* out) {
    Transport::StatusCode status;
    std::vector<unsigned char> part = client.get_block_hashes_local_at(at, data, length, &status);
    if (part.empty()) throw ToolError("local hash failed: " + status.text);
    std::memcpy(out, part.data(), part.size());
  };
  for (long at = start + first * block; at < stop_at && !stop; at += piece) {
    long want = std::min(piece, stop_at - at);
    if (file.read_at(at, buffer, want) != want)
      throw ToolError("cannot read " + file.path() + " at offset " + std::to_string(at) +
                      ": the file is shorter than expected");
    if (!cache) {
      hash_into(at, buffer, want, hashes + static_cast<std::size_t>((at - start) / block) * size);
      continue;
    }
    for (long offset = 0; offset < want; offset += block) {
      long index = (at + offset - start) / block;
      long length = std::min(block, want - offset);
      unsigned char* out = hashes + static_cast<std::size_t>(index) * size;
      if (cache->lookup(index, buffer + offset, length, out)) continue;
      hash_into(at + offset, buffer + offset, length, out);
      cache->remember(index, out);
    }
  }
}

// What a merge found, and where its time went.
struct MergePlan {
  std::vector<HashRange> changed;  // block-sized ranges that differ
  std::size_t first_ranges = 0;
  std::size_t first_differing = 0;
  double comparing = 0;
  double narrowing = 0;
};

// Compares `ranges` of `size` bytes through `compare` (which returns the
// indices of those that differ), then narrows each differing range by
// quarters down to the server's blocks, comparing again each round. Records
// the blocks that still differ, and the time spent since `began`.
using CompareRound = std::function<std::vector<std::size_t>(const std::vector<HashRange>&, bool first)>;
void narrow_to_blocks(long block, long size, std::vector<HashRange> ranges, Clock::time_point began,
                      MergePlan& plan, const CompareRound& compare) {
  for (bool first = true; !ranges.empty(); first = false) {
    std::vector<std::size_t> differing = compare(ranges, first);
    if (first) {
      plan.first_ranges += ranges.size();
      plan.first_differing += differing.size();
      plan.comparing += seconds_since(began);
      began = Clock::now();
    }
    if (size == block) {
      for (std::size_t index : differing) plan.changed.push_back(ranges[index]);
      break;
    }
    size = std::max(block, (size / 4) / block * block);
    std::vector<HashRange> narrower;
    for (std::size_t index : differing)
      split_ranges(ranges[index].offset, ranges[index].offset + ranges[index].length, size, narrower);
    ranges = std::move(narrower);
  }
  plan.narrowing += seconds_since(began);
}

// Against block-hash storage: the window [start, end) is compared in ranges
// of `size` bytes and narrowed, with the local aggregates taken from block
// hashes made in one pass over the window.
void merge_window_against_block_hashes(TarveloFTPClient& client, const Remote& remote, const LocalFile& file,
                                       long start, long end, long size, Progress& progress, MergePlan& plan,
                                       LocalHashCache* cache) {
  const long block = client.block_size();
  const std::size_t hash_bytes = client.hash_size();
  auto began = Clock::now();
  std::vector<HashRange> ranges;
  split_ranges(start, end, size, ranges);

  // Worker 0 asks the server about the first ranges while the others hash
  // the window's blocks, each its own slice.
  std::atomic<bool> stop{false};
  const long blocks = (end - start + block - 1) / block;
  LargeBuffer local(static_cast<std::size_t>(blocks) * hash_bytes);
  std::vector<unsigned char> remote_hashes;
  const long threads = local_hash_threads();
  if (cache) cache->begin_window(start / block, blocks);
  run_workers(static_cast<int>(threads) + 1, stop, [&](int index) {
    if (index == 0) {
      remote_hashes = remote_hashes_of(client, remote, ranges, progress, stop);
      return;
    }
    long slice = index - 1;
    hash_local_blocks(client, file, start, end, blocks * slice / threads, blocks * (slice + 1) / threads,
                      local.data(), stop, cache);
  });
  if (cache) cache->end_window();

  narrow_to_blocks(block, size, std::move(ranges), began, plan, [&](const std::vector<HashRange>& round, bool first) {
    if (!first) {
      Progress quiet(false);
      remote_hashes = remote_hashes_of(client, remote, round, quiet, stop);
    }
    // The aggregates of ranges that follow one another with as many blocks
    // each are hashed side by side.
    auto first_block = [&](std::size_t i) { return static_cast<std::size_t>((round[i].offset - start) / block); };
    auto block_count = [&](std::size_t i) { return static_cast<std::size_t>((round[i].length + block - 1) / block); };
    std::vector<std::size_t> differing;
    for (std::size_t i = 0; i < round.size();) {
      std::size_t together = 1;
      while (i + together < round.size() && block_count(i + together) == block_count(i) &&
             first_block(i + together) == first_block(i) + together * block_count(i))
        ++together;
      Transport::StatusCode status;
      std::vector<unsigned char> aggregates = client.get_default_block_hashes_local(
          local.data() + first_block(i) * hash_bytes, static_cast<long>(block_count(i) * hash_bytes),
          static_cast<long>(together), &status);
      if (aggregates.size() != together * hash_bytes) throw ToolError("local hash failed: " + status.text);
      for (std::size_t k = 0; k < together; ++k, ++i)
        if (std::memcmp(aggregates.data() + k * hash_bytes, remote_hashes.data() + i * hash_bytes, hash_bytes) != 0)
          differing.push_back(i);
    }
    return differing;
  });
}

// Elsewhere: both sides hash each round's ranges from the data.
void merge_by_hashing_ranges(TarveloFTPClient& client, const Remote& remote, const LocalFile& file,
                             long length, long size, Progress& progress, MergePlan& plan) {
  auto began = Clock::now();
  std::vector<HashRange> ranges;
  split_ranges(0, length, size, ranges);
  narrow_to_blocks(client.block_size(), size, std::move(ranges), began, plan,
                   [&](const std::vector<HashRange>& round, bool first) {
                     if (!first) {
                       long narrowed = 0;
                       for (const HashRange& range : round) narrowed += range.length;
                       progress.start("narrow", narrowed);
                     }
                     return differing_ranges(client, remote, file, 0, round, progress);
                   });
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

  LocalFile out(file, LocalFile::Mode::WriteNew);
  out.resize(count);
  long chunks = (count + options.chunk_size - 1) / options.chunk_size;
  int connections = static_cast<int>(std::clamp<long>(options.connections, 1, std::max(1L, chunks)));
  auto clients = open_sessions(remote, std::move(first), connections);

  Progress progress(options.progress);
  progress.start("get", count);
  std::atomic<bool> stop{false};
  auto started = Clock::now();
  run_workers(connections, stop, [&](int index) {
    TarveloFTPClient& client = *clients[static_cast<std::size_t>(index)];
    // Every connection-th chunk, with the next request already queued on
    // the server while this one's data are written out.
    std::vector<HashRange> ranges;
    for (long chunk = index; chunk < chunks; chunk += connections) {
      long position = chunk * options.chunk_size;
      ranges.push_back({start + position, std::min(options.chunk_size, count - position)});
    }
    Transport::StatusCode status = client.read_ranges(
        ranges, kReadsInFlight, [&](long offset, const char* data, long length) {
          if (stop) return false;
          long position = offset - start;
          if (out.is_regular())
            write_skipping_zeros(out, position, data, length);
          else
            out.write_at(position, data, length);
          progress.add(length);
          return true;
        });
    if (status.code < 0 && !stop)
      throw ToolError(request_failure(remote, "read failed", status));
  });
  progress.finish();
  for (auto& client : clients) (void)client->close();
  double elapsed = seconds_since(started);
  std::printf("received %ld bytes in %.2f s (%s/s)\n", count, elapsed,
              human_bytes(elapsed > 0 ? static_cast<double>(count) / elapsed : 0).c_str());
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
    client.seek(at, TARVELO_SEEK_SET);
    Transport::StatusCode status;
    long written = client.write_from(
        n,
        [&](char* buffer, long count) {
          if (file.read_at(at, buffer, count) != count)
            throw ToolError("cannot read " + file.path() + " at offset " + std::to_string(at) +
                            ": the file changed size");
          return true;
        },
        &status);
    if (written != n)
      throw ToolError(request_failure(remote, "write of " + std::to_string(n) + " bytes at offset " +
                                                  std::to_string(at) + " failed",
                                      status));
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

int report_put(const std::vector<std::string>& failed, long compared, long sent, double elapsed,
               const std::string& detail = "") {
  std::printf("compared %ld bytes, sent %ld bytes, %.2f s%s\n", compared, sent, elapsed, detail.c_str());
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
  long length = file.size();
  auto first = open_remote(remote);
  if (first->size() < length)
    throw ToolError("the remote image (" + std::to_string(first->size()) + " bytes) is smaller than " +
                    path + " (" + std::to_string(length) + " bytes)");
  Progress progress(options.progress);
  auto started = Clock::now();
  std::vector<std::string> failed;

  if (merge) {
    TarveloFTPClient& client = *first;
    // Ranges are whole numbers of blocks so every step follows the server's
    // block grid; each narrowing step costs one pipelined round of hashes.
    long block = client.block_size();
    bool stored = (client.server_features() & FEATURE_BLOCK_HASH_STORAGE) != 0;
    if (merge_range <= 0) merge_range = stored ? kDefaultBlockHashMergeRange : kDefaultMergeRange;
    long size = std::max(block, (std::max(merge_range, block) / block) * block);
    MergePlan plan;
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
    if (stored) {
      // Windows keep the local block hashes small (32 bytes per block).
      long window = std::max(size, kMergeWindow / size * size);
      for (long start = 0; start < length; start += window)
        merge_window_against_block_hashes(client, remote, file, start, std::min(length, start + window), size,
                                          progress, plan, cache.get());
      if (cache) cache->commit();
    } else {
      merge_by_hashing_ranges(client, remote, file, length, size, progress, plan);
    }
    const std::vector<HashRange>& changed = plan.changed;
    // Neighbouring changed blocks go out as one write.
    std::vector<HashRange> writes;
    for (const HashRange& range : changed) {
      if (!writes.empty() && writes.back().offset + writes.back().length == range.offset &&
          writes.back().length + range.length <= options.chunk_size)
        writes.back().length += range.length;
      else
        writes.push_back(range);
    }
    long to_send = 0;
    for (const HashRange& range : writes) to_send += range.length;
    auto writing = Clock::now();
    progress.start("put", to_send);
    int write_count = 0;
    long sent = 0;
    for (const HashRange& range : writes) {
      sent += send_range(client, remote, file, range.offset, range.length, options.chunk_size, write_count,
                         failed);
      progress.add(range.length);
    }
    collect_acknowledgements(client, remote, failed);
    progress.finish();
    (void)client.close();
    char detail[240];
    std::snprintf(detail, sizeof(detail),
                  " (%zu of %zu ranges differed: %.2f s comparing, %.2f s narrowing, %.2f s writing%s)",
                  plan.first_differing, plan.first_ranges, plan.comparing, plan.narrowing, seconds_since(writing),
                  cache ? ("; " + std::to_string(cache->reused()) + " block hashes from the cache").c_str() : "");
    return report_put(failed, length, sent, seconds_since(started), detail);
  }

  long chunks = (length + options.chunk_size - 1) / options.chunk_size;
  int connections = static_cast<int>(std::clamp<long>(options.connections, 1, std::max(1L, chunks)));
  auto clients = open_sessions(remote, std::move(first), connections);
  progress.start("put", length);
  std::atomic<long> next_chunk{0};
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::mutex failed_mutex;
  run_workers(connections, stop, [&](int index) {
    TarveloFTPClient& client = *clients[static_cast<std::size_t>(index)];
    std::vector<std::string> mine;
    int writes = 0;
    for (long chunk = next_chunk++; chunk < chunks && !stop; chunk = next_chunk++) {
      long position = chunk * options.chunk_size;
      long n = std::min(options.chunk_size, length - position);
      sent += send_range(client, remote, file, position, n, options.chunk_size, writes, mine);
      progress.add(n);
    }
    collect_acknowledgements(client, remote, mine);
    std::lock_guard lock(failed_mutex);
    failed.insert(failed.end(), mine.begin(), mine.end());
  });
  progress.finish();
  for (auto& client : clients) (void)client->close();
  return report_put(failed, 0, sent, seconds_since(started));
}

int run_compare(const std::string& path, const Remote& remote, long offset,
                const TransferOptions& options) {
  check_chunk_size(options.chunk_size);
  LocalFile file(path, LocalFile::Mode::Read);
  long length = file.size();
  auto client = open_remote(remote);
  if (offset < 0 || offset > client->size() || client->size() - offset < length) {
    std::printf("%s %s differ: the remote image (%ld bytes) is shorter than the file at offset %ld\n",
                path.c_str(), to_string(remote.url).c_str(), client->size(), offset);
    (void)client->close();
    return 1;
  }
  if (length == 0) {
    (void)client->close();
    return 0;
  }
  long piece = options.chunk_size;
  if (client->server_features() & FEATURE_BLOCK_HASH_STORAGE)
    piece = std::max(client->block_size(), piece / client->block_size() * client->block_size());
  std::vector<HashRange> ranges;
  split_ranges(offset, offset + length, piece, ranges);
  Progress progress(options.progress);
  progress.start("compare", length);
  std::vector<std::size_t> differing = differing_ranges(*client, remote, file, offset, ranges, progress);
  progress.finish();
  (void)client->close();
  if (differing.empty()) return 0;
  const HashRange& range = ranges[differing.front()];
  std::printf("%s %s differ: %zu of %zu ranges, the first at offset %ld length %ld\n", path.c_str(),
              to_string(remote.url).c_str(), differing.size(), ranges.size(), range.offset, range.length);
  return 1;
}

}  // namespace tarvelo::tools
