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

// The first hole of `fd` in [offset, end), clipped to it; an empty extent
// when there is none or the file system cannot say (block devices report
// all data). `file_size` bounds a hole that runs to the end of the file.
HoleExtent next_hole(int fd, long offset, long end, long file_size);

// Whether `hole`, as next_hole found it for [offset, offset + length),
// is all of that range.
inline bool whole_hole(const HoleExtent& hole, long offset, long length) {
  return length > 0 && hole.start == offset && hole.end == offset + length;
}

// Fills `buffer` with [offset, offset + length) of `fd`, a range inside its
// `file_size` bytes, given `hole`, next_hole's answer for that range: the
// data are read, the holes zeroed without a read (reading them fills the
// page cache with pages of zeros). Returns the bytes read from data, or -1
// when the range is not inside, a read failed or the file ended early.
long read_over_holes(int fd, long offset, long length, long file_size, HoleExtent hole, char* buffer);

// BLAKE2b of `length` zero bytes. Made once per length and kept (up to a
// bound, so that clients asking for ever new lengths cannot grow it); safe
// from any thread.
std::array<unsigned char, crypto::kBlake2bHashSize> zero_digest(long length);

}  // namespace tarvelo::detail
