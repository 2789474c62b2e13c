#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <tarveloftp/Export.h>
#include <tarveloftp/IHashFunction.h>
#include <tarveloftp/SimpleCachedReader.h>

namespace tarvelo {

// The hash file of one image (the image path + ".hash"): a page-aligned
// header and one entry per block of the image, each a validity flag and the
// hash of the block's bytes. The store creates, opens, validates and resizes
// the file, answers aggregate hashes of image ranges from the stored entries
// plus image data fetched on demand, and keeps the entries current.
//
// A store takes no lock and is used by one thread at a time: the server
// shares one per image between its connections and holds the image's lock
// around every use.
class TARVELOFTP_EXPORT BlockHashStore {
 public:
  // ---- File format. All integers little-endian. ----
  static constexpr uint64_t kMagic = 0x20001312;
  static constexpr uint64_t kVersion = 0;
  // The header as stored: 8 magic + 8 version + 8 data offset + 4 block size
  // + 4 reserved + 8 target size + 8 partition offset + 4 hash id
  // + 4 reserved. Zero bytes follow up to the data offset.
  static constexpr std::size_t kHeaderBytes = 56;
  static constexpr std::size_t kMagicField = 0;            // unsigned 64
  static constexpr std::size_t kVersionField = 8;          // unsigned 64
  static constexpr std::size_t kDataOffsetField = 16;      // unsigned 64: offset of entry 0
  static constexpr std::size_t kBlockSizeField = 24;       // unsigned 32, then 4 reserved
  static constexpr std::size_t kTargetSizeField = 32;      // unsigned 64: image size sized for
  static constexpr std::size_t kPartitionOffsetField = 40; // signed 64: image offset of block 0
  static constexpr std::size_t kHashIdField = 48;          // unsigned 32, then 4 reserved
  // Each entry: 1 flag byte (bit 0: the hash is current), then the hash.
  static constexpr unsigned char kEntryValid = 1;

  // Window of the reader the hash file is read through.
  static constexpr unsigned long kReaderWindow = 49152;
  // Larger block sizes are refused: a block is held whole in memory.
  static constexpr unsigned int kMaxBlockSize = 16 * 1024 * 1024;
  // Image data fetched and hashed per pass of a large request, which bounds
  // the memory of a request whatever its range.
  static constexpr unsigned long kPassBytes = 8 * 1024 * 1024;

  // ---- Where the files of an image live. ----
  // The hash file of `image_path`. Without a `hash_directory`, the image path
  // + ".hash". With one, a file in it named after the absolute image path,
  // '%' written "%25" and '/' written "%2F", + ".hash": the escape can be
  // undone, so no two images share a name. While the directory has no file
  // for the image but one lies beside the image, that one is used, so files
  // made before the directory was set keep working.
  static std::string hashFilePath(const std::string& image_path, const std::string& hash_directory = "");
  // The journal of the hash file at `hash_path`, always beside it.
  static std::string journalFilePath(const std::string& hash_path);

  struct Header {
    uint64_t magic = 0;
    uint64_t version = 0;
    uint64_t data_offset = 0;
    uint32_t block_size = 0;
    uint64_t target_size = 0;
    int64_t partition_offset = 0;
    uint32_t hash_id = 0;
  };

  // Given image (external) offsets and byte counts of runs of needed data,
  // in increasing offset order, returns one buffer per run holding exactly
  // that many bytes of the image's current content; fewer buffers (none)
  // mean failure.
  using DataRequiredCallback = std::function<std::vector<std::unique_ptr<char[]>>(
      const std::vector<long>& offsets, const std::vector<long>& lengths)>;

  // The first hole of the image in [offset, end) (image offsets) as
  // {start, end}, clipped to the range; {end, end} when there is none.
  using HoleCallback = std::function<std::pair<long, long>(long offset, long end)>;

  BlockHashStore();
  ~BlockHashStore();
  BlockHashStore(BlockHashStore&&) noexcept;
  BlockHashStore& operator=(BlockHashStore&&) noexcept;
  BlockHashStore(const BlockHashStore&) = delete;
  BlockHashStore& operator=(const BlockHashStore&) = delete;

  // Releases the hash buffer and zeroes the header.
  void init();

  // A new hash file with every entry not valid. With deleteOnError a failed
  // creation removes the file.
  static void create(const std::string& path, HashFunctionType type, unsigned long targetSize,
                     unsigned long partitionOffset, unsigned int blockSize, bool deleteOnError);
  // Opens and validates an existing file for an image of targetSize bytes,
  // resizing it first when the image size changed.
  static std::unique_ptr<BlockHashStore> open(std::string path, unsigned long targetSize);
  // A zero-filled file of `size` bytes, written synchronously.
  static void createFile(const std::string& path, unsigned long size);
  static void initHeader(const std::string& path, unsigned long targetSize, long partitionOffset,
                         unsigned int blockSize, unsigned int hashId);

