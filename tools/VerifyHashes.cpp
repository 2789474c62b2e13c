#include "VerifyHashes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <tarvelo/Crypto.h>
#include <tarveloftp/BlockHashStore.h>
#include <tarveloftp/Coding.h>
#include <tarveloftp/FileSystem.h>

#include "Report.h"

namespace tarvelo::tools {

namespace {

constexpr std::size_t kListed = 5;  // block numbers shown per kind of finding

// Reads `length` bytes at `offset`, or as many as the file has there; -1
// on error.
long read_at(int fd, char* buffer, long length, long offset) {
  bool failed = false;
  long total = FileSystem::readFullyAt(fd, buffer, length, offset, &failed);
  return failed ? -1 : total;
}

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

int verify_hashes(const std::string& image_path, std::ostream& out, std::ostream& err,
                  const std::string& hash_directory, bool json) {
  const std::string hash_path = BlockHashStore::hashFilePath(image_path, hash_directory);
  Descriptor image{open(image_path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (image.fd < 0) {
    err << "verify-hashes: cannot open " << image_path << ": " << std::strerror(errno) << "\n";
    return 2;
  }
  Descriptor hashes{open(hash_path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (hashes.fd < 0) {
    err << "verify-hashes: cannot open " << hash_path << ": " << std::strerror(errno) << "\n";
    return 2;
  }
  char header[BlockHashStore::kHeaderBytes];
  if (read_at(hashes.fd, header, sizeof(header), 0) != static_cast<long>(sizeof(header))) {
    err << "verify-hashes: " << hash_path << " is too short to hold a header\n";
    return 2;
  }
  uint64_t magic = DecodeFixed64LE(header + BlockHashStore::kMagicField);
  uint64_t data_offset = DecodeFixed64LE(header + BlockHashStore::kDataOffsetField);
  uint32_t block_size = DecodeFixed32LE(header + BlockHashStore::kBlockSizeField);
  uint64_t target_size = DecodeFixed64LE(header + BlockHashStore::kTargetSizeField);
  int64_t partition = static_cast<int64_t>(DecodeFixed64LE(header + BlockHashStore::kPartitionOffsetField));
  uint32_t hash_id = DecodeFixed32LE(header + BlockHashStore::kHashIdField);
  uint64_t image_size = FileSystem::File::size(image_path);
  std::string problem;
  if (magic != BlockHashStore::kMagic) problem = "bad magic number";
  else if (hash_id != HASH_FUNCTION_BLAKE2B) problem = "unknown hash id " + std::to_string(hash_id);
  else if (block_size == 0 || block_size > BlockHashStore::kMaxBlockSize)
    problem = "bad block size " + std::to_string(block_size);
  else if (data_offset != BlockHashStore::computeHeaderSize()) problem = "bad data offset";
  else if (target_size != image_size)
    problem = "sized for an image of " + std::to_string(target_size) + " bytes, the image has " +
              std::to_string(image_size);
  if (!problem.empty()) {
    err << "verify-hashes: " << hash_path << ": " << problem << "\n";
    return 2;
  }

  const unsigned long entry_size = BlockHashStore::getHashEntrySize(crypto::kBlake2bHashSize);
  const unsigned long blocks = BlockHashStore::bytesToBlocks(target_size, block_size);
  // A bounded number of entries and blocks at a time, whatever the image size.
  const unsigned long batch = 1024;
  std::vector<char> entries(batch * entry_size);
  std::vector<char> data(static_cast<std::size_t>(block_size));
  VerifyReport report;
  report.image = image_path;
  report.blocks = blocks;
  report.block_size = block_size;
  for (unsigned long first = 0; first < blocks; first += batch) {
    unsigned long count = std::min(batch, blocks - first);
    long want = static_cast<long>(count * entry_size);
    if (read_at(hashes.fd, entries.data(), want, static_cast<long>(data_offset + first * entry_size)) != want) {
      err << "verify-hashes: " << hash_path << " is shorter than its entries\n";
      return 2;
    }
    for (unsigned long i = 0; i < count; ++i) {
      const char* entry = entries.data() + i * entry_size;
      unsigned long block = first + i;
      if ((entry[0] & BlockHashStore::kEntryValid) == 0) {
        ++report.invalid;
        if (report.first_invalid.size() < kListed) report.first_invalid.push_back(block);
        continue;
      }
      ++report.valid;
      std::fill(data.begin(), data.end(), 0);
      long offset = static_cast<long>(partition + static_cast<int64_t>(block) * block_size);
      if (read_at(image.fd, data.data(), block_size, offset) < 0) {
        err << "verify-hashes: cannot read " << image_path << " at " << offset << ": "
            << std::strerror(errno) << "\n";
        return 2;
      }
      crypto::blake2b_hash_t digest;
      crypto::Blake2b::hash(digest, data.data(), block_size);
      if (std::memcmp(digest, entry + 1, crypto::kBlake2bHashSize) != 0) {
        ++report.mismatched;
        if (report.first_mismatched.size() < kListed) report.first_mismatched.push_back(block);
      }
    }
  }
  print(report, json, out);
  return report.mismatched == 0 ? 0 : 1;
}

}  // namespace tarvelo::tools
