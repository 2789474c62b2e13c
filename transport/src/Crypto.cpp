#include <tarvelo/Crypto.h>

#include <cstdlib>
#include <cstring>

#include <sodium.h>

#include "Blake2bLanes.h"

namespace tarvelo::crypto {
namespace {

static_assert(sizeof(crypto_generichash_blake2b_state) <= 384);

// sodium_init() is itself idempotent, but making it a function-local static
// also makes the first call thread-safe and pays the check once.
void ensure_initialised() {
  static const bool initialised = [] {
    if (sodium_init() < 0) std::abort();  // no safe randomness: nothing can continue
    return true;
  }();
  (void)initialised;
}

crypto_generichash_blake2b_state* state_of(unsigned char* bytes) {
  return reinterpret_cast<crypto_generichash_blake2b_state*>(bytes);
}

}  // namespace

bool Blake2b::hash(blake2b_hash_t& out, void* data, long length) {
  return hash(out, static_cast<const void*>(data), length);
}

bool Blake2b::hash(blake2b_hash_t& out, const void* data, long length) {
  ensure_initialised();
  if (length < 0 || (data == nullptr && length != 0)) return false;
  return crypto_generichash_blake2b(out, kBlake2bHashSize, static_cast<const unsigned char*>(data),
                                    static_cast<unsigned long long>(length), nullptr, 0) == 0;
}

bool Blake2b::hash_each(unsigned char* out, const void* data, std::size_t length, std::size_t count,
                        std::size_t lanes) {
  ensure_initialised();
  if (count == 0) return true;
  if (out == nullptr || (data == nullptr && length != 0)) return false;
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::size_t done = detail::hash_lanes(out, bytes, length, count, lanes);
  for (; done < count; ++done)
    if (crypto_generichash_blake2b(out + done * kBlake2bHashSize, kBlake2bHashSize, bytes + done * length,
                                   length, nullptr, 0) != 0)
      return false;
  return true;
}

Blake2b::Blake2b() {
  ensure_initialised();
  crypto_generichash_blake2b_init(state_of(m_state), nullptr, 0, kBlake2bHashSize);
}

bool Blake2b::update(const void* data, std::size_t length) {
  return crypto_generichash_blake2b_update(state_of(m_state),
                                           static_cast<const unsigned char*>(data), length) == 0;
}

bool Blake2b::final(blake2b_hash_t& out) {
  return crypto_generichash_blake2b_final(state_of(m_state), out, kBlake2bHashSize) == 0;
}

void XSalsa20::key_pair(unsigned char (&public_key)[32], unsigned char (&secret_key)[32]) {
  ensure_initialised();
  static_assert(crypto_box_PUBLICKEYBYTES == 32 && crypto_box_SECRETKEYBYTES == 32);
  crypto_box_keypair(public_key, secret_key);
}

bool XSalsa20::is_key_pair(const unsigned char (&public_key)[32],
                           const unsigned char (&secret_key)[32]) {
  ensure_initialised();
  unsigned char derived[crypto_scalarmult_BYTES];
  if (crypto_scalarmult_base(derived, secret_key) != 0) return false;
  bool matches = sodium_memcmp(derived, public_key, sizeof(derived)) == 0;
  sodium_memzero(derived, sizeof(derived));
  return matches;
}

void Poly1305::new_key(unsigned char (&key)[kKeySize]) {
  ensure_initialised();
  crypto_onetimeauth_keygen(key);
}

void Poly1305::tag(unsigned char (&out)[kTagSize], const void* data, std::size_t length,
                   const unsigned char (&key)[kKeySize]) {
  static_assert(kKeySize == crypto_onetimeauth_KEYBYTES && kTagSize == crypto_onetimeauth_BYTES);
  ensure_initialised();
  crypto_onetimeauth(out, static_cast<const unsigned char*>(data), length, key);
}

uint32_t Random::int32() {
  ensure_initialised();
  return randombytes_random();
}

bool constant_time_equal(const void* a, const void* b, std::size_t length) {
  ensure_initialised();
  return sodium_memcmp(a, b, length) == 0;
}

}  // namespace tarvelo::crypto
