#include "Sparse.h"

#include "Transfers.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

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
    m_client.seek(at, TARVELO_SEEK_SET);
    Transport::StatusCode status;
    long written = m_client.write_from(
        n,
        [&](char* buffer, long count) {
          if (m_file.read_at(at, buffer, count) != count)
            throw ToolError("cannot read " + m_file.path() + " at offset " + std::to_string(at) +
                            ": the file changed size");
          for (long block = 0; block < count && !mixed; block += kZeroBlock)
            mixed = all_zero(buffer + block, std::min(kZeroBlock, count - block));
          if (mixed) m_mixed.assign(buffer, buffer + count);
          return !mixed;
        },
        &status);
    if (mixed) {
      sent += write_buffer(at, m_mixed.data(), n);
    } else if (written != n) {
      throw ToolError(request_failure(m_remote, "write of " + std::to_string(n) + " bytes at offset " +
                                                    std::to_string(at) + " failed",
                                      status));
    } else {
      sent += n;
      counted();
    }
    done += n;
  }
  return sent;
}

long SparseSender::write_buffer(long offset, const char* data, long length) {
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
      long written = m_client.write_from(
          count,
          [&](char* buffer, long bytes) {
            std::memcpy(buffer, data + at, static_cast<std::size_t>(bytes));
            return true;
          },
          &status);
      if (written != count)
        throw ToolError(request_failure(m_remote, "write of " + std::to_string(count) + " bytes at offset " +
                                                      std::to_string(offset + at) + " failed",
                                        status));
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

std::vector<HashRange> nonzero_ranges(TarveloFTPClient& client, const Remote& remote, long start, long end,
                                      long size, long chunk) {
  const long block = client.block_size();
  const bool stored = (client.server_features() & FEATURE_BLOCK_HASH_STORAGE) != 0;
  const std::size_t hash_bytes = client.hash_size();
  // Against stored block hashes a range's hash depends on where it starts
  // within a block, too.
  std::map<std::pair<long, long>, std::vector<unsigned char>> zero_hashes;
  std::vector<char> zeros;
  auto zero_hash = [&](const HashRange& range) -> const std::vector<unsigned char>& {
    auto& hash = zero_hashes[{stored ? range.offset % block : 0, range.length}];
    if (hash.empty()) {
      if (zeros.size() < static_cast<std::size_t>(range.length)) zeros.assign(static_cast<std::size_t>(range.length), 0);
      Transport::StatusCode status;
      hash = stored ? client.get_block_hash_local_at(range.offset, zeros.data(), range.length, &status)
                    : client.get_default_block_hashes_local(zeros.data(), range.length, 1, &status);
      if (hash.size() != hash_bytes) throw ToolError("local hash failed: " + status.text);
    }
    return hash;
  };

  std::vector<HashRange> wanted;
  std::vector<HashRange> ranges;
  split_ranges(start, end, size, ranges);
  while (!ranges.empty()) {
    std::vector<HashRange> differing;
    for (std::size_t first = 0; first < ranges.size(); first += kHashesPerBatch) {
      std::vector<HashRange> batch(ranges.begin() + static_cast<long>(first),
                                   ranges.begin() + static_cast<long>(std::min(ranges.size(), first + kHashesPerBatch)));
      Transport::StatusCode status;
      std::vector<unsigned char> hashes = client.get_block_hashes_remote(batch, &status);
      if (hashes.size() != batch.size() * hash_bytes)
        throw ToolError(request_failure(remote, "remote hash failed", status));
      for (std::size_t i = 0; i < batch.size(); ++i)
        if (std::memcmp(hashes.data() + i * hash_bytes, zero_hash(batch[i]).data(), hash_bytes) != 0)
          differing.push_back(batch[i]);
    }
    // Narrowing a range that turns out all data only costs hashes; going on
    // pays while zeros keep turning up.
    bool narrow = size > block && (ranges.size() - differing.size()) * kNarrowWhenOneIn >= ranges.size();
    if (!narrow) {
      wanted.insert(wanted.end(), differing.begin(), differing.end());
      break;
    }
    size = std::max(block, (size / 4) / block * block);
    ranges.clear();
    for (const HashRange& range : differing) split_ranges(range.offset, range.offset + range.length, size, ranges);
  }
  std::sort(wanted.begin(), wanted.end(), [](const HashRange& a, const HashRange& b) { return a.offset < b.offset; });
  std::vector<HashRange> joined;
  for (const HashRange& range : wanted) {
    if (!joined.empty() && joined.back().offset + joined.back().length == range.offset &&
        joined.back().length + range.length <= chunk)
      joined.back().length += range.length;
    else
      joined.push_back(range);
  }
  return joined;
}

void sparse_get_windows(TarveloFTPClient& client, const Remote& remote, const LocalFile& out, long start, long count,
                        int index, int sessions, long chunk, Progress& progress, const std::atomic<bool>& stop,
                        const std::function<void(const std::vector<HashRange>&)>& read) {
  const bool stored = (client.server_features() & FEATURE_BLOCK_HASH_STORAGE) != 0;
  const long block = client.block_size();
  const long size = std::max(block, (stored ? kDefaultBlockHashMergeRange : kDefaultMergeRange) / block * block);
  const long end = start + count;
  auto skipped = [&](long from, long to) {
    if (from >= to) return;
    if (!out.is_regular())
      for (long at = from; at < to; at += static_cast<long>(sizeof kZeros))
        out.write_at(at - start, kZeros, std::min<long>(sizeof kZeros, to - at));
    progress.add(to - from);
  };
  for (long window = start + index * kSparseGetWindow; window < end && !stop;
       window += sessions * kSparseGetWindow) {
    long window_end = std::min(end, window + kSparseGetWindow);
    std::vector<HashRange> ranges = nonzero_ranges(client, remote, window, window_end, size, chunk);
    long at = window;
    for (const HashRange& range : ranges) {
      skipped(at, range.offset);
      at = range.offset + range.length;
    }
    skipped(at, window_end);
    read(ranges);
  }
}

}  // namespace tarvelo::tools
