#pragma once

#include <cstdint>
#include <string>

#include <tarveloftp/Export.h>

namespace tarvelo {

// Values of SEEK_SET, SEEK_CUR and SEEK_END.
enum tarvelo_seek_dir_t : int32_t { TARVELO_SEEK_SET = 0, TARVELO_SEEK_CUR = 1, TARVELO_SEEK_END = 2 };

namespace FileSystem {

// Position and length of a file that is not open here (the client's view of
// a remote image): seeking and clamping without asking anyone.
class TARVELOFTP_EXPORT File {
 public:
  File() = default;
  explicit File(unsigned long length) : m_length(static_cast<int64_t>(length)) {}

  virtual long tell() const;
  virtual long length() const;
  // New position, or -1 with errno set (EINVAL, or EOVERFLOW when seeking
  // from the end to before the start).
  virtual long seek(long offset, tarvelo_seek_dir_t whence);
  // How many of `count` bytes a transfer at the position may move without
  // passing the end; -1 with EOVERFLOW for a count that cannot be added.
  virtual long io(long count);

  // Size of a file or block device in bytes; 0 when it cannot be found out.
  static unsigned long size(std::string path);
  // Whether the path can be opened for reading.
  static bool exists(std::string path);
  static std::string temp_dir();

 protected:
  int64_t m_position = 0;
  int64_t m_length = 0;
};

// Full transfers: each loops until `length` bytes moved, retrying calls a
// signal interrupted, so that a short count means the end of the file (or,
// for writes, a device that takes no more). A failed call ends the loop:
// -1 with errno set when nothing moved yet, else the count so far. When
// `failed` is given it is set to whether a failed call ended the loop, for
// callers that must tell a failure from the end of the file.
TARVELOFTP_EXPORT long readFully(int fd, char* buffer, long length, bool* failed = nullptr);
TARVELOFTP_EXPORT long writeFully(int fd, const char* buffer, long length, bool* failed = nullptr);
// As above at `offset`, leaving the descriptor's position alone.
TARVELOFTP_EXPORT long readFullyAt(int fd, char* buffer, long length, long offset, bool* failed = nullptr);
TARVELOFTP_EXPORT long writeFullyAt(int fd, const char* buffer, long length, long offset,
                                    bool* failed = nullptr);

}  // namespace FileSystem

// `block` must not be 0.
TARVELOFTP_EXPORT unsigned long roundDownToNearestBlock(unsigned long value, unsigned long block);
TARVELOFTP_EXPORT unsigned long roundUpToNearestBlock(unsigned long value, unsigned long block);

}  // namespace tarvelo
