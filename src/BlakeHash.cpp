#include <tarveloftp/BlakeHash.h>

#include <tarvelo/Crypto.h>

namespace tarvelo {

namespace {

class IncrementalBlake : public IHashFunction::Incremental {
 public:
  bool update(const void* data, unsigned long length) override {
    m_ok = m_ok && m_state.update(data, length);
    return m_ok;
  }

  std::vector<unsigned char> final() override {
    crypto::blake2b_hash_t digest;
    if (!m_ok || !m_state.final(digest)) return {};
    m_ok = false;  // the state is spent
    return std::vector<unsigned char>(digest, digest + crypto::kBlake2bHashSize);
  }

 private:
  crypto::Blake2b m_state;
  bool m_ok = true;
};

}  // namespace

std::vector<unsigned char> BlakeHash::get_hash(void* data, long length) {
  crypto::blake2b_hash_t digest;
  if (!crypto::Blake2b::hash(digest, data, length)) return {};
  return std::vector<unsigned char>(digest, digest + crypto::kBlake2bHashSize);
}

bool BlakeHash::get_hashes(unsigned char* out, const void* data, long length, long count) {
  if (length < 0 || count < 0) return false;
  return crypto::Blake2b::hash_each(out, data, static_cast<std::size_t>(length), static_cast<std::size_t>(count));
}

unsigned long BlakeHash::hash_size_in_bytes() const { return crypto::kBlake2bHashSize; }

unsigned int BlakeHash::hash_id() const { return HASH_FUNCTION_BLAKE2B; }

std::unique_ptr<IHashFunction::Incremental> BlakeHash::start_incremental() const {
  return std::make_unique<IncrementalBlake>();
}

}  // namespace tarvelo
