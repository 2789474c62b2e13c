#pragma once

// Sparse transfers: put turns runs of zero blocks into hole punches instead
// of data, and get fetches only the ranges whose remote hash is not the
// hash of zeros, leaving the rest as holes.

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Merge.h"
#include "Session.h"

namespace tarvelo::tools {

// Granularity at which zeros are found and skipped.
inline constexpr long kZeroBlock = 4096;

// Whether `length` bytes at `data` are all zero; stops at the first word
// that is not, so dense data cost almost nothing.
bool all_zero(const char* data, long length);

// Sends ranges of a local file to the remote image at the same offsets:
// the file's holes (found with SEEK_DATA/SEEK_HOLE, without reading) and
// zero blocks of its data are punched, the rest written. Punches are held
// back and sent together, their replies collected after, so that a
// scattered file does not cost a round trip per hole. One session, used
// from one thread.
class SparseSender {
 public:
  SparseSender(TarveloFTPClient& client, const Remote& remote, const LocalFile& file, long chunk,
               std::vector<std::string>& failed);
  // Bytes written as data.
  long send(long offset, long length);
  // As send() for bytes already in memory (read from a stream): zero blocks
  // are punched, the rest written. Bytes written as data.
  long send_buffer(long offset, const char* data, long length);
  // Sends the punches still held back; due before the session's write
  // acknowledgements are collected, and before punched() is final.
  void flush();
  long punched() const { return m_punched; }

 private:
  long send_data(long offset, long length);
  void punch(long offset, long length);
  void write_zeros(long offset, long length);
  void counted();

  TarveloFTPClient& m_client;
  const Remote& m_remote;
  const LocalFile& m_file;
  long m_chunk;
  std::vector<std::string>& m_failed;
  bool m_can_punch;
  int m_requests = 0;
  long m_punched = 0;
  std::vector<HashRange> m_punches;  // held back, not yet sent
  std::vector<HashRange> m_refused;
  std::vector<char> m_mixed;  // a request's bytes that turned out to hold zero blocks
};

// Image bytes planned and then read at a time by one session of a sparse
// get: the server reads again soon what it just hashed, while it is cached.
// After a window that was mostly holes the next is wider, for fewer round
// trips over a thin image; dense data keep the narrow one, whose reads
// stay close to the other sessions'.
inline constexpr long kSparseGetWindow = 64L << 20;
inline constexpr long kSparseGetWideWindow = 1024L << 20;
// A window is probed first in pieces of this many ranges: the server
// answers the hash of a piece that lies in a hole of its image without
// reading, so a window that is mostly holes is settled in one round trip,
// while a piece with data costs it only a small read and hash.
inline constexpr long kSparseGetPieceRanges = 16;

// A window is sampled first in a block per this many bytes: when none of
// them is zeros, the window is taken for dense data and fetched whole. A
// piece with a sample of data is sampled again in this many more, and
// fetched whole, unhashed, when they are all data too: a wrong guess costs
// at most a few per cent more bytes than the data, where hashing costs a
// pass.
inline constexpr long kSparseGetSampleSpacing = 1L << 20;
inline constexpr long kSparseGetPieceSamples = 8;

// Plans, window after window, the ranges of the remote image a sparse get
// must fetch. A window whose samples are all data is fetched whole (its
// zero blocks still stay holes here, only their bytes travel). Otherwise
// its pieces are compared with the hash of zeros (or sampled closer, when a
// sample already found data in them); those that differ are
// compared again in steps of `size` bytes (a multiple of the server's block
// size) and narrowed by quarters while narrowing still finds zeros. After
// scattered data (zeros at `size` but few zero pieces) the pieces are
// skipped until zero pieces are common again; a session's first window
// skips them too. One session, used from one thread.
class ZeroRangePlanner {
 public:
  ZeroRangePlanner(TarveloFTPClient& client, const Remote& remote, long size, long chunk);
  // The ranges of [start, end) to fetch: sorted, neighbours joined up to
  // `chunk` bytes.
  std::vector<HashRange> plan(long start, long end);
  // What the fetch of a planned window found: `zero` of its `fetched`
  // bytes were zero blocks after all.
  void fetched(long fetched, long zero);

 private:
  enum class Layout { unknown, scattered };
  // Up to `most` blocks of [start, end), spread over it.
  std::vector<HashRange> samples(long start, long end, long most) const;
  // Whether each range's remote hash is not that of zeros; in round trips
  // of up to a few thousand hashes.
  std::vector<bool> not_zeros(const std::vector<HashRange>& ranges);
  std::vector<HashRange> differing(const std::vector<HashRange>& ranges);
  const std::vector<unsigned char>& zero_hash(const HashRange& range);

  TarveloFTPClient& m_client;
  const Remote& m_remote;
  const long m_size;
  const long m_chunk;
  const long m_block;
  const bool m_stored;
  // The first window is compared range by range: whatever the layout, that
  // costs no more than one pass, and it tells the layout.
  Layout m_layout = Layout::scattered;
  bool m_sampling = true;
  bool m_guessed = false;  // the last window planned fetches ranges whole on the samples' word
  // Against stored block hashes a range's hash depends on where it starts
  // within a block, too: keyed by that and the length.
  std::map<std::pair<long, long>, std::vector<unsigned char>> m_zero_hashes;
  std::vector<char> m_zeros;
};

// The sparse part of get for one session: windows of the image range
// [start, start + count), each taken from `next` (shared by the sessions,
// which take them in turn), planned by a ZeroRangePlanner and handed to
// `read`, which returns how many of the bytes it fetched were zero blocks.
// The zero ranges stay holes in a regular file (already sized) and are
// written as zeros anywhere else.
void sparse_get_windows(TarveloFTPClient& client, const Remote& remote, const LocalFile& out, long start, long count,
                        std::atomic<long>& next, long chunk, Progress& progress, const std::atomic<bool>& stop,
                        const std::function<long(const std::vector<HashRange>&)>& read);

}  // namespace tarvelo::tools
