#pragma once

// Byte-order helpers: big-endian for the wire, little-endian for the hash
// file and the journal. Encode* writes into a buffer, Decode* reads from one;
// the Checked forms take the end of the buffer and fail instead of reading
// past it. Nothing is ever copied to or from a buffer as a structure image.

#include <cstddef>
#include <cstdint>

namespace tarvelo {

template <typename T>
inline void EncodeBigEndian(char* dst, T value) {
  for (int i = static_cast<int>(sizeof(T)) - 1; i >= 0; --i) {
    dst[i] = static_cast<char>(static_cast<uint64_t>(value) & 0xff);
    value = static_cast<T>(static_cast<uint64_t>(value) >> 8);
  }
}

template <typename T>
inline T DecodeBigEndian(const char* src) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    value = (value << 8) | static_cast<unsigned char>(src[i]);
  return static_cast<T>(value);
}

template <typename T>
inline void EncodeLittleEndian(char* dst, T value) {
  uint64_t bits = static_cast<uint64_t>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    dst[i] = static_cast<char>(bits & 0xff);
    bits >>= 8;
  }
}

template <typename T>
inline T DecodeLittleEndian(const char* src) {
  uint64_t value = 0;
  for (int i = static_cast<int>(sizeof(T)) - 1; i >= 0; --i)
    value = (value << 8) | static_cast<unsigned char>(src[i]);
  return static_cast<T>(value);
}

inline void EncodeFixed64BE(char* dst, uint64_t value) { EncodeBigEndian<uint64_t>(dst, value); }
inline void EncodeFixed32BE(char* dst, uint32_t value) { EncodeBigEndian<uint32_t>(dst, value); }
inline uint64_t DecodeFixed64BE(const char* src) { return DecodeBigEndian<uint64_t>(src); }
inline uint32_t DecodeFixed32BE(const char* src) { return DecodeBigEndian<uint32_t>(src); }

inline void EncodeFixed64LE(char* dst, uint64_t value) { EncodeLittleEndian<uint64_t>(dst, value); }
inline void EncodeFixed32LE(char* dst, uint32_t value) { EncodeLittleEndian<uint32_t>(dst, value); }
inline void EncodeFixed16LE(char* dst, uint16_t value) { EncodeLittleEndian<uint16_t>(dst, value); }
inline uint64_t DecodeFixed64LE(const char* src) { return DecodeLittleEndian<uint64_t>(src); }
inline uint32_t DecodeFixed32LE(const char* src) { return DecodeLittleEndian<uint32_t>(src); }
inline uint16_t DecodeFixed16LE(const char* src) { return DecodeLittleEndian<uint16_t>(src); }

// Reads a big-endian 64-bit value at `offset` when the buffer of `size`
// bytes holds it; false otherwise, and *out is untouched.
[[nodiscard]] inline bool DecodeFixed64BEChecked(const char* buffer, std::size_t size,
                                                 std::size_t offset, uint64_t* out) {
  if (offset > size || size - offset < 8) return false;
  *out = DecodeFixed64BE(buffer + offset);
  return true;
}

[[nodiscard]] inline bool DecodeFixed32BEChecked(const char* buffer, std::size_t size,
                                                 std::size_t offset, uint32_t* out) {
  if (offset > size || size - offset < 4) return false;
  *out = DecodeFixed32BE(buffer + offset);
  return true;
}

}  // namespace tarvelo
