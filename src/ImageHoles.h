#pragma once

// Holes of an image file, found with SEEK_DATA/SEEK_HOLE, and the digests
// of all-zero ranges, so that hashes of ranges that are holes are answered
// without reading or hashing the image.

#include <array>

#include <tarvelo/Crypto.h>

namespace tarvelo::detail {

struct HoleExtent {
  long start;
  long end;  // start == end: no hole
};

// Finds the holes of one file for many ranges, remembering the last hole
// and the last run of data the system told of: the ranges of a batch of
// requests mostly fall inside what the one before learned (a window of a
// thin image asks for dozens of ranges in one hole), and then need no
// system call. What it remembers is as old as the batch, like the data a
// batch reads ahead; it is for ranges asked together, not for keeping.
class HoleFinder {
 public:
  HoleFinder(int fd, long file_size) : m_fd(fd), m_file_size(file_size) {}
  // The first hole in [offset, end), clipped to it; an empty extent when
  // there is none or the file system cannot say (block devices report all
  // data). The file size bounds a hole that runs to the end of the file.
  HoleExtent next_hole(long offset, long end);
  int fd() const { return m_fd; }
  long file_size() const { return m_file_size; }

 private:
  // Where data begin at or after `at`: m_file_size when none follow, -1
  // when the file system cannot say.
  long data_from(long at);
  // Where the data that begin at `at` end: the next hole, or m_file_size.
  long hole_from(long at);

  int m_fd;
  long m_file_size;
  long m_hole_start = 0, m_hole_end = 0;  // [start, end) is a hole; data (or the end) follow
  long m_data_start = 0, m_data_end = 0;  // [start, end) is data; a hole (or the end) follows
};

// Whether `hole`, as HoleFinder::next_hole found it for [offset, offset + length),
// is all of that range.
inline bool whole_hole(const HoleExtent& hole, long offset, long length) {
  return length > 0 && hole.start == offset && hole.end == offset + length;
}

// Fills `buffer` with [offset, offset + length) of the finder's file, a
// range inside its size, given `hole`, next_hole's answer for that range:
// the data are read, the holes zeroed without a read (reading them fills
// the page cache with pages of zeros). Returns the bytes read from data, or
// -1 when the range is not inside, a read failed or the file ended early.
long read_over_holes(HoleFinder& holes, long offset, long length, HoleExtent hole, char* buffer);

// BLAKE2b of `length` zero bytes. Made once per length and kept (up to a
// bound, so that clients asking for ever new lengths cannot grow it); safe
// from any thread.
std::array<unsigned char, crypto::kBlake2bHashSize> zero_digest(long length);

}  // namespace tarvelo::detail
