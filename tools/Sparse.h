#pragma once

// Sparse transfers: put turns runs of zero blocks into hole punches instead
// of data, and get fetches only the ranges whose remote hash is not the
// hash of zeros, leaving the rest as holes.

#include <atomic>
#include <functional>
#include <string>
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
  // Sends the punches still held back; due before the session's write
  // acknowledgements are collected, and before punched() is final.
  void flush();
  long punched() const { return m_punched; }

 private:
  long send_data(long offset, long length);
  long write_buffer(long offset, const char* data, long length);
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

// Plans the ranges of [start, end) of the remote image that get must fetch:
// ranges are compared with the hash of zeros in steps of `size` bytes (a
// multiple of the server's block size), and those that differ narrowed by
// quarters while narrowing still finds zeros. Sorted, neighbours joined up
// to `chunk` bytes.
std::vector<HashRange> nonzero_ranges(TarveloFTPClient& client, const Remote& remote, long start, long end,
                                      long size, long chunk);

// Image bytes planned and then read at a time by one session of a sparse
// get: the server reads again soon what it just hashed, while it is cached.
inline constexpr long kSparseGetWindow = 64L << 20;

// The sparse part of get for session `index` of `sessions`: every
// sessions-th window of the image range [start, start + count), planned by
// nonzero_ranges() and handed to `read`. The zero ranges stay holes in a
// regular file (already sized) and are written as zeros anywhere else.
void sparse_get_windows(TarveloFTPClient& client, const Remote& remote, const LocalFile& out, long start, long count,
                        int index, int sessions, long chunk, Progress& progress, const std::atomic<bool>& stop,
                        const std::function<void(const std::vector<HashRange>&)>& read);

}  // namespace tarvelo::tools
