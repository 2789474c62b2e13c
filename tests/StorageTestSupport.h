#pragma once

// Helpers of the block storage tests: error texts, an independent
// computation of aggregate hashes, an image served to the hash store, and
// the offline check of a hash file.

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "VerifyHashes.h"

namespace tarvelo::test {

// The text of what `action` throws, or "no error".
template <typename Action>
std::string error_of(Action&& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no error";
}

inline std::vector<unsigned char> blake2b(const void* data, std::size_t length) {
  std::vector<unsigned char> digest(32);
  crypto_generichash_blake2b(digest.data(), 32, static_cast<const unsigned char*>(data), length, nullptr, 0);
  return digest;
}

// The aggregate hash of image[offset, offset + length) for block size
// `block` and partition offset `partition`, straight from its definition.
inline std::vector<unsigned char> reference_aggregate(const std::vector<char>& image, long partition,
                                                      long block, long offset, long length) {
  long begin = offset - partition;
  long end = begin + length;
  long first = begin / block;
  long last = (end + block - 1) / block;
  std::vector<unsigned char> hashes;
  std::vector<char> buffer(static_cast<std::size_t>(block));
  for (long k = first; k < last; ++k) {
    for (long j = 0; j < block; ++j) {
      long at = k * block + j;
      buffer[static_cast<std::size_t>(j)] =
          at >= begin && at < end ? image[static_cast<std::size_t>(at + partition)] : 0;
    }
    auto hash = blake2b(buffer.data(), buffer.size());
    hashes.insert(hashes.end(), hash.begin(), hash.end());
  }
  return blake2b(hashes.data(), hashes.size());
}

// An in-memory image handed out through the data-required callback, which
// records every call.
struct ServedImage {
  std::vector<char> bytes;
  std::vector<std::vector<long>> offsets;
  std::vector<std::vector<long>> lengths;

  std::vector<std::unique_ptr<char[]>> operator()(const std::vector<long>& runOffsets,
                                                  const std::vector<long>& runLengths) {
    offsets.push_back(runOffsets);
    lengths.push_back(runLengths);
    std::vector<std::unique_ptr<char[]>> buffers;
    for (std::size_t run = 0; run < runOffsets.size(); ++run) {
      auto buffer = std::make_unique<char[]>(static_cast<std::size_t>(runLengths[run]));
      std::memcpy(buffer.get(), bytes.data() + runOffsets[run], static_cast<std::size_t>(runLengths[run]));
      buffers.push_back(std::move(buffer));
    }
    return buffers;
  }
};

// Runs the offline checker on the hash file of `image`; its exit status,
// which must be 0: every entry marked valid matches the image.
inline int verify_hash_file(const std::string& image) {
  std::ostringstream out, err;
  int status = tools::verify_hashes(image, out, err);
  EXPECT_EQ(status, 0) << out.str() << err.str();
  return status;
}

}  // namespace tarvelo::test
