// The hash file: format, creation, opening, validation and resizing. The
// hash computations over it are in BlockHashStoreHashes.cpp.

#include <tarveloftp/BlockHashStore.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <tarveloftp/BlakeHash.h>
#include <tarveloftp/Coding.h>
#include <tarveloftp/Logger.h>

#include "StorageSupport.h"

namespace tarvelo {

namespace {

constexpr unsigned long kZeroChunk = 1048576;
// A resize rewrites the header, so the second pass of open finds the size
// it asked for; more passes would mean the file does not keep what is
// written to it.
constexpr int kMaxOpenPasses = 3;

void encodeHeader(const BlockHashStore::Header& header, char* out) {
  std::memset(out, 0, BlockHashStore::kHeaderBytes);
  EncodeFixed64LE(out + BlockHashStore::kMagicField, header.magic);
  EncodeFixed64LE(out + BlockHashStore::kVersionField, header.version);
  EncodeFixed64LE(out + BlockHashStore::kDataOffsetField, header.data_offset);
  EncodeFixed32LE(out + BlockHashStore::kBlockSizeField, header.block_size);
  EncodeFixed64LE(out + BlockHashStore::kTargetSizeField, header.target_size);
  EncodeFixed64LE(out + BlockHashStore::kPartitionOffsetField,
                  static_cast<uint64_t>(header.partition_offset));
  EncodeFixed32LE(out + BlockHashStore::kHashIdField, header.hash_id);
}

BlockHashStore::Header decodeHeader(const char* in) {
  BlockHashStore::Header header;
  header.magic = DecodeFixed64LE(in + BlockHashStore::kMagicField);
  header.version = DecodeFixed64LE(in + BlockHashStore::kVersionField);
  header.data_offset = DecodeFixed64LE(in + BlockHashStore::kDataOffsetField);
  header.block_size = DecodeFixed32LE(in + BlockHashStore::kBlockSizeField);
  header.target_size = DecodeFixed64LE(in + BlockHashStore::kTargetSizeField);
  header.partition_offset =
      static_cast<int64_t>(DecodeFixed64LE(in + BlockHashStore::kPartitionOffsetField));
  header.hash_id = DecodeFixed32LE(in + BlockHashStore::kHashIdField);
  return header;
}

bool validBlockSize(unsigned long blockSize) {
  return blockSize != 0 && blockSize <= BlockHashStore::kMaxBlockSize;
}

}  // namespace

BlockHashStore::BlockHashStore() { init(); }

BlockHashStore::~BlockHashStore() = default;
BlockHashStore::BlockHashStore(BlockHashStore&&) noexcept = default;
BlockHashStore& BlockHashStore::operator=(BlockHashStore&&) noexcept = default;

void BlockHashStore::init() {
  m_hash_buffer.reset();
  m_hash_buffer_size = 0;
  m_header = Header{};
}

// ---- sizes ----

unsigned long BlockHashStore::getSystemPageSize() { return 4096; }

unsigned long BlockHashStore::computeHeaderSize() {
  unsigned long page = getSystemPageSize();
  return page * ((page + kHeaderBytes - 1) / page);
}

unsigned long BlockHashStore::getHashEntrySize(unsigned long hashSize) { return hashSize + 1; }

unsigned long BlockHashStore::bytesToBlocks(unsigned long bytes, unsigned int blockSize) {
  return (bytes + blockSize - 1) / blockSize;
}

unsigned long BlockHashStore::computeDataSize(unsigned long targetSize, unsigned int blockSize,
                                              unsigned long hashSize) {
  unsigned long bytes = getHashEntrySize(hashSize) * bytesToBlocks(targetSize, blockSize);
  unsigned long page = getSystemPageSize();
  return (bytes + page - 1) / page * page;
}

unsigned long BlockHashStore::computeFileSize(unsigned long targetSize, unsigned int blockSize,
                                              unsigned long hashSize) {
  return computeHeaderSize() + computeDataSize(targetSize, blockSize, hashSize);
}

bool BlockHashStore::validReadWrite(long expected, long actual) {
  return actual == expected && actual >= 0;
}

// ---- offsets ----

long BlockHashStore::toInternalOffset(long offset) const {
  long internal = 0;
  if (__builtin_sub_overflow(offset, m_header.partition_offset, &internal))
    return offset < 0 ? LONG_MIN : LONG_MAX;
  return internal;
}

long BlockHashStore::fromInternalOffset(long offset) const { return offset + m_header.partition_offset; }

long BlockHashStore::computeMaximumInternalOffset() const {
  long target = m_header.target_size > static_cast<uint64_t>(LONG_MAX)
                    ? LONG_MAX
                    : static_cast<long>(m_header.target_size);
  long maximum = 0;
  if (__builtin_sub_overflow(target, m_header.partition_offset, &maximum))
    return m_header.partition_offset < 0 ? LONG_MAX : LONG_MIN;
  return maximum;
}

void BlockHashStore::throwOnAccessViolation(const std::string& name, long offset, long length) const {
  long internal = toInternalOffset(offset);
  long maximum = computeMaximumInternalOffset();
  // A negative length would turn the block arithmetic of the callers upside
  // down; it is no range of the image.
  bool inside = internal >= 0 && internal < maximum && length >= 0 && length <= maximum - internal;
  if (!inside)
    throw std::runtime_error(name + ": offset is out of bounds: " + std::to_string(offset) + ", " +
                             std::to_string(maximum));
}

void BlockHashStore::throwWithErrno(const std::string& message) {
  storage::throwOrLogErrno(message, 0, TARVELO_STORAGE_HERE);
}

long BlockHashStore::seek(int fd, long offset, int whence) { return ::lseek64(fd, offset, whence); }

unsigned int BlockHashStore::getBlockSize() const { return m_header.block_size; }

long BlockHashStore::getPartitionOffset() const { return m_header.partition_offset; }

unsigned long BlockHashStore::hashSize() const {
  return m_hash_function ? m_hash_function->hash_size_in_bytes() : 0;
}

void BlockHashStore::setOnWriteCallback(std::function<void(unsigned long)> callback) {
  m_on_write = callback;
  m_reader.setOnWriteCallback(std::move(callback));
}

void BlockHashStore::setOnReadCallback(std::function<void(unsigned long)> callback) {
  m_on_read = callback;
  m_reader.setOnReadCallback(std::move(callback));
}

// ---- creation ----

void BlockHashStore::create(const std::string& path, HashFunctionType type, unsigned long targetSize,
                            unsigned long partitionOffset, unsigned int blockSize, bool deleteOnError) {
  if (type != HASH_FUNCTION_BLAKE2B)
    throw std::runtime_error("unknown hash id: " + std::to_string(static_cast<unsigned int>(type)));
  if (!validBlockSize(blockSize))
    throw std::runtime_error("hash block size is invalid: " + std::to_string(blockSize));
  BlakeHash function;
  try {
    createFile(path, computeFileSize(targetSize, blockSize, function.hash_size_in_bytes()));
    initHeader(path, targetSize, static_cast<long>(partitionOffset), blockSize, function.hash_id());
  } catch (...) {
    if (deleteOnError && ::unlink(path.c_str()) == 0)
      TLOG(INFO) << "deleted hash file due to error: " << errno;
    throw;
  }
}

void BlockHashStore::createFile(const std::string& path, unsigned long size) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_SYNC, 0600);
  if (fd < 0) storage::throwErrno("error opening file for writing");
  storage::DescriptorCloser closer(fd, "failed to close fd while creating the block hash store",
                                   TARVELO_STORAGE_HERE);
  unsigned long chunk = std::min(size, kZeroChunk);
  auto zeros = std::make_unique<char[]>(chunk);
  if (seek(fd, 0, SEEK_SET) != 0)
    throw std::runtime_error("error in seek while trying to grow the file to " + std::to_string(size) +
                             ", errno = " + std::to_string(errno));
  unsigned long written = 0;
  while (written < size) {
    unsigned long count = std::min(size - written, chunk);
    if (!validReadWrite(static_cast<long>(count), ::write(fd, zeros.get(), count)))
      throw std::runtime_error("failed to write to block hash file");
    written += count;
  }
}

