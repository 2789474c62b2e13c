#include "ImageHoles.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <mutex>
#include <stdexcept>

#include <tarveloftp/FileSystem.h>

#include "ImageRequests.h"

namespace tarvelo::detail {

namespace {

// Distinct lengths kept; clients use a handful (their range sizes).
constexpr std::size_t kKeptLengths = 64;

// Where the data at or after `offset` begins: `file_size` when none
// follows, -1 when the file system cannot say.
long next_data(int fd, long offset, long file_size) {
  long data = ::lseek(fd, offset, SEEK_DATA);
  if (data >= 0) return data;
  return errno == ENXIO ? file_size : -1;
}

}  // namespace

HoleExtent next_hole(int fd, long offset, long end, long file_size) {
  const HoleExtent none{end, end};
  end = std::min(end, file_size);
  if (offset < 0 || offset >= end) return none;
  long data = next_data(fd, offset, file_size);
  if (data < 0) return none;
  long start = offset;
  if (data == offset) {
    start = ::lseek(fd, offset, SEEK_HOLE);
    if (start < 0 || start >= end) return none;
    data = next_data(fd, start, file_size);
    if (data < 0) return none;
  }
  return {start, std::min(data, end)};
}

long read_over_holes(int fd, long offset, long length, long file_size, HoleExtent hole, char* buffer) {
  if (!inside_image({offset, length}, file_size)) return -1;
  const long end = offset + length;
  long read = 0;
  for (long at = offset; at < end;) {
    const long data = hole.start - at;
    if (data > 0) {
      if (FileSystem::readFullyAt(fd, buffer + (at - offset), data, at) != data) return -1;
      read += data;
    }
    if (hole.start == hole.end) break;
    std::memset(buffer + (hole.start - offset), 0, static_cast<std::size_t>(hole.end - hole.start));
    at = hole.end;
    if (at < end) hole = next_hole(fd, at, end, file_size);
  }
  return read;
}

std::array<unsigned char, crypto::kBlake2bHashSize> zero_digest(long length) {
  static std::mutex mutex;
  static std::map<long, std::array<unsigned char, crypto::kBlake2bHashSize>> kept;
  {
    std::lock_guard lock(mutex);
    auto found = kept.find(length);
    if (found != kept.end()) return found->second;
  }
  // Fresh zero pages from calloc cost no memory until written.
  std::unique_ptr<char, decltype(&std::free)> zeros(
      static_cast<char*>(std::calloc(static_cast<std::size_t>(std::max(1L, length)), 1)), &std::free);
  if (!zeros) throw std::bad_alloc();
  crypto::blake2b_hash_t digest;
  if (!crypto::Blake2b::hash(digest, zeros.get(), length)) throw std::runtime_error("cannot hash zeros");
  std::array<unsigned char, crypto::kBlake2bHashSize> result;
  std::memcpy(result.data(), digest, result.size());
  std::lock_guard lock(mutex);
  if (kept.size() < kKeptLengths) kept.emplace(length, result);
  return result;
}

}  // namespace tarvelo::detail
