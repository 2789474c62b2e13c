#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <tarveloftp/Export.h>

namespace tarvelo {

// Hash ids as stored in the hash file header and sent on the wire.
enum HashFunctionType : uint32_t {
  HASH_FUNCTION_BLAKE2B = 1,
};

// One way of hashing bytes, shared by server and client so both compute the
// same digests.
class TARVELOFTP_EXPORT IHashFunction {
 public:
  // A digest fed in pieces; the pieces' concatenation hashes to the same
  // digest as get_hash over it in one piece.
  class TARVELOFTP_EXPORT Incremental {
   public:
    virtual ~Incremental();
    // False when the bytes could not be taken in.
    virtual bool update(const void* data, unsigned long length) = 0;
    // The digest, or an empty vector when hashing failed.
    virtual std::vector<unsigned char> final() = 0;
  };

  virtual ~IHashFunction();
  // Digest of `length` bytes at `data`; empty when hashing failed.
  virtual std::vector<unsigned char> get_hash(void* data, long length) = 0;
  virtual unsigned long hash_size_in_bytes() const = 0;
  virtual unsigned int hash_id() const = 0;
  // Additions come after the operations above, whose slot order programs
  // built against this library rely on.
  // Digests of `count` pieces of `length` bytes each, laid one after the
  // other from `data`, written to `out` in order; false when hashing failed.
  // The same digests as get_hash on each piece, made faster where the
  // function can work on several at once.
  virtual bool get_hashes(unsigned char* out, const void* data, long length, long count);
  // A fresh incremental digest of the same kind as get_hash.
  virtual std::unique_ptr<Incremental> start_incremental() const = 0;
};

}  // namespace tarvelo
