#pragma once

#include <tarveloftp/IHashFunction.h>

namespace tarvelo {

// BLAKE2b with 32-byte digests, hash id 1.
class TARVELOFTP_EXPORT BlakeHash : public IHashFunction {
 public:
  std::vector<unsigned char> get_hash(void* data, long length) override;
  // Several pieces side by side where the processor allows.
  bool get_hashes(unsigned char* out, const void* data, long length, long count) override;
  unsigned long hash_size_in_bytes() const override;
  unsigned int hash_id() const override;
  std::unique_ptr<Incremental> start_incremental() const override;
};

}  // namespace tarvelo