void BlockHashStore::initHeader(const std::string& path, unsigned long targetSize, long partitionOffset,
                                unsigned int blockSize, unsigned int hashId) {
  int fd = ::open(path.c_str(), O_RDWR | O_SYNC);
  if (fd < 0) throw std::runtime_error("error opening file for writing");
  storage::DescriptorCloser closer(fd, "failed to close fd while creating the block hash store",
                                   TARVELO_STORAGE_HERE);
  if (seek(fd, 0, SEEK_SET) != 0) storage::throwErrno("failed to seek to beginning of file to write header.");
  Header header;
  header.magic = kMagic;
  header.version = kVersion;
  header.data_offset = computeHeaderSize();
  header.block_size = blockSize;
  header.target_size = targetSize;
  header.partition_offset = partitionOffset;
  header.hash_id = hashId;
  char bytes[kHeaderBytes];
  encodeHeader(header, bytes);
  if (!validReadWrite(kHeaderBytes, ::write(fd, bytes, kHeaderBytes)))
    storage::throwErrno("failed to initialize header data");
}

// ---- opening ----

std::string BlockHashStore::hashFilePath(const std::string& image_path, const std::string& hash_directory) {
  std::string beside = image_path + ".hash";
  if (hash_directory.empty()) return beside;
  std::error_code error;
  std::string absolute = std::filesystem::absolute(image_path, error).string();
  if (error) absolute = image_path;
  std::string name;
  for (char c : absolute) {
    if (c == '%')
      name += "%25";
    else if (c == '/')
      name += "%2F";
    else
      name += c;
  }
  std::string in_directory = hash_directory + (hash_directory.back() == '/' ? "" : "/") + name + ".hash";
  struct stat status {};
  if (::stat(in_directory.c_str(), &status) != 0 && errno == ENOENT && ::stat(beside.c_str(), &status) == 0)
    return beside;
  return in_directory;
}

