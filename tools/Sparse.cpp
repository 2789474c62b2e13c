#include "Sparse.h"

#include "Transfers.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>

#include "Progress.h"

namespace tarvelo::tools {

namespace {

// Requests between two collections of write outcomes, well below what the
// server queues.
constexpr int kRequestsPerAcknowledgement = 1024;
// Punches held back before they go out together, and how many of them may
// await their replies (32 bytes each) at once.
constexpr std::size_t kPunchesPerFlush = 1024;
constexpr std::size_t kPunchesInFlight = 256;
// Remote hashes asked for per call.
constexpr std::size_t kHashesPerBatch = 4096;
// A narrowing round is worth its hashes only while this share (1 / N) of
// the ranges it compares turn out to be zeros.
constexpr std::size_t kNarrowWhenOneIn = 8;

alignas(64) const char kZeros[64 << 10] = {};
// Zeros written at a time where the output cannot keep holes.
constexpr long kZeroPiece = 4L << 20;

// The data extents of [offset, end) of the file; the whole range when the
// file system cannot say.
std::vector<HashRange> data_extents(const LocalFile& file, long offset, long end) {
  std::vector<HashRange> extents;
  for (long at = offset; at < end;) {
    long data = ::lseek(file.fd(), at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;
    if (data < 0) return {{at, end - at}};
    if (data >= end) break;
    long hole = ::lseek(file.fd(), data, SEEK_HOLE);
    if (hole < 0) return {{data, end - data}};
    hole = std::min(hole, end);
    extents.push_back({data, hole - data});
    at = hole;
  }
  return extents;
}

}  // namespace

bool all_zero(const char* data, long length) {
  for (long at = 0; at < length; at += static_cast<long>(sizeof kZeros)) {
    auto piece = static_cast<std::size_t>(std::min<long>(sizeof kZeros, length - at));
    // The first word settles almost every block of real data.
    if (piece >= 8 && std::memcmp(data + at, kZeros, 8) != 0) return false;
    if (std::memcmp(data + at, kZeros, piece) != 0) return false;
  }
  return true;
}

SparseSender::SparseSender(TarveloFTPClient& client, const Remote& remote, const LocalFile& file, long chunk,
                           std::vector<std::string>& failed)
    : m_client(client),
      m_remote(remote),
      m_file(file),
      m_chunk(chunk),
      m_failed(failed),
      m_can_punch((client.server_features() & FEATURE_HOLE_PUNCH) != 0) {}

long SparseSender::send(long offset, long length) {
  const long end = offset + length;
  long sent = 0;
  long at = offset;
  for (const HashRange& extent : data_extents(m_file, offset, end)) {
    if (extent.offset > at) punch(at, extent.offset - at);
    sent += send_data(extent.offset, extent.length);
    at = extent.offset + extent.length;
  }
  if (at < end) punch(at, end - at);
  return sent;
}

long SparseSender::send_data(long offset, long length) {
  long sent = 0;
  for (long done = 0; done < length;) {
    long n = std::min(m_chunk, length - done);
    long at = offset + done;
    // Read straight into the request; only a request that holds a zero
    // block is given up and sent in pieces from a copy.
    bool mixed = false;
    Transport::StatusCode status;
    long written = write_file_range(m_client, m_file, at, n, [&](char* buffer, long count) {
      for (long block = 0; block < count && !mixed; block += kZeroBlock)
        mixed = all_zero(buffer + block, std::min(kZeroBlock, count - block));
      if (mixed) m_mixed.assign(buffer, buffer + count);
      return !mixed;
    }, &status);
    if (mixed) {
      sent += send_buffer(at, m_mixed.data(), n);
    } else if (written != n) {
      throw write_failure(m_remote, n, at, status);
    } else {
      sent += n;
      counted();
    }
    done += n;
  }
  return sent;
}

long SparseSender::send_buffer(long offset, const char* data, long length) {
  long sent = 0;
  for (long at = 0; at < length;) {
    long piece = std::min(kZeroBlock, length - at);
    bool zero = all_zero(data + at, piece);
    long run = at + piece;
    while (run < length && all_zero(data + run, std::min(kZeroBlock, length - run)) == zero)
      run += std::min(kZeroBlock, length - run);
    if (zero) {
      punch(offset + at, run - at);
    } else {
      m_client.seek(offset + at, TARVELO_SEEK_SET);
      Transport::StatusCode status;
      long count = run - at;
      long written = m_client.write_in_place(data + at, count, &status);
      if (written != count)
        throw write_failure(m_remote, count, offset + at, status);
      sent += count;
      counted();
    }
    at = run;
  }
  return sent;
}

void SparseSender::punch(long offset, long length) {
  if (!m_can_punch) return write_zeros(offset, length);
  // A file hole next to zero blocks of data goes as one punch.
  if (!m_punches.empty() && m_punches.back().offset + m_punches.back().length == offset)
    m_punches.back().length += length;
  else
    m_punches.push_back({offset, length});
  // Against block-hash storage each punch is acknowledged like a write.
  if (m_client.server_features() & FEATURE_BLOCK_HASH_STORAGE) counted();
  if (m_punches.size() >= kPunchesPerFlush) flush();
}

void SparseSender::flush() {
  if (m_punches.empty()) return;
  m_refused.clear();
  Transport::StatusCode status = m_client.hole_punch_ranges(m_punches, kPunchesInFlight, m_refused);
  if (status.code < 0 && status.code != TarveloFTPClient::kNotAvailable)
    throw ToolError(request_failure(m_remote, "hole punch of " + std::to_string(m_punches.size()) +
                                                  " ranges from offset " + std::to_string(m_punches.front().offset) +
                                                  " failed",
                                    status));
  for (const HashRange& range : m_punches) m_punched += range.length;
  m_punches.clear();
  // The image refuses punching (a device without discard, say): zeros go
  // as data from now on.
  if (!m_refused.empty()) m_can_punch = false;
  for (const HashRange& range : m_refused) {
    m_punched -= range.length;
    write_zeros(range.offset, range.length);
  }
}

void SparseSender::write_zeros(long offset, long length) {
  for (long done = 0; done < length;) {
    long n = std::min(m_chunk, length - done);
    m_client.seek(offset + done, TARVELO_SEEK_SET);
    Transport::StatusCode status;
    long written = m_client.write_from(
        n,
        [](char* buffer, long bytes) {
          std::memset(buffer, 0, static_cast<std::size_t>(bytes));
          return true;
        },
        &status);
    if (written != n)
      throw ToolError(request_failure(m_remote, "write of " + std::to_string(n) + " zero bytes at offset " +
                                                    std::to_string(offset + done) + " failed",
                                      status));
    done += n;
    counted();
  }
}

void SparseSender::counted() {
  if (++m_requests < kRequestsPerAcknowledgement) return;
  // The punches' replies must not stand in the way of the acknowledgements'.
  flush();
  m_requests = 0;
  collect_acknowledgements(m_client, m_remote, m_failed);
}

ZeroRangePlanner::ZeroRangePlanner(TarveloFTPClient& client, const Remote& remote, long size, long chunk)
    : m_client(client),
      m_remote(remote),
      m_size(size),
      m_chunk(chunk),
      m_block(client.block_size()),
      m_stored((client.server_features() & FEATURE_BLOCK_HASH_STORAGE) != 0) {}

const std::vector<unsigned char>& ZeroRangePlanner::zero_hash(const HashRange& range) {
  auto& hash = m_zero_hashes[{m_stored ? range.offset % m_block : 0, range.length}];
  if (hash.empty()) {
    if (m_zeros.size() < static_cast<std::size_t>(range.length)) m_zeros.assign(static_cast<std::size_t>(range.length), 0);
    Transport::StatusCode status;
    hash = m_stored ? m_client.get_block_hash_local_at(range.offset, m_zeros.data(), range.length, &status)
                    : m_client.get_default_block_hashes_local(m_zeros.data(), range.length, 1, &status);
    if (hash.size() != m_client.hash_size()) throw ToolError("local hash failed: " + status.text);
  }
  return hash;
}

std::vector<bool> ZeroRangePlanner::not_zeros(const std::vector<HashRange>& ranges) {
  const std::size_t hash_bytes = m_client.hash_size();
  std::vector<bool> result;
  result.reserve(ranges.size());
  for (std::size_t first = 0; first < ranges.size(); first += kHashesPerBatch) {
    std::vector<HashRange> batch(ranges.begin() + static_cast<long>(first),
                                 ranges.begin() + static_cast<long>(std::min(ranges.size(), first + kHashesPerBatch)));
    Transport::StatusCode status;
    std::vector<unsigned char> hashes = m_client.get_block_hashes_remote(batch, &status);
    if (hashes.size() != batch.size() * hash_bytes)
      throw ToolError(request_failure(m_remote, "remote hash failed", status));
    for (std::size_t i = 0; i < batch.size(); ++i)
      result.push_back(std::memcmp(hashes.data() + i * hash_bytes, zero_hash(batch[i]).data(), hash_bytes) != 0);
  }
  return result;
}

std::vector<HashRange> ZeroRangePlanner::differing(const std::vector<HashRange>& ranges) {
  std::vector<bool> data = not_zeros(ranges);
  std::vector<HashRange> result;
  for (std::size_t i = 0; i < ranges.size(); ++i)
    if (data[i]) result.push_back(ranges[i]);
  return result;
}

std::vector<HashRange> ZeroRangePlanner::samples(long start, long end, long most) const {
  // One block at a scattered place in each of as many equal shares of the
  // window, every block of a small one: places that repeat from piece to
  // piece could all fall on a regular pattern of data among zeros.
  const long blocks = (end - start + m_block - 1) / m_block;
  const long count = std::min(blocks, most);
  std::vector<HashRange> result;
  for (long i = 0; i < count; ++i) {
    const long first = blocks * i / count;
    const long share = blocks * (i + 1) / count - first;
    const uint64_t mixed = (static_cast<uint64_t>(start / m_block + first) + 1) * 0x9E3779B97F4A7C15ull;
    const long offset = start + (first + static_cast<long>((mixed >> 33) % static_cast<uint64_t>(share))) * m_block;
    result.push_back({offset, std::min(m_block, end - offset)});
  }
  return result;
}

std::vector<HashRange> ZeroRangePlanner::plan(long start, long end) {
  auto whole = [&] {
    m_guessed = true;
    std::vector<HashRange> ranges;
    split_ranges(start, end, m_chunk, ranges);
    return ranges;
  };
  m_guessed = false;
  // Dense data costs the server a small read and hash per sample, where
  // finding its few zeros (which stay holes here anyway) would cost a
  // second pass over all of it.
  std::vector<HashRange> sampled_data;
  if (m_sampling) {
    std::vector<HashRange> sampled = samples(start, end, std::max(1L, (end - start) / kSparseGetSampleSpacing));
    sampled_data = differing(sampled);
    if (sampled_data.size() == sampled.size()) return whole();
  }
  // A server that reads the range takes at most one request's worth.
  const long largest = m_stored ? kSparseGetPieceRanges * m_size
                                : std::min(kSparseGetPieceRanges * m_size, TarveloFTPClient::kMaxRequestLength);
  const long piece = std::max(m_block, largest / m_block * m_block);
  const bool probe = m_layout != Layout::scattered && piece > m_size;
  // Pieces pay while this share of them turns out zeros.
  auto common = [](std::size_t zeros, std::size_t all) { return zeros * kNarrowWhenOneIn >= all; };
  std::vector<HashRange> pieces;
  std::vector<HashRange> candidates;
  std::vector<HashRange> wanted;
  std::size_t data_pieces = 0;
  if (probe) {
    split_ranges(start, end, piece, pieces);
    // A piece that a sample found data in needs no hash to say so.
    std::vector<HashRange> known;
    std::vector<HashRange> unknown;
    std::size_t next = 0;
    for (const HashRange& range : pieces) {
      while (next < sampled_data.size() && sampled_data[next].offset < range.offset) ++next;
      const bool data = next < sampled_data.size() && sampled_data[next].offset < range.offset + range.length;
      (data ? known : unknown).push_back(range);
    }
    // The pieces a sample found data in are sampled closer: one whose
    // samples are all data is fetched whole, without a hash pass over it.
    // Those samples go in the same round trip as the other pieces' hashes.
    std::vector<HashRange> asked = unknown;
    std::vector<std::size_t> firsts;  // of each known piece's samples in `asked`
    for (const HashRange& range : known) {
      firsts.push_back(asked.size());
      std::vector<HashRange> more = samples(range.offset, range.offset + range.length, kSparseGetPieceSamples);
      asked.insert(asked.end(), more.begin(), more.end());
    }
    firsts.push_back(asked.size());
    const std::vector<bool> answers = not_zeros(asked);
    for (std::size_t i = 0; i < unknown.size(); ++i)
      if (answers[i]) candidates.push_back(unknown[i]);
    candidates.insert(candidates.end(), known.begin(), known.end());
    std::sort(candidates.begin(), candidates.end(),
              [](const HashRange& a, const HashRange& b) { return a.offset < b.offset; });
    data_pieces = candidates.size();
    // Every piece holds data although a sample was zeros: the ranges of a
    // share of the pieces tell a few zero blocks in dense data from
    // scattered blocks, for a fraction of a second pass.
    if (candidates.size() == pieces.size()) {
      std::vector<HashRange> share;
      for (std::size_t i = 0; i < std::max<std::size_t>(1, pieces.size() / kNarrowWhenOneIn); ++i)
        split_ranges(pieces[i].offset, pieces[i].offset + pieces[i].length, m_size, share);
      if (!common(share.size() - differing(share).size(), share.size())) return whole();
    }
    if (candidates.empty()) return {};
    std::set<long> fetched_whole;
    for (std::size_t k = 0; k < known.size(); ++k) {
      if (!std::all_of(answers.begin() + static_cast<long>(firsts[k]),
                       answers.begin() + static_cast<long>(firsts[k + 1]), [](bool sample) { return sample; }))
        continue;
      fetched_whole.insert(known[k].offset);
      wanted.push_back(known[k]);
      m_guessed = true;
    }
    std::erase_if(candidates, [&](const HashRange& range) { return fetched_whole.count(range.offset) > 0; });
  } else {
    candidates.push_back({start, end - start});
  }

  std::vector<HashRange> ranges;
  for (const HashRange& range : candidates) split_ranges(range.offset, range.offset + range.length, m_size, ranges);
  const std::size_t first_ranges = ranges.size();
  std::size_t first_zeros = 0;
  long size = m_size;
  for (bool first = true; !ranges.empty(); first = false) {
    std::vector<HashRange> nonzero = differing(ranges);
    const std::size_t zeros = ranges.size() - nonzero.size();
    if (first) first_zeros = zeros;
    // Narrowing a range that turns out all data only costs hashes; going on
    // pays while zeros keep turning up.
    if (size <= m_block || zeros * kNarrowWhenOneIn < ranges.size()) {
      wanted.insert(wanted.end(), nonzero.begin(), nonzero.end());
      break;
    }
    size = std::max(m_block, (size / 4) / m_block * m_block);
    ranges.clear();
    for (const HashRange& range : nonzero) split_ranges(range.offset, range.offset + range.length, size, ranges);
  }
  std::sort(wanted.begin(), wanted.end(), [](const HashRange& a, const HashRange& b) { return a.offset < b.offset; });

  const bool sparse_at_size = first_ranges > 0 && common(first_zeros, first_ranges);
  if (!sparse_at_size || (probe && common(pieces.size() - data_pieces, pieces.size()))) {
    m_layout = Layout::unknown;
  } else if (probe) {
    m_layout = Layout::scattered;
  } else {
    // Scattered so far: probe pieces again once zero pieces are common.
    std::vector<HashRange> all;
    split_ranges(start, end, piece, all);
    std::size_t touched = 0;
    std::size_t next = 0;
    for (const HashRange& range : all) {
      while (next < wanted.size() && wanted[next].offset + wanted[next].length <= range.offset) ++next;
      if (next < wanted.size() && wanted[next].offset < range.offset + range.length) ++touched;
    }
    if (common(all.size() - touched, all.size())) m_layout = Layout::unknown;
  }
  return join_neighbours(wanted, m_chunk);
}

void ZeroRangePlanner::fetched(long fetched, long zero) {
  // Samples that saw only data where many zeros came after all fell on a
  // pattern: look closer from now on.
  if (m_guessed && zero * static_cast<long>(kNarrowWhenOneIn) >= fetched) m_sampling = false;
}

void sparse_get_windows(TarveloFTPClient& client, const Remote& remote, const LocalFile& out, long start, long count,
                        std::atomic<long>& next, long chunk, Progress& progress, const std::atomic<bool>& stop,
                        const std::function<long(const std::vector<HashRange>&)>& read) {
  const bool stored = (client.server_features() & FEATURE_BLOCK_HASH_STORAGE) != 0;
  const long block = client.block_size();
  const long size = std::max(block, (stored ? kDefaultBlockHashMergeRange : kDefaultMergeRange) / block * block);
  ZeroRangePlanner planner(client, remote, size, chunk);
  const long end = start + count;
  auto skipped = [&](long from, long to) {
    if (from >= to) return;
    if (!out.is_regular()) {
      // Large pieces: a thin image's holes are most of it, and in 64 KiB
      // writes a 16 GiB one cost a quarter of a million system calls.
      static const std::vector<char> zeros(kZeroPiece);
      for (long at = from; at < to; at += kZeroPiece)
        out.write_at(at - start, zeros.data(), std::min(kZeroPiece, to - at));
    }
    progress.add(to - from);
  };
  long width = kSparseGetWindow;
  while (!stop) {
    const long window = next.fetch_add(width);
    // Past the end, or wrapped around: the size comes from the server, and
    // one within a window of the largest offset would take the cursor there.
    if (window >= end || window < start) break;
    const long window_end = window + std::min(width, end - window);
    std::vector<HashRange> ranges = planner.plan(window, window_end);
    long at = window;
    long fetched = 0;
    for (const HashRange& range : ranges) {
      skipped(at, range.offset);
      at = range.offset + range.length;
      fetched += range.length;
    }
    skipped(at, window_end);
    planner.fetched(fetched, read(ranges));
    width = fetched * 8 < window_end - window ? kSparseGetWideWindow : kSparseGetWindow;
  }
}

}  // namespace tarvelo::tools
