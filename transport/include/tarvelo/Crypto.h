#pragma once

#include <cstddef>
#include <cstdint>

#include <tarvelo/Export.h>

namespace tarvelo::crypto {

inline constexpr std::size_t kBlake2bHashSize = 32;
using blake2b_hash_t = unsigned char[kBlake2bHashSize];

class TARVELO_TRANSPORT_EXPORT Blake2b {
 public:
  // 32-byte BLAKE2b digest of `length` bytes; false when it cannot be made.
  static bool hash(blake2b_hash_t& out, void* data, long length);
  static bool hash(blake2b_hash_t& out, const void* data, long length);

  // Digests of `count` messages of `length` bytes each, stored one after the
  // other from `data`, written to `out` in order (count x 32 bytes). Up to
  // `lanes` of them are hashed side by side where the processor has wide
  // vector units (four with AVX2, eight with AVX-512), several times faster
  // than one at a time; the digests are the same. False when they cannot be
  // made.
  static bool hash_each(unsigned char* out, const void* data, std::size_t length, std::size_t count,
                        std::size_t lanes = 8);

  // Incremental form: feeding the same bytes in pieces gives the same digest.
  Blake2b();
  bool update(const void* data, std::size_t length);
  bool final(blake2b_hash_t& out);

 private:
  alignas(64) unsigned char m_state[384];
};

class TARVELO_TRANSPORT_EXPORT XSalsa20 {
 public:
  static constexpr std::size_t kKeySize = 32;
  // Fills both arrays with a new public/secret key pair.
  static void key_pair(unsigned char (&public_key)[32], unsigned char (&secret_key)[32]);
  // True when `public_key` is the public key of `secret_key`.
  static bool is_key_pair(const unsigned char (&public_key)[32], const unsigned char (&secret_key)[32]);
};

// Keyed 16-byte checksum (Poly1305) for telling whether bytes changed since
// they were last seen: for anyone who does not know the key, two different
// inputs of up to a few KiB share a tag with a chance below 2^-90.
class TARVELO_TRANSPORT_EXPORT Poly1305 {
 public:
  static constexpr std::size_t kKeySize = 32;
  static constexpr std::size_t kTagSize = 16;
  static void new_key(unsigned char (&key)[kKeySize]);
  static void tag(unsigned char (&out)[kTagSize], const void* data, std::size_t length,
                  const unsigned char (&key)[kKeySize]);
};

class TARVELO_TRANSPORT_EXPORT Random {
 public:
  // Uniformly random 32-bit value; 0 can occur.
  static uint32_t int32();
};

// Compares two byte ranges of equal length in time independent of their
// contents, for secrets such as passphrases.
TARVELO_TRANSPORT_EXPORT bool constant_time_equal(const void* a, const void* b, std::size_t length);

}  // namespace tarvelo::crypto
