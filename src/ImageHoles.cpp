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

}  // namespace

long HoleFinder::data_from(long at) {
  if (at >= m_hole_start && at < m_hole_end) return m_hole_end;
  if (at >= m_data_start && at < m_data_end) return at;
  long data = ::lseek(m_fd, at, SEEK_DATA);
  if (data < 0) {
    if (errno != ENXIO) return -1;
    data = m_file_size;
  }
  if (data > at) {
    m_hole_start = at;
    m_hole_end = data;
  }
  return data;
}

long HoleFinder::hole_from(long at) {
  if (at >= m_data_start && at < m_data_end) return m_data_end;
  long hole = ::lseek(m_fd, at, SEEK_HOLE);
  if (hole > at) {
    m_data_start = at;
    m_data_end = hole;
  }
  return hole;
}

HoleExtent HoleFinder::next_hole(long offset, long end) {
  const HoleExtent none{end, end};
  end = std::min(end, m_file_size);
  if (offset < 0 || offset >= end) return none;
  long data = data_from(offset);
  if (data < 0) return none;
  long start = offset;
  if (data == offset) {
    start = hole_from(offset);
    if (start < 0 || start >= end) return none;
    data = data_from(start);
    if (data < 0) return none;
  }
  return {start, std::min(data, end)};
}

long read_over_holes(HoleFinder& holes, long offset, long length, HoleExtent hole, char* buffer) {
  if (!inside_image({offset, length}, holes.file_size())) return -1;
  const long end = offset + length;
  long read = 0;
  for (long at = offset; at < end;) {
    const long data = hole.start - at;
    if (data > 0) {
      if (FileSystem::readFullyAt(holes.fd(), buffer + (at - offset), data, at) != data) return -1;
      read += data;
    }
    if (hole.start == hole.end) break;
    std::memset(buffer + (hole.start - offset), 0, static_cast<std::size_t>(hole.end - hole.start));
    at = hole.end;
    if (at < end) hole = holes.next_hole(at, end);
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
