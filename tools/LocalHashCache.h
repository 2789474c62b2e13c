#pragma once

// The block hashes of a local image kept between runs of `put --merge`, each
// beside a keyed checksum of the bytes it was made from, so that a later run
// hashes only the blocks whose bytes changed.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <tarvelo/Crypto.h>

#include "Session.h"

namespace tarvelo::tools {

// File layout, little-endian: "TVLHASH1", u32 hash size, u32 block size,
// u64 file size, the 32-byte checksum key, then per block its 16-byte tag
// followed by its hash. Under a key that only this file holds, a block whose
// bytes give the same tag again holds the same bytes, and so has the same
// hash: a stale, damaged or foreign cache costs hashing, never a wrong
// answer. Entries are looked up and replaced a window of blocks at a time;
// the new file replaces the old one on commit(), or is removed.
class LocalHashCache {
 public:
  struct Grid {
    long file_size;
    long block_size;
    std::size_t hash_size;
  };

  // Throws ToolError when the new file cannot be created.
  LocalHashCache(std::string path, const Grid& grid);
  ~LocalHashCache();
  LocalHashCache(const LocalHashCache&) = delete;
  LocalHashCache& operator=(const LocalHashCache&) = delete;

  // Makes blocks [first, first + count) the window that lookup() and
  // remember() index from 0, loading their old entries.
  void begin_window(long first, long count);
  // For block `index` of the window with bytes `data`: records its tag and,
  // when the old entry's tag matches, copies the old hash to `hash` and
  // returns true. Threads may call it, and remember(), for distinct blocks.
  bool lookup(long index, const void* data, long length, unsigned char* hash);
  // Records the hash made for a block that lookup() did not find.
  void remember(long index, const unsigned char* hash);
  // Writes the window's entries to the new file.
  void end_window();
  // Syncs the new file and puts it in place of the old.
  void commit();

  long reused() const { return m_reused; }

 private:
  std::size_t entry_size() const { return crypto::Poly1305::kTagSize + m_grid.hash_size; }

  std::string m_path;
  std::string m_new_path;
  Grid m_grid;
  unsigned char m_key[crypto::Poly1305::kKeySize] = {};
  int m_old_fd = -1;  // -1 when there is no usable old cache
  int m_new_fd = -1;
  long m_first = 0;
  // The window's entries: read from the old file, then replaced in place.
  std::unique_ptr<LargeBuffer> m_entries;
  std::vector<char> m_found;  // per block of the window: taken from the old entry
  long m_reused = 0;
};

}  // namespace tarvelo::tools
