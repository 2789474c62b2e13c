#include "Merge.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "LocalHashCache.h"
#include "Progress.h"
#include "Transfers.h"

namespace tarvelo::tools {

namespace {

// Remote hashes asked for per call, so the progress bar moves.
constexpr std::size_t kHashesPerBatch = 4096;
// Local file bytes read at once by a hashing thread.
constexpr long kLocalReadSize = 8L << 20;
// File bytes whose block hashes a merge against block-hash storage keeps at
// once.
constexpr long kMergeWindow = 1L << 30;

// Threads that hash the local side: every core.
int local_hash_threads() { return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 16u)); }

// Runs `slice(first, last)` over [0, count) split into contiguous parts, one
// per local hashing thread, so each reads its part of the file in order.
// `stopped` tells a slice that another thread (here or on the remote side)
// failed.
void run_local_slices(long count, const std::atomic<bool>& stop,
                      const std::function<void(long, long, const std::function<bool()>&)>& slice) {
  const long threads = local_hash_threads();
  std::atomic<bool> failed{false};
  auto stopped = [&] { return stop.load() || failed.load(); };
  run_workers(static_cast<int>(threads), failed, [&](int index) {
    slice(count * index / threads, count * (index + 1) / threads, stopped);
  });
}

// Local hashes of ranges [first, last) of `ranges` (sorted, non-overlapping
// image ranges) from the file, whose byte 0 sits at image offset `base`,
// computed the way the server computes its own, into `hashes`.
void hash_local_ranges(const TarveloFTPClient& client, const LocalFile& file, long base,
                       const std::vector<HashRange>& ranges, std::size_t first, std::size_t last,
                       std::vector<unsigned char>& hashes, const std::function<bool()>& stopped) {
  const std::size_t size = client.hash_size();
  const bool block_hash_storage = (client.server_features() & FEATURE_BLOCK_HASH_STORAGE) != 0;
  std::vector<char> buffer;
  long buffer_start = 0;
  long buffer_length = 0;
  for (std::size_t i = first; i < last && !stopped(); ++i) {
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

// Block hashes of blocks [first, last) of the window starting at `start`
// (on the server's block grid) and ending at `end`, into `hashes`; with a
// cache, only blocks whose bytes it does not vouch for are hashed.
void hash_local_blocks(const TarveloFTPClient& client, const LocalFile& file, long start, long end, long first,
                       long last, unsigned char* hashes, const std::function<bool()>& stopped,
                       LocalHashCache* cache) {
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
  for (long at = start + first * block; at < stop_at && !stopped(); at += piece) {
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

long window_blocks(long start, long end, long block) { return (end - start + block - 1) / block; }

}  // namespace

void split_ranges(long start, long end, long size, std::vector<HashRange>& out) {
  for (long at = start; at < end;) {
    long next = std::min(end, (at / size + 1) * size);
    out.push_back({at, next - at});
    at = next;
  }
}

std::vector<std::size_t> differing_ranges(HashSides& sides, const std::vector<HashRange>& ranges,
                                          bool first_round) {
  std::atomic<bool> stop{false};
  std::vector<unsigned char> local;
  std::vector<unsigned char> remote;
  run_workers(2, stop, [&](int index) {
    if (index == 0)
      remote = sides.remote(ranges, first_round, stop);
    else
      local = sides.local(ranges, first_round, stop);
  });
  const std::size_t size = sides.hash_size();
  if (local.size() != ranges.size() * size || remote.size() != ranges.size() * size)
    throw ToolError("hash comparison got " + std::to_string(local.size()) + " local and " +
                    std::to_string(remote.size()) + " remote hash bytes for " + std::to_string(ranges.size()) +
                    " ranges");
  std::vector<std::size_t> differing;
  for (std::size_t i = 0; i < ranges.size(); ++i)
    if (std::memcmp(local.data() + i * size, remote.data() + i * size, size) != 0) differing.push_back(i);
  return differing;
}

void narrow_to_blocks(long block, long size, long start, long end, HashSides& sides, MergePlan& plan) {
  auto began = Clock::now();
  std::vector<HashRange> ranges;
  split_ranges(start, end, size, ranges);
  for (bool first = true; !ranges.empty(); first = false) {
    std::vector<std::size_t> differing = differing_ranges(sides, ranges, first);
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

HashedRanges::HashedRanges(TarveloFTPClient& client, const Remote& remote, const LocalFile& file, long base,
                           Progress& progress)
    : m_client(client), m_remote(remote), m_file(file), m_base(base), m_progress(progress) {}

std::size_t HashedRanges::hash_size() const { return m_client.hash_size(); }

std::vector<unsigned char> HashedRanges::local(const std::vector<HashRange>& ranges, bool,
                                               const std::atomic<bool>& stop) {
  std::vector<unsigned char> hashes(ranges.size() * m_client.hash_size());
  run_local_slices(static_cast<long>(ranges.size()), stop,
                   [&](long first, long last, const std::function<bool()>& stopped) {
                     hash_local_ranges(m_client, m_file, m_base, ranges, static_cast<std::size_t>(first),
                                       static_cast<std::size_t>(last), hashes, stopped);
                   });
  return hashes;
}

std::vector<unsigned char> HashedRanges::remote(const std::vector<HashRange>& ranges, bool first_round,
                                                const std::atomic<bool>& stop) {
  if (!first_round) {
    long narrowed = 0;
    for (const HashRange& range : ranges) narrowed += range.length;
    m_progress.start("narrow", narrowed);
  }
  return remote_hashes_of(m_client, m_remote, ranges, m_progress, stop);
}

StoredBlockHashes::StoredBlockHashes(TarveloFTPClient& client, const Remote& remote, const LocalFile& file,
                                     long start, long end, Progress& progress, LocalHashCache* cache)
    : m_client(client),
      m_remote(remote),
      m_file(file),
      m_start(start),
      m_end(end),
      m_progress(progress),
      m_cache(cache),
      m_blocks(static_cast<std::size_t>(window_blocks(start, end, client.block_size())) * client.hash_size()) {}

std::size_t StoredBlockHashes::hash_size() const { return m_client.hash_size(); }

std::vector<unsigned char> StoredBlockHashes::local(const std::vector<HashRange>& ranges, bool first_round,
                                                    const std::atomic<bool>& stop) {
  const long block = m_client.block_size();
  const std::size_t hash_bytes = m_client.hash_size();
  if (first_round) {
    // The whole window's block hashes, while the server answers the first
    // ranges; later rounds only combine them.
    const long blocks = window_blocks(m_start, m_end, block);
    if (m_cache) m_cache->begin_window(m_start / block, blocks);
    run_local_slices(blocks, stop, [&](long first, long last, const std::function<bool()>& stopped) {
      hash_local_blocks(m_client, m_file, m_start, m_end, first, last, m_blocks.data(), stopped, m_cache);
    });
    if (stop) return {};
    if (m_cache) m_cache->end_window();
  }
  // The aggregates of ranges that follow one another with as many blocks
  // each are hashed side by side.
  auto first_block = [&](std::size_t i) { return static_cast<std::size_t>((ranges[i].offset - m_start) / block); };
  auto block_count = [&](std::size_t i) { return static_cast<std::size_t>((ranges[i].length + block - 1) / block); };
  std::vector<unsigned char> hashes(ranges.size() * hash_bytes);
  for (std::size_t i = 0; i < ranges.size();) {
    std::size_t together = 1;
    while (i + together < ranges.size() && block_count(i + together) == block_count(i) &&
           first_block(i + together) == first_block(i) + together * block_count(i))
      ++together;
    Transport::StatusCode status;
    std::vector<unsigned char> aggregates = m_client.get_default_block_hashes_local(
        m_blocks.data() + first_block(i) * hash_bytes, static_cast<long>(block_count(i) * hash_bytes),
        static_cast<long>(together), &status);
    if (aggregates.size() != together * hash_bytes) throw ToolError("local hash failed: " + status.text);
    std::memcpy(hashes.data() + i * hash_bytes, aggregates.data(), aggregates.size());
    i += together;
  }
  return hashes;
}

std::vector<unsigned char> StoredBlockHashes::remote(const std::vector<HashRange>& ranges, bool first_round,
                                                     const std::atomic<bool>& stop) {
  if (first_round) return remote_hashes_of(m_client, m_remote, ranges, m_progress, stop);
  Progress quiet(false);
  return remote_hashes_of(m_client, m_remote, ranges, quiet, stop);
}

std::vector<HashRange> join_neighbours(const std::vector<HashRange>& ranges, long limit) {
  std::vector<HashRange> joined;
  for (const HashRange& range : ranges) {
    if (!joined.empty() && joined.back().offset + joined.back().length == range.offset &&
        joined.back().length + range.length <= limit)
      joined.back().length += range.length;
    else
      joined.push_back(range);
  }
  return joined;
}

long first_merge_range(const TarveloFTPClient& client, long requested) {
  const long block = client.block_size();
  if (requested <= 0)
    requested = (client.server_features() & FEATURE_BLOCK_HASH_STORAGE) ? kDefaultBlockHashMergeRange
                                                                          : kDefaultMergeRange;
  return std::max(block, requested / block * block);
}

std::size_t reads_in_flight(const std::vector<HashRange>& ranges) {
  // 16 MiB of replies (16 requests of the default size); at most this many
  // reads.
  constexpr long kBytesInFlight = 16L << 20;
  constexpr std::size_t kMostReads = 256;
  if (ranges.empty()) return 2;
  long bytes = 0;
  for (const HashRange& range : ranges) bytes += range.length;
  const long average = std::max(1L, bytes / static_cast<long>(ranges.size()));
  return std::clamp<std::size_t>(static_cast<std::size_t>(kBytesInFlight / average), 2, kMostReads);
}

MergePlan plan_merge(TarveloFTPClient& client, const Remote& remote, const LocalFile& file, long length,
                     long size, Progress& progress, LocalHashCache* cache) {
  MergePlan plan;
  const long block = client.block_size();
  if ((client.server_features() & FEATURE_BLOCK_HASH_STORAGE) == 0) {
    HashedRanges sides(client, remote, file, 0, progress);
    narrow_to_blocks(block, size, 0, length, sides, plan);
    return plan;
  }
  // Windows keep the local block hashes small (32 bytes per block).
  const long window = std::max(size, kMergeWindow / size * size);
  for (long start = 0; start < length; start += window) {
    const long end = std::min(length, start + window);
    StoredBlockHashes sides(client, remote, file, start, end, progress, cache);
    narrow_to_blocks(block, size, start, end, sides, plan);
  }
  if (cache) cache->commit();
  return plan;
}

}  // namespace tarvelo::tools
