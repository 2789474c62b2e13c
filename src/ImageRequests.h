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

}  // namespace tarvelo::detail
