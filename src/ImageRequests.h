#pragma once

// Helpers shared by the server's direct and block-hashing commands: the
// decode and validate helpers are inline, so this header has no source file
// of its own.

#include <cstdint>
#include <limits>

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

// What is wrong with a request's range, the first fault found in this order.
// Every command checks its range with validate_range before any work and
// answers each fault with its own response; which faults it tolerates (a
// read past the end comes back short) is its own choice, made in one place.
enum range_fault_t {
  RANGE_VALID = 0,
  RANGE_NEGATIVE_LENGTH,
  RANGE_TOO_LONG,  // longer than the command's cap
  RANGE_NEGATIVE_OFFSET,
  RANGE_EMPTY,     // zero length, for a command that refuses it
  RANGE_PAST_END,  // reaches past the end of the image
};

inline constexpr int64_t kNoLengthCap = std::numeric_limits<int64_t>::max();

enum empty_range_t { EMPTY_ALLOWED, EMPTY_REFUSED };

[[nodiscard]] inline range_fault_t validate_range(const Range& range, int64_t file_size, int64_t max_length,
                                                  empty_range_t empty = EMPTY_ALLOWED) {
  if (range.length < 0) return RANGE_NEGATIVE_LENGTH;
  if (range.length > max_length) return RANGE_TOO_LONG;
  if (range.offset < 0) return RANGE_NEGATIVE_OFFSET;
  if (range.length == 0 && empty == EMPTY_REFUSED) return RANGE_EMPTY;
  if (!inside_image(range, file_size)) return RANGE_PAST_END;
  return RANGE_VALID;
}

}  // namespace tarvelo::detail
