#include "LocalHashCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <tarveloftp/Coding.h>
#include <tarveloftp/FileSystem.h>


namespace tarvelo::tools {

namespace {

constexpr char kMagic[8] = {'T', 'V', 'L', 'H', 'A', 'S', 'H', '1'};
constexpr std::size_t kKeyAt = 24;
constexpr std::size_t kHeaderSize = kKeyAt + crypto::Poly1305::kKeySize;

void encode_header(char* out, const LocalHashCache::Grid& grid) {
  std::memcpy(out, kMagic, sizeof(kMagic));
  EncodeFixed32LE(out + 8, static_cast<uint32_t>(grid.hash_size));
  EncodeFixed32LE(out + 12, static_cast<uint32_t>(grid.block_size));
  EncodeFixed64LE(out + 16, static_cast<uint64_t>(grid.file_size));
}

// A cache file shorter than expected counts as unreadable.
bool read_whole(int fd, void* buffer, std::size_t length, off_t offset) {
  return FileSystem::readFullyAt(fd, static_cast<char*>(buffer), static_cast<long>(length), offset) ==
         static_cast<long>(length);
}

bool write_whole(int fd, const void* buffer, std::size_t length, off_t offset) {
  return FileSystem::writeFullyAt(fd, static_cast<const char*>(buffer), static_cast<long>(length), offset) ==
         static_cast<long>(length);
}

}  // namespace

LocalHashCache::LocalHashCache(std::string path, const Grid& grid)
    : m_path(std::move(path)), m_new_path(m_path + ".new"), m_grid(grid) {
  const long blocks = (grid.file_size + grid.block_size - 1) / grid.block_size;
  char expected[kHeaderSize] = {};
  encode_header(expected, grid);

  // The old cache counts only when it was made for this grid and is whole.
  m_old_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
  char header[kHeaderSize] = {};
  struct stat info {};
  if (m_old_fd >= 0 &&
      (fstat(m_old_fd, &info) != 0 ||
       info.st_size != static_cast<off_t>(kHeaderSize + static_cast<std::size_t>(blocks) * entry_size()) ||
       !read_whole(m_old_fd, header, kHeaderSize, 0) || std::memcmp(header, expected, kKeyAt) != 0)) {
    ::close(m_old_fd);
    m_old_fd = -1;
  }
  if (m_old_fd >= 0)
    std::memcpy(m_key, header + kKeyAt, sizeof(m_key));
  else
    crypto::Poly1305::new_key(m_key);

  // Only its owner may read the key: whoever knows it could make changed
  // bytes look unchanged.
  m_new_fd = ::open(m_new_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (m_new_fd < 0) throw ToolError(system_error("cannot create hash cache", m_new_path));
  std::memcpy(expected + kKeyAt, m_key, sizeof(m_key));
  if (!write_whole(m_new_fd, expected, kHeaderSize, 0))
    throw ToolError(system_error("cannot write hash cache", m_new_path));
}

LocalHashCache::~LocalHashCache() {
  if (m_old_fd >= 0) ::close(m_old_fd);
  if (m_new_fd >= 0) {
    ::close(m_new_fd);
    ::unlink(m_new_path.c_str());
  }
}

void LocalHashCache::begin_window(long first, long count) {
  m_first = first;
  const std::size_t bytes = static_cast<std::size_t>(count) * entry_size();
  if (!m_entries || m_entries->size() != bytes) m_entries = std::make_unique<LargeBuffer>(bytes);
  m_found.assign(static_cast<std::size_t>(count), 0);
  // Without old entries the buffer is never compared, only written.
  if (m_old_fd >= 0 &&
      !read_whole(m_old_fd, m_entries->data(), bytes,
                  static_cast<off_t>(kHeaderSize + static_cast<std::size_t>(first) * entry_size()))) {
    ::close(m_old_fd);
    m_old_fd = -1;
  }
}

bool LocalHashCache::lookup(long index, const void* data, long length, unsigned char* hash) {
  unsigned char* entry = m_entries->data() + static_cast<std::size_t>(index) * entry_size();
  unsigned char tag[crypto::Poly1305::kTagSize];
  crypto::Poly1305::tag(tag, data, static_cast<std::size_t>(length), m_key);
  if (m_old_fd >= 0 && std::memcmp(entry, tag, sizeof(tag)) == 0) {
    std::memcpy(hash, entry + sizeof(tag), m_grid.hash_size);
    m_found[static_cast<std::size_t>(index)] = 1;
    return true;
  }
  std::memcpy(entry, tag, sizeof(tag));
  return false;
}

void LocalHashCache::remember(long index, const unsigned char* hash) {
  std::memcpy(m_entries->data() + static_cast<std::size_t>(index) * entry_size() + crypto::Poly1305::kTagSize,
              hash, m_grid.hash_size);
}

void LocalHashCache::end_window() {
  m_reused += std::count(m_found.begin(), m_found.end(), 1);
  if (!write_whole(m_new_fd, m_entries->data(), m_entries->size(),
                   static_cast<off_t>(kHeaderSize + static_cast<std::size_t>(m_first) * entry_size())))
    throw ToolError(system_error("cannot write hash cache", m_new_path));
}

void LocalHashCache::commit() {
  // Synced before the rename, so that a crash leaves the old file or a
  // whole new one.
  if (::fsync(m_new_fd) != 0) throw ToolError(system_error("cannot sync hash cache", m_new_path));
  if (::rename(m_new_path.c_str(), m_path.c_str()) != 0)
    throw ToolError(system_error("cannot replace hash cache", m_path));
  ::close(m_new_fd);
  m_new_fd = -1;
}

}  // namespace tarvelo::tools