std::string BlockHashStore::journalFilePath(const std::string& hash_path) { return hash_path + ".journal"; }

std::unique_ptr<BlockHashStore> BlockHashStore::open(std::string path, unsigned long targetSize) {
  auto store = std::make_unique<BlockHashStore>();
  store->open_internal(path, targetSize);
  return store;
}

void BlockHashStore::installReader(SimpleCachedReader reader) {
  m_reader = std::move(reader);
  m_reader.setOnWriteCallback(m_on_write);
  m_reader.setOnReadCallback(m_on_read);
}

void BlockHashStore::open_internal(const std::string& path, unsigned long targetSize) {
  for (int pass = 1;; ++pass) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) storage::throwErrno("failed to stat hash file");
    if (!S_ISREG(status.st_mode)) throw std::runtime_error("path does not represent a hash file");
    auto fileSize = static_cast<unsigned long>(status.st_size);
    if (fileSize < kHeaderBytes)
      throw std::runtime_error("file is too small to be valid: " + std::to_string(fileSize));

    installReader(SimpleCachedReader(kReaderWindow));
    if (m_reader.open(path, O_RDWR) < 0) storage::throwErrno("failed to open file: " + path);
    char bytes[kHeaderBytes];
    if (!validReadWrite(kHeaderBytes, m_reader.read(bytes, kHeaderBytes)))
      storage::throwErrno("failed to read header");
    m_header = decodeHeader(bytes);

    validateHeader(m_header.target_size, fileSize);
    if (pass < kMaxOpenPasses && resizeIfTargetChangeDetected(path, targetSize, fileSize)) continue;
    validateHeader(targetSize, fileSize);
    m_block_buffer = std::make_unique<char[]>(m_header.block_size);
    return;
  }
}

