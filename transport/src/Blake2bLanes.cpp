// BLAKE2b-256 of several equal-length messages at once: lane i of each
// vector register holds the state of message i, so one pass of the rounds
// hashes four (AVX2) or eight (AVX-512) messages. A single message cannot go
// faster than its chain of rounds allows; several side by side can. The
// digests are those of the one-message function, which the tests check.

#include "Blake2bLanes.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

// GCC 12's AVX-512 intrinsics start from a deliberately undefined register,
// which its own flow analysis then reports at every use.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace tarvelo::crypto::detail {
namespace {

constexpr std::size_t kBlockBytes = 128;

constexpr uint64_t kIv[8] = {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                             0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
                             0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};

constexpr uint8_t kSigma[12][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3}};

// Parameter block of an unkeyed 32-byte digest: digest length, key length 0,
// fan-out and depth 1.
constexpr uint64_t kParameters = 0x01010000ULL ^ 32;

// The 128-byte block `index` of each lane's message: read in place, or
// copied with zeros after the message's end (the last, short block).
template <std::size_t Lanes>
struct BlockSources {
  const unsigned char* at[Lanes];
  alignas(64) unsigned char padded[Lanes][kBlockBytes];

  void point(const unsigned char* const messages[Lanes], std::size_t length, std::size_t index) {
    std::size_t offset = index * kBlockBytes;
    if (offset + kBlockBytes <= length) {
      for (std::size_t lane = 0; lane < Lanes; ++lane) at[lane] = messages[lane] + offset;
      return;
    }
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
      std::memset(padded[lane], 0, kBlockBytes);
      if (length > offset) std::memcpy(padded[lane], messages[lane] + offset, length - offset);
      at[lane] = padded[lane];
    }
  }
};

// The rounds over any vector type, its operations given as macros (lambdas
// would not inherit the functions' instruction-set targets).
#define TARVELO_G(ADD, XOR, R32, R24, R16, R63, a, b, c, d, x, y) \
  a = ADD(ADD(a, b), x);                                          \
  d = R32(XOR(d, a));                                             \
  c = ADD(c, d);                                                  \
  b = R24(XOR(b, c));                                             \
  a = ADD(ADD(a, b), y);                                          \
  d = R16(XOR(d, a));                                             \
  c = ADD(c, d);                                                  \
  b = R63(XOR(b, c));

#define TARVELO_ROUNDS(...)                                                                   \
  for (int round = 0; round < 12; ++round) {                                                  \
    const uint8_t* s = kSigma[round];                                                         \
    TARVELO_G(__VA_ARGS__, v[0], v[4], v[8], v[12], m[s[0]], m[s[1]])                         \
    TARVELO_G(__VA_ARGS__, v[1], v[5], v[9], v[13], m[s[2]], m[s[3]])                         \
    TARVELO_G(__VA_ARGS__, v[2], v[6], v[10], v[14], m[s[4]], m[s[5]])                        \
    TARVELO_G(__VA_ARGS__, v[3], v[7], v[11], v[15], m[s[6]], m[s[7]])                        \
    TARVELO_G(__VA_ARGS__, v[0], v[5], v[10], v[15], m[s[8]], m[s[9]])                        \
    TARVELO_G(__VA_ARGS__, v[1], v[6], v[11], v[12], m[s[10]], m[s[11]])                      \
    TARVELO_G(__VA_ARGS__, v[2], v[7], v[8], v[13], m[s[12]], m[s[13]])                       \
    TARVELO_G(__VA_ARGS__, v[3], v[4], v[9], v[14], m[s[14]], m[s[15]])                       \
  }

#define AVX2_ADD(a, b) _mm256_add_epi64(a, b)
#define AVX2_XOR(a, b) _mm256_xor_si256(a, b)
#define AVX2_R32(x) _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1))
#define AVX2_R24(x) _mm256_shuffle_epi8(x, rotate24)
#define AVX2_R16(x) _mm256_shuffle_epi8(x, rotate16)
#define AVX2_R63(x) _mm256_or_si256(_mm256_srli_epi64(x, 63), _mm256_add_epi64(x, x))

