// Block hashes and aggregate hashes over the hash file's entries.
//
// A range touches blocks floor(i / B) to ceil((i + L) / B) - 1 (internal
// offsets). Each touched block is hashed as B bytes with the bytes outside
// the range zero; the aggregate is the hash over those block hashes in
// order. Only hashes of whole blocks are ever stored.

#include <tarveloftp/BlockHashStore.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "StorageSupport.h"

namespace tarvelo {

void BlockHashStore::growHashBufferWhenNeeded(long size) {
  if (m_hash_buffer_size >= size) return;
  // Zeroed, so the meaningless hash bytes of entries marked not valid never
  // carry stale heap memory into the file.
  m_hash_buffer = std::make_unique<char[]>(static_cast<size_t>(size));
  m_hash_buffer_size = size;
}

unsigned long BlockHashStore::blocksPerPass() const {
  return std::max<unsigned long>(1, kPassBytes / m_header.block_size);
}

std::vector<unsigned char> BlockHashStore::get_hash(void* data, unsigned long length) const {
  if (!m_hash_function) return {};
  return m_hash_function->get_hash(data, static_cast<long>(length));
}

std::vector<unsigned char> BlockHashStore::get_hash(long offset, long length,
                                                    DataRequiredCallback dataRequired, bool store) {
  return get_hash(offset, length, std::move(dataRequired), HoleCallback(), store);
}

const std::vector<unsigned char>& BlockHashStore::zeroBlockHash() {
  if (m_zero_block_hash.empty()) {
    std::memset(m_block_buffer.get(), 0, m_header.block_size);
    m_zero_block_hash = m_hash_function->get_hash(m_block_buffer.get(), static_cast<long>(m_header.block_size));
    if (m_zero_block_hash.size() != hashSize()) throw std::runtime_error("failed to generate block hash");
  }
  return m_zero_block_hash;
}

std::vector<unsigned char> BlockHashStore::get_hash(long offset, long length,
                                                    DataRequiredCallback dataRequired, const HoleCallback& holes,
                                                    bool store) {
  throwOnAccessViolation("get_hash", offset, length);
  const uint64_t blockSize = m_header.block_size;
  const uint64_t begin = static_cast<uint64_t>(toInternalOffset(offset));
  const uint64_t end = begin + static_cast<uint64_t>(length);
  const uint64_t firstBlock = begin / blockSize;
  const uint64_t endBlock = (end + blockSize - 1) / blockSize;
  const uint64_t perPass = blocksPerPass();

  // Large ranges go in passes of whole blocks; the aggregate takes the block
  // hashes of each pass as they come, so it equals the one-piece digest.
  auto aggregate = m_hash_function->start_incremental();
  for (uint64_t block = firstBlock; block < endBlock; block += perPass) {
    uint64_t passEnd = std::min(endBlock, block + perPass);
    uint64_t from = std::max(begin, block * blockSize);
    uint64_t to = std::min(end, passEnd * blockSize);
    hashPass(fromInternalOffset(static_cast<long>(from)), static_cast<long>(to - from), dataRequired, holes,
             *aggregate, store);
  }
  std::vector<unsigned char> digest = aggregate->final();
  if (digest.empty()) throw std::runtime_error("failed to hash aggregate hashes");
  return digest;
}

void BlockHashStore::hashPass(long offset, long length, const DataRequiredCallback& dataRequired,
                              const HoleCallback& holes, IHashFunction::Incremental& aggregate, bool store) {
  const uint64_t entrySize = getHashEntrySize(hashSize());
  const uint64_t hashBytes = hashSize();
  const uint64_t blockSize = m_header.block_size;
  const uint64_t internal = static_cast<uint64_t>(toInternalOffset(offset));
  const uint64_t start = internal / blockSize * blockSize;
  const uint64_t end = internal + static_cast<uint64_t>(length);
  const uint64_t endAligned = (end + blockSize - 1) / blockSize * blockSize;
  const uint64_t head = internal % blockSize;
  const uint64_t tail = endAligned - end;
  const uint64_t firstWhole = (internal + blockSize - 1) / blockSize;
  const uint64_t endWhole = end / blockSize;
  const uint64_t wholeCount = endWhole > firstWhole ? endWhole - firstWhole : 0;
  const uint64_t touched = (endAligned - start) / blockSize;
  const uint64_t firstWholeSlot = head != 0 ? 1 : 0;

  growHashBufferWhenNeeded(static_cast<long>((wholeCount + 2) * entrySize));
  char* slots = m_hash_buffer.get();
  const long entriesAt = static_cast<long>(m_header.data_offset + firstWhole * entrySize);
  const long entriesBytes = static_cast<long>(wholeCount * entrySize);

  if (wholeCount > 0) {
    if (m_reader.seek(entriesAt, SEEK_SET) != entriesAt)
      storage::throwErrno("failed to seek in hash file: " + std::to_string(entriesAt));
    if (!validReadWrite(entriesBytes, m_reader.read(slots + firstWholeSlot * entrySize, entriesBytes)))
      storage::throwErrno("failed to read hash value: " + std::to_string(offset));
  }

  // Runs of needed image bytes, merged where they meet.
  std::vector<long> runOffsets;
  std::vector<long> runLengths;
  std::vector<uint64_t> runFirstSlots;
  auto need = [&](long at, long count, uint64_t slot) {
    if (!runOffsets.empty() && runOffsets.back() + runLengths.back() == at) {
      runLengths.back() += count;
      return;
    }
    runOffsets.push_back(at);
    runLengths.push_back(count);
    runFirstSlots.push_back(slot);
  };
  // Whole blocks in a hole are zeros: stored as such, without their data.
  bool filled = false;
  std::pair<long, long> hole{-1, -1};
  auto in_hole = [&](long at) {
    if (!holes) return false;
    if (at >= hole.second) hole = holes(at, fromInternalOffset(static_cast<long>(endAligned)));
    return hole.first <= at && at + static_cast<long>(blockSize) <= hole.second;
  };
  for (uint64_t slot = 0; slot < touched; ++slot) {
    if (slot == 0 && (head != 0 || static_cast<uint64_t>(length) < blockSize)) {
      need(offset, static_cast<long>(std::min(blockSize - head, static_cast<uint64_t>(length))), slot);
    } else if (tail != 0 && slot == touched - 1) {
      need(fromInternalOffset(static_cast<long>(end / blockSize * blockSize)),
           static_cast<long>(blockSize - tail), slot);
    } else if ((slots[slot * entrySize] & kEntryValid) != 0) {
    } else if (in_hole(fromInternalOffset(static_cast<long>(start + slot * blockSize)))) {
      char* entry = slots + slot * entrySize;
      entry[0] = static_cast<char>(kEntryValid);
      std::memcpy(entry + 1, zeroBlockHash().data(), hashBytes);
      filled = true;
    } else {
      need(fromInternalOffset(static_cast<long>(start + slot * blockSize)), static_cast<long>(blockSize),
           slot);
    }
  }

  if (!runOffsets.empty()) {
    std::vector<std::unique_ptr<char[]>> buffers = dataRequired(runOffsets, runLengths);
    bool complete = buffers.size() == runOffsets.size();
    for (size_t run = 0; complete && run < buffers.size(); ++run)
      complete = buffers[run] != nullptr || runLengths[run] == 0;
    if (!complete) storage::throwErrno("expected more image data than was returned while hashing");

    auto keep = [&](uint64_t slot, const unsigned char* hash) {
      if (slot >= touched) throw std::runtime_error("failed to generate block hash");
      char* entry = slots + slot * entrySize;
      entry[0] = static_cast<char>(kEntryValid);
      std::memcpy(entry + 1, hash, hashBytes);
    };
    std::vector<unsigned char> digests;
    for (size_t run = 0; run < runOffsets.size(); ++run) {
      uint64_t slot = runFirstSlots[run];
      char* bytes = buffers[run].get();
      uint64_t remaining = static_cast<uint64_t>(runLengths[run]);
      uint64_t within = static_cast<uint64_t>(toInternalOffset(runOffsets[run])) % blockSize;
      // A run starting inside a block is hashed even when empty: that block
      // is touched, and reads as zeros.
      bool pending = true;
      while (remaining > 0 || pending) {
        pending = false;
        if (within == 0 && remaining >= blockSize) {
          // The whole blocks of the run, hashed together.
          uint64_t whole = remaining / blockSize;
          digests.resize(whole * hashBytes);
          if (!m_hash_function->get_hashes(digests.data(), bytes, static_cast<long>(blockSize),
                                           static_cast<long>(whole)))
            throw std::runtime_error("failed to generate block hash");
          for (uint64_t i = 0; i < whole; ++i) keep(slot + i, digests.data() + i * hashBytes);
          bytes += whole * blockSize;
          remaining -= whole * blockSize;
          slot += whole;
        } else {
          uint64_t count = std::min(blockSize - within, remaining);
          std::memset(m_block_buffer.get(), 0, blockSize);
          if (count > 0) std::memcpy(m_block_buffer.get() + within, bytes, count);
          std::vector<unsigned char> hash = m_hash_function->get_hash(m_block_buffer.get(), static_cast<long>(blockSize));
          if (hash.size() != hashBytes) throw std::runtime_error("failed to generate block hash");
          keep(slot, hash.data());
          bytes += count;
          remaining -= count;
          within = 0;
          ++slot;
        }
      }
    }
  }

  if (wholeCount > 0 && store && (!runOffsets.empty() || filled)) {
    if (m_reader.seek(entriesAt, SEEK_SET) != entriesAt)
      storage::throwErrno("failed to seek in hash file during update: " + std::to_string(entriesAt));
    if (!validReadWrite(entriesBytes, m_reader.write(slots + firstWholeSlot * entrySize,
                                                     static_cast<unsigned long>(entriesBytes))))
      storage::throwErrno("failed to write hash: " + std::to_string(offset));
  }

  std::vector<char> hashes(touched * hashBytes);
  for (uint64_t slot = 0; slot < touched; ++slot)
    std::memcpy(hashes.data() + slot * hashBytes, slots + slot * entrySize + 1, hashBytes);
  if (!hashes.empty() && !aggregate.update(hashes.data(), hashes.size()))
    throw std::runtime_error("failed to hash aggregate hashes");
}

void BlockHashStore::update_hashes(long offset, void* data, long length) {
  update_hashes_internal(offset, data, length, false);
}

void BlockHashStore::invalidate_hashes(long offset, long length) {
  update_hashes_internal(offset, nullptr, length, true);
}

void BlockHashStore::update_hashes_internal(long offset, void* data, long length, bool invalidate) {
  throwOnAccessViolation("update_hashes", offset, length);
  const uint64_t entrySize = getHashEntrySize(hashSize());
  const uint64_t hashBytes = hashSize();
  const uint64_t blockSize = m_header.block_size;
  const uint64_t internal = static_cast<uint64_t>(toInternalOffset(offset));
  const uint64_t head = internal % blockSize;
  const uint64_t end = internal + static_cast<uint64_t>(length);
  const uint64_t endAligned = (end + blockSize - 1) / blockSize * blockSize;
  const uint64_t firstBlock = internal / blockSize;
  const uint64_t touched = (endAligned - firstBlock * blockSize) / blockSize;
  if (touched == 0) return;
  if (!invalidate && data == nullptr) throw std::runtime_error("encountered a null buffer while updating hashes");

  // One write per pass keeps the buffer bounded for huge invalidations.
  const uint64_t perPass = blocksPerPass();
  std::vector<unsigned char> digests;
  for (uint64_t passStart = 0; passStart < touched; passStart += perPass) {
    uint64_t count = std::min(perPass, touched - passStart);
    growHashBufferWhenNeeded(static_cast<long>(count * entrySize));
    char* slots = m_hash_buffer.get();
    // Blocks the data covers whole get their hash, all at once; a partial
    // first or last block can only be marked not valid.
    uint64_t wholeFrom = passStart;
    uint64_t wholeTo = passStart + count;
    if (invalidate) wholeTo = wholeFrom;
    if (wholeFrom == 0 && (head != 0 || static_cast<uint64_t>(length) < blockSize)) ++wholeFrom;
    if (wholeTo == touched && end != endAligned && wholeTo > wholeFrom) --wholeTo;
    if (wholeTo > wholeFrom) {
      digests.resize((wholeTo - wholeFrom) * hashBytes);
      const char* bytes = static_cast<const char*>(data) + (wholeFrom * blockSize - head);
      if (!m_hash_function->get_hashes(digests.data(), bytes, static_cast<long>(blockSize),
                                       static_cast<long>(wholeTo - wholeFrom)))
        throw std::runtime_error("failed to compute hash from data");
    }
    for (uint64_t block = passStart; block < passStart + count; ++block) {
      char* entry = slots + (block - passStart) * entrySize;
      if (block < wholeFrom || block >= wholeTo) {
        entry[0] = 0;
        continue;
      }
      entry[0] = static_cast<char>(kEntryValid);
      std::memcpy(entry + 1, digests.data() + (block - wholeFrom) * hashBytes, hashBytes);
    }
    const long at = static_cast<long>(m_header.data_offset + (firstBlock + passStart) * entrySize);
    const long bytes = static_cast<long>(count * entrySize);
    if (m_reader.seek(at, SEEK_SET) != at)
      storage::throwErrno("failed to seek in hash file: " + std::to_string(at));
    if (!validReadWrite(bytes, m_reader.write(slots, static_cast<unsigned long>(bytes))))
      storage::throwErrno("failed to write hash: " + std::to_string(offset));
  }
}

bool BlockHashStore::sync_to_disk() { return m_reader.fsync() == 0; }

}  // namespace tarvelo