void BlockHashStore::validateHeader(unsigned long targetSize, unsigned long fileSize) {
  if (m_header.magic != kMagic) throw std::runtime_error("header magic number does not match expected");
  if (m_header.version != kVersion)
    throw std::runtime_error("header version does not match the expected value");
  if (m_header.target_size != targetSize)
    throw std::runtime_error("the target size managed by the hash store has changed");
  if (m_header.data_offset != computeHeaderSize())
    throw std::runtime_error("hash data offset is invalid: " + std::to_string(m_header.data_offset) + " " +
                             std::to_string(computeHeaderSize()));
  if (m_header.hash_id == HASH_FUNCTION_BLAKE2B) {
    m_hash_function = std::make_unique<BlakeHash>();
  } else {
    m_hash_function.reset();
    throw std::runtime_error("unknown hashing function: " + std::to_string(m_header.hash_id));
  }
  // A corrupted block size would divide by zero or ask for a huge block
  // buffer below.
  if (!validBlockSize(m_header.block_size))
    throw std::runtime_error("hash block size is invalid: " + std::to_string(m_header.block_size));
  if (computeFileSize(targetSize, m_header.block_size, hashSize()) != fileSize)
    throw std::runtime_error("the hash file size is incorrect for given target size");
  // Block 0 sits at this image offset; a negative one puts the block grid
  // before the image and turns the offset arithmetic upside down.
  if (m_header.partition_offset < 0)
    throw std::runtime_error("hash partition offset is invalid: " + std::to_string(m_header.partition_offset));
}

bool BlockHashStore::resizeIfTargetChangeDetected(const std::string& path, unsigned long targetSize,
                                                  unsigned long fileSize) {
  unsigned long expected = computeFileSize(targetSize, m_header.block_size, hashSize());
  if (expected != fileSize) {
    TLOG(INFO) << "hash storage resizing because target changed, expected: " << expected
               << ", actual: " << fileSize;
    if (expected <= fileSize)
      m_reader.truncate(expected);
    else
      initFileRegion(fileSize, expected - fileSize);
  }
  if (m_header.target_size == targetSize) return false;

  // Blocks that were not wholly inside both the old and the new image may
  // hold other bytes now (a shrunk and regrown image reads zeros there), so
  // entries from the first such block on cannot be trusted. The entries that
  // growth just added are zero already.
  unsigned long common = std::min<unsigned long>(m_header.target_size, targetSize);
  long wholeBytes = 0;
  if (__builtin_sub_overflow(static_cast<long>(std::min<unsigned long>(common, LONG_MAX)),
                             m_header.partition_offset, &wholeBytes))
    wholeBytes = m_header.partition_offset < 0 ? LONG_MAX : 0;
  unsigned long firstStale = wholeBytes > 0 ? static_cast<unsigned long>(wholeBytes) / m_header.block_size : 0;
  invalidateEntriesFrom(firstStale, std::min(expected, fileSize));

  initHeader(path, targetSize, m_header.partition_offset, m_header.block_size, m_header.hash_id);
  return true;
}

void BlockHashStore::invalidateEntriesFrom(unsigned long firstBlock, unsigned long fileSizeLimit) {
  unsigned long entrySize = getHashEntrySize(hashSize());
  unsigned long header = computeHeaderSize();
  if (fileSizeLimit <= header || firstBlock > (fileSizeLimit - header) / entrySize) return;
  unsigned long from = header + firstBlock * entrySize;
  if (from < fileSizeLimit) initFileRegion(from, fileSizeLimit - from);
}

void BlockHashStore::initFileRegion(unsigned long offset, unsigned long length) {
  unsigned long chunk = std::min(length, kZeroChunk);
  auto zeros = std::make_unique<char[]>(chunk);
  if (m_reader.seek(static_cast<long>(offset), SEEK_SET) != static_cast<long>(offset))
    throw std::runtime_error("error in seek while initting file region: " + std::to_string(offset) + ", " +
                             std::to_string(length) + ", errno = " + std::to_string(errno));
  unsigned long written = 0;
  while (written < length) {
    unsigned long count = std::min(length - written, chunk);
    if (!validReadWrite(static_cast<long>(count), m_reader.write(zeros.get(), count)))
      throw std::runtime_error("error in write while initting file region: " + std::to_string(errno));
    written += count;
  }
  if (m_reader.sync_file_range(static_cast<long>(offset), static_cast<long>(length)) != 0)
    storage::throwErrno("initFileRegion failed to sync hash file");
}

}  // namespace tarvelo