#define AVX512_ADD(a, b) _mm512_add_epi64(a, b)
#define AVX512_XOR(a, b) _mm512_xor_si512(a, b)
#define AVX512_R32(x) _mm512_ror_epi64(x, 32)
#define AVX512_R24(x) _mm512_ror_epi64(x, 24)
#define AVX512_R16(x) _mm512_ror_epi64(x, 16)
#define AVX512_R63(x) _mm512_ror_epi64(x, 63)

__attribute__((target("avx2"))) void hash4(unsigned char* const out[4],
                                           const unsigned char* const messages[4],
                                           std::size_t length) {
  const __m256i rotate24 = _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10, 3, 4,
                                            5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10);
  const __m256i rotate16 = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9, 2, 3,
                                            4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9);
  __m256i h[8];
  for (int i = 0; i < 8; ++i) h[i] = _mm256_set1_epi64x(static_cast<long long>(kIv[i]));
  h[0] = _mm256_xor_si256(h[0], _mm256_set1_epi64x(static_cast<long long>(kParameters)));
  std::size_t blocks = length == 0 ? 1 : (length + kBlockBytes - 1) / kBlockBytes;
  BlockSources<4> sources;
  for (std::size_t block = 0; block < blocks; ++block) {
    bool last = block + 1 == blocks;
    sources.point(messages, length, block);
    // Word w of the four lanes' blocks, by transposing 4x4 words at a time.
    __m256i m[16];
    for (int w = 0; w < 16; w += 4) {
      __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sources.at[0] + 8 * w));
      __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sources.at[1] + 8 * w));
      __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sources.at[2] + 8 * w));
      __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sources.at[3] + 8 * w));
      __m256i ab_even = _mm256_unpacklo_epi64(a, b);
      __m256i ab_odd = _mm256_unpackhi_epi64(a, b);
      __m256i cd_even = _mm256_unpacklo_epi64(c, d);
      __m256i cd_odd = _mm256_unpackhi_epi64(c, d);
      m[w] = _mm256_permute2x128_si256(ab_even, cd_even, 0x20);
      m[w + 1] = _mm256_permute2x128_si256(ab_odd, cd_odd, 0x20);
      m[w + 2] = _mm256_permute2x128_si256(ab_even, cd_even, 0x31);
      m[w + 3] = _mm256_permute2x128_si256(ab_odd, cd_odd, 0x31);
    }
    uint64_t counter = last ? length : (block + 1) * kBlockBytes;
    __m256i v[16];
    for (int i = 0; i < 8; ++i) v[i] = h[i];
    for (int i = 0; i < 8; ++i) v[8 + i] = _mm256_set1_epi64x(static_cast<long long>(kIv[i]));
    v[12] = _mm256_xor_si256(v[12], _mm256_set1_epi64x(static_cast<long long>(counter)));
    if (last) v[14] = _mm256_xor_si256(v[14], _mm256_set1_epi64x(-1));
    TARVELO_ROUNDS(AVX2_ADD, AVX2_XOR, AVX2_R32, AVX2_R24, AVX2_R16, AVX2_R63)
    for (int i = 0; i < 8; ++i) h[i] = _mm256_xor_si256(h[i], _mm256_xor_si256(v[i], v[i + 8]));
  }
  alignas(32) uint64_t words[4][4];
  for (int i = 0; i < 4; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(words[i]), h[i]);
  for (int lane = 0; lane < 4; ++lane)
    for (int i = 0; i < 4; ++i) std::memcpy(out[lane] + 8 * i, &words[i][lane], 8);
}

