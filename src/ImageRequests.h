#pragma once

// Helpers shared by the server's direct and block-hashing commands.

#include <cstdint>

#include <tarvelo/Message.h>
#include <tarveloftp/Coding.h>
#include <tarveloftp/Protocol.h>

namespace tarvelo::detail {

// The offset and length fields of a READ, WRITE, HOLE_PUNCH or HASH request.
struct Range {
  int64_t offset;
  int64_t length;
};

inline Range decode_range(const Message& request) {
  return {DecodeBigEndian<int64_t>(request.buffer() + wire::kOffset),
          DecodeBigEndian<int64_t>(request.buffer() + wire::kLength)};
}

// True when the range lies within an image of `file_size` bytes.
inline bool inside_image(const Range& range, int64_t file_size) {
  return range.offset >= 0 && range.length >= 0 && range.offset <= file_size &&
         range.length <= file_size - range.offset;
}

// Reads from the descriptor's position until `length` bytes arrived, the end
// of the file, or an error (-1 when nothing was read); a read may return
// less than asked when interrupted.
long read_fully(int fd, char* buffer, long length);
// Writes all `length` bytes unless an error stops it; -1 when nothing was
// written.
long write_fully(int fd, const char* buffer, long length);

}  // namespace tarvelo::detail
