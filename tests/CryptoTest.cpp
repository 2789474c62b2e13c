#include <tarvelo/Crypto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TestSupport.h"

namespace tarvelo::crypto {
namespace {

// Messages hashed side by side must give each message's own digest, whatever
// the length (empty, short last blocks, whole blocks), the count (groups of
// eight and four with a remainder) and the lanes allowed.
TEST(CryptoTest, MessagesHashedSideBySideGiveTheirOwnDigests) {
  std::vector<char> data = test::random_bytes(20 * 5000, 21);
  for (std::size_t length : {0ul, 1ul, 127ul, 128ul, 129ul, 4096ul, 5000ul}) {
    for (std::size_t count : {1ul, 3ul, 4ul, 8ul, 13ul, 20ul}) {
      std::vector<unsigned char> expected(count * kBlake2bHashSize);
      for (std::size_t i = 0; i < count; ++i)
        ASSERT_TRUE(Blake2b::hash(*reinterpret_cast<blake2b_hash_t*>(&expected[i * kBlake2bHashSize]),
                                  data.data() + i * length, static_cast<long>(length)));
      for (std::size_t lanes : {1ul, 4ul, 8ul}) {
        std::vector<unsigned char> digests(count * kBlake2bHashSize);
        ASSERT_TRUE(Blake2b::hash_each(digests.data(), data.data(), length, count, lanes));
        EXPECT_EQ(digests, expected) << "length " << length << ", count " << count << ", lanes " << lanes;
      }
    }
  }
  EXPECT_FALSE(Blake2b::hash_each(nullptr, data.data(), 4096, 1));
}

}  // namespace
}  // namespace tarvelo::crypto