__attribute__((target("avx512f"))) void hash8(unsigned char* const out[8],
                                              const unsigned char* const messages[8],
                                              std::size_t length) {
  __m512i h[8];
  for (int i = 0; i < 8; ++i) h[i] = _mm512_set1_epi64(static_cast<long long>(kIv[i]));
  h[0] = _mm512_xor_si512(h[0], _mm512_set1_epi64(static_cast<long long>(kParameters)));
  std::size_t blocks = length == 0 ? 1 : (length + kBlockBytes - 1) / kBlockBytes;
  BlockSources<8> sources;
  for (std::size_t block = 0; block < blocks; ++block) {
    bool last = block + 1 == blocks;
    sources.point(messages, length, block);
    // Word w of the eight lanes' blocks, gathered from their addresses.
    __m512i addresses = _mm512_set_epi64(
        reinterpret_cast<long long>(sources.at[7]), reinterpret_cast<long long>(sources.at[6]),
        reinterpret_cast<long long>(sources.at[5]), reinterpret_cast<long long>(sources.at[4]),
        reinterpret_cast<long long>(sources.at[3]), reinterpret_cast<long long>(sources.at[2]),
        reinterpret_cast<long long>(sources.at[1]), reinterpret_cast<long long>(sources.at[0]));
    __m512i m[16];
    for (int w = 0; w < 16; ++w)
      m[w] = _mm512_i64gather_epi64(_mm512_add_epi64(addresses, _mm512_set1_epi64(8 * w)), nullptr, 1);
    uint64_t counter = last ? length : (block + 1) * kBlockBytes;
    __m512i v[16];
    for (int i = 0; i < 8; ++i) v[i] = h[i];
    for (int i = 0; i < 8; ++i) v[8 + i] = _mm512_set1_epi64(static_cast<long long>(kIv[i]));
    v[12] = _mm512_xor_si512(v[12], _mm512_set1_epi64(static_cast<long long>(counter)));
    if (last) v[14] = _mm512_xor_si512(v[14], _mm512_set1_epi64(-1));
    TARVELO_ROUNDS(AVX512_ADD, AVX512_XOR, AVX512_R32, AVX512_R24, AVX512_R16, AVX512_R63)
    for (int i = 0; i < 8; ++i) h[i] = _mm512_xor_si512(h[i], _mm512_xor_si512(v[i], v[i + 8]));
  }
  alignas(64) uint64_t words[4][8];
  for (int i = 0; i < 4; ++i) _mm512_store_si512(words[i], h[i]);
  for (int lane = 0; lane < 8; ++lane)
    for (int i = 0; i < 4; ++i) std::memcpy(out[lane] + 8 * i, &words[i][lane], 8);
}

}  // namespace

std::size_t lanes_supported() {
  static const std::size_t lanes = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return std::size_t{8};
    if (__builtin_cpu_supports("avx2")) return std::size_t{4};
    return std::size_t{1};
  }();
  return lanes;
}

std::size_t hash_lanes(unsigned char* out, const unsigned char* data, std::size_t length,
                       std::size_t count, std::size_t lanes) {
  lanes = std::min(lanes, lanes_supported());
  std::size_t done = 0;
  // Groups of Lanes consecutive messages while that many are left.
  auto groups = [&]<std::size_t Lanes>(void (*hash)(unsigned char* const*, const unsigned char* const*,
                                                    std::size_t)) {
    for (; count - done >= Lanes; done += Lanes) {
      const unsigned char* messages[Lanes];
      unsigned char* digests[Lanes];
      for (std::size_t lane = 0; lane < Lanes; ++lane) {
        messages[lane] = data + (done + lane) * length;
        digests[lane] = out + (done + lane) * kDigestBytes;
      }
      hash(digests, messages, length);
    }
  };
  if (lanes >= 8) groups.template operator()<8>(hash8);
  if (lanes >= 4) groups.template operator()<4>(hash4);
  return done;
}

}  // namespace tarvelo::crypto::detail
