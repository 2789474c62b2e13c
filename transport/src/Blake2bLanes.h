#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvelo::crypto::detail {

inline constexpr std::size_t kDigestBytes = 32;

// Messages this processor hashes side by side: 8 (AVX-512), 4 (AVX2) or 1.
std::size_t lanes_supported();

// Hashes the first messages of `count`, each `length` bytes, one after the
// other from `data`, in groups of at most `lanes` side by side, and writes
// their 32-byte digests to `out` in order. Returns how many it hashed: a
// multiple of 4, leaving the rest (and everything, without vector lanes)
// to the one-message function.
std::size_t hash_lanes(unsigned char* out, const unsigned char* data, std::size_t length,
                       std::size_t count, std::size_t lanes);

}  // namespace tarvelo::crypto::detail
