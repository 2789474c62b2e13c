// The narrowing of put --merge, driven by scripted hashes of two in-memory
// images instead of a server.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "Merge.h"

namespace tarvelo {
namespace {

using tools::HashRange;

constexpr long kBlock = 4096;
constexpr long kRange = 64 * 1024;
// Four whole ranges and a short tail, which ends in a short block.
constexpr long kImage = 4 * kRange + 1000;

// Each side hashes its ranges from its own image (FNV-1a, 8 bytes); the
// remote side records what it was asked each round.
class ScriptedSides : public tools::HashSides {
 public:
  ScriptedSides(std::vector<char> local, std::vector<char> remote)
      : m_local(std::move(local)), m_remote(std::move(remote)) {}
  std::size_t hash_size() const override { return 8; }
  std::vector<unsigned char> local(const std::vector<HashRange>& ranges, bool,
                                   const std::atomic<bool>&) override {
    return hashes(m_local, ranges);
  }
  std::vector<unsigned char> remote(const std::vector<HashRange>& ranges, bool,
                                    const std::atomic<bool>&) override {
    asked.push_back(ranges);
    return hashes(m_remote, ranges);
  }
  std::vector<std::vector<HashRange>> asked;

 private:
  static std::vector<unsigned char> hashes(const std::vector<char>& image, const std::vector<HashRange>& ranges) {
    std::vector<unsigned char> out;
    for (const HashRange& range : ranges) {
      uint64_t hash = 14695981039346656037ull;
      for (long i = range.offset; i < range.offset + range.length; ++i)
        hash = (hash ^ static_cast<unsigned char>(image.at(static_cast<std::size_t>(i)))) * 1099511628211ull;
      unsigned char bytes[8];
      std::memcpy(bytes, &hash, sizeof(bytes));
      out.insert(out.end(), bytes, bytes + sizeof(bytes));
    }
    return out;
  }
  std::vector<char> m_local;
  std::vector<char> m_remote;
};

std::vector<std::pair<long, long>> pairs(const std::vector<HashRange>& ranges) {
  std::vector<std::pair<long, long>> out;
  for (const HashRange& range : ranges) out.emplace_back(range.offset, range.length);
  return out;
}

tools::MergePlan narrow(ScriptedSides& sides) {
  tools::MergePlan plan;
  tools::narrow_to_blocks(kBlock, kRange, 0, kImage, sides, plan);
  return plan;
}

TEST(MergeTest, NarrowingFindsTheBlocksThatDiffer) {
  std::vector<char> image(kImage);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + i / 4096);

  // Equal images: one round of the first ranges, nothing to send.
  ScriptedSides equal(image, image);
  tools::MergePlan plan = narrow(equal);
  EXPECT_TRUE(plan.changed.empty());
  EXPECT_EQ(plan.first_ranges, 5u);
  EXPECT_EQ(plan.first_differing, 0u);
  EXPECT_EQ(equal.asked.size(), 1u);

  // The first block of range 0, the last of range 1, one in the middle of
  // range 2, and the short last block; range 3 is equal.
  std::vector<char> changed = image;
  for (long at : {10L, 2 * kRange - 1, 2 * kRange + 8 * kBlock + 5, 4 * kRange + 999}) ++changed[static_cast<std::size_t>(at)];
  ScriptedSides scattered(changed, image);
  plan = narrow(scattered);
  EXPECT_EQ(pairs(plan.changed), (std::vector<std::pair<long, long>>{
                                     {0, kBlock}, {2 * kRange - kBlock, kBlock}, {2 * kRange + 8 * kBlock, kBlock},
                                     {4 * kRange, 1000}}));
  EXPECT_EQ(plan.first_differing, 4u);
  // By quarters: 64 KiB, then 16 KiB inside the four that differ, then
  // blocks inside the four 16 KiB pieces that still differ; the equal range
  // is never asked about again.
  ASSERT_EQ(scattered.asked.size(), 3u);
  EXPECT_EQ(scattered.asked[1].size(), 3u * 4 + 1);
  EXPECT_EQ(scattered.asked[2].size(), 3u * 4 + 1);
  for (const auto& round : {scattered.asked[1], scattered.asked[2]})
    for (const HashRange& range : round) EXPECT_FALSE(range.offset >= 3 * kRange && range.offset < 4 * kRange);

  // A range that differs everywhere comes back as all its blocks, in order.
  changed = image;
  for (long at = kRange; at < 2 * kRange; ++at) ++changed[static_cast<std::size_t>(at)];
  ScriptedSides whole(changed, image);
  plan = narrow(whole);
  ASSERT_EQ(plan.changed.size(), static_cast<std::size_t>(kRange / kBlock));
  for (std::size_t i = 0; i < plan.changed.size(); ++i)
    EXPECT_EQ(pairs({plan.changed[i]}).front(), std::make_pair(kRange + static_cast<long>(i) * kBlock, kBlock));
}

}  // namespace
}  // namespace tarvelo