  // Steps of open.
  void validateHeader(unsigned long targetSize, unsigned long fileSize);
  [[nodiscard]] bool resizeIfTargetChangeDetected(const std::string& path, unsigned long targetSize,
                                                  unsigned long fileSize);
  void initFileRegion(unsigned long offset, unsigned long length);
  void open_internal(const std::string& path, unsigned long targetSize);

  // Throws unless [offset, offset + length) is a range of the image.
  void throwOnAccessViolation(const std::string& name, long offset, long length) const;
  // message + ": " + errno as std::runtime_error; logged at ERROR instead
  // when an exception is already propagating.
  static void throwWithErrno(const std::string& message);
  static long seek(int fd, long offset, int whence);

  // ---- Sizes ----
  static unsigned long getSystemPageSize();
  static unsigned long computeHeaderSize();
  static unsigned long getHashEntrySize(unsigned long hashSize);
  static unsigned long bytesToBlocks(unsigned long bytes, unsigned int blockSize);
  static unsigned long computeDataSize(unsigned long targetSize, unsigned int blockSize,
                                       unsigned long hashSize);
  static unsigned long computeFileSize(unsigned long targetSize, unsigned int blockSize,
                                       unsigned long hashSize);
  static bool validReadWrite(long expected, long actual);

  // internal = external - partition offset.
  long toInternalOffset(long offset) const;
  long fromInternalOffset(long offset) const;
  long computeMaximumInternalOffset() const;

  unsigned int getBlockSize() const;
  long getPartitionOffset() const;
  // 0 while no hash function is installed.
  unsigned long hashSize() const;
  const Header& header() const { return m_header; }

  // Byte counts of hash-file reads and writes.
  void setOnWriteCallback(std::function<void(unsigned long)> callback);
  void setOnReadCallback(std::function<void(unsigned long)> callback);

  // ---- Hashes ----
  // Aggregate hash of the range: the hash over the block hashes of every
  // block the range touches, each block taken with the bytes outside the
  // range as zeros. Stores the hashes of whole blocks inside the range.
  // Image data is asked for only for blocks without a valid entry and the
  // partial end blocks, merged into runs, in one callback call per pass of
  // at most kPassBytes of blocks. With `store` false nothing is written to
  // the hash file: for data that is not yet on the image, such as writes
  // still waiting for their commit.
  std::vector<unsigned char> get_hash(long offset, long length, DataRequiredCallback dataRequired,
                                      bool store = true);
  // As above; blocks without a valid entry that lie whole in a hole of the
  // image take the hash of a zero block, without asking for their data.
  std::vector<unsigned char> get_hash(long offset, long length, DataRequiredCallback dataRequired,
                                      const HoleCallback& holes, bool store);
  // The hash function over `length` bytes.
  std::vector<unsigned char> get_hash(void* data, unsigned long length) const;
  // After `length` bytes at `data` were written at `offset`: store the hash
  // of every block the write covers whole, mark partly covered blocks not
  // valid.
  void update_hashes(long offset, void* data, long length);
  // Marks every block the range touches not valid.
  void invalidate_hashes(long offset, long length);
  void update_hashes_internal(long offset, void* data, long length, bool invalidate);
  // fsync of the hash file; true on success.
  bool sync_to_disk();

 private:
  void growHashBufferWhenNeeded(long size);
  unsigned long blocksPerPass() const;
  void hashPass(long offset, long length, const DataRequiredCallback& dataRequired,
                const HoleCallback& holes, IHashFunction::Incremental& aggregate, bool store);
  const std::vector<unsigned char>& zeroBlockHash();
  void invalidateEntriesFrom(unsigned long firstBlock, unsigned long fileSizeLimit);
  void installReader(SimpleCachedReader reader);

  Header m_header;
  SimpleCachedReader m_reader{kReaderWindow};
  std::unique_ptr<char[]> m_hash_buffer;
  long m_hash_buffer_size = 0;
  std::unique_ptr<IHashFunction> m_hash_function;
  std::unique_ptr<char[]> m_block_buffer;
  std::vector<unsigned char> m_zero_block_hash;  // made on first use
  // Kept so that a reader replaced while opening reports to the same hooks.
  std::function<void(unsigned long)> m_on_write;
  std::function<void(unsigned long)> m_on_read;
};

}  // namespace tarvelo
