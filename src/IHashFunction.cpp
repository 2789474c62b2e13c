#include <tarveloftp/IHashFunction.h>

#include <cstring>

namespace tarvelo {

IHashFunction::~IHashFunction() = default;

bool IHashFunction::get_hashes(unsigned char* out, const void* data, long length, long count) {
  const std::size_t size = hash_size_in_bytes();
  auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
  for (long i = 0; i < count; ++i) {
    std::vector<unsigned char> hash = get_hash(bytes + i * length, length);
    if (hash.size() != size) return false;
    std::memcpy(out + static_cast<std::size_t>(i) * size, hash.data(), size);
  }
  return true;
}

IHashFunction::Incremental::~Incremental() = default;

}  // namespace tarvelo
