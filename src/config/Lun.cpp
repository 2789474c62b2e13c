#include <tarveloftp/Logger.h>
#include <tarveloftp/Lun.h>

namespace tarvelo::config {

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
}  // namespace

Lun::Lun() = default;

Lun::Lun(unsigned char id, const std::string& file) : m_id(id), m_file(file) {}

Lun::Lun(const Lun& other)
    : m_id(other.m_id.load(kRelaxed)),
      m_file(other.m_file),
      m_reference_count(other.m_reference_count.load(kRelaxed)),
      m_read_op_count(other.m_read_op_count.load(kRelaxed)),
      m_write_op_count(other.m_write_op_count.load(kRelaxed)) {}

Lun::Lun(Lun&& other) noexcept
    : m_id(other.m_id.load(kRelaxed)),
      m_file(other.m_file.take()),
      m_reference_count(other.m_reference_count.load(kRelaxed)),
      m_read_op_count(other.m_read_op_count.load(kRelaxed)),
      m_write_op_count(other.m_write_op_count.load(kRelaxed)) {}

Lun& Lun::operator=(const Lun& other) {
  if (this == &other) return *this;
  m_id.store(other.m_id.load(kRelaxed), kRelaxed);
  m_file = other.m_file;
  m_reference_count.store(other.m_reference_count.load(kRelaxed), kRelaxed);
  m_read_op_count.store(other.m_read_op_count.load(kRelaxed), kRelaxed);
  m_write_op_count.store(other.m_write_op_count.load(kRelaxed), kRelaxed);
  return *this;
}

Lun& Lun::operator=(Lun&& other) noexcept {
  if (this == &other) return *this;
  m_id.store(other.m_id.load(kRelaxed), kRelaxed);
  m_file.set(other.m_file.take());
  m_reference_count.store(other.m_reference_count.load(kRelaxed), kRelaxed);
  m_read_op_count.store(other.m_read_op_count.load(kRelaxed), kRelaxed);
  m_write_op_count.store(other.m_write_op_count.load(kRelaxed), kRelaxed);
  return *this;
}

Lun::~Lun() = default;

unsigned char Lun::id() const { return m_id.load(kRelaxed); }

std::string Lun::file() const { return m_file.get(); }

bool Lun::has_file() const { return !m_file.empty(); }

uint64_t Lun::increment_reference_count() { return m_reference_count.fetch_add(1, kRelaxed) + 1; }

uint64_t Lun::decrement_reference_count() {
  uint64_t count = m_reference_count.load(kRelaxed);
  // Test and decrement in one step, so that two decrements racing on a count
  // of 1 cannot wrap it below zero.
  while (count != 0) {
    if (m_reference_count.compare_exchange_weak(count, count - 1, kRelaxed, kRelaxed)) {
      TLOG(DEBUG) << "Decrementing reference count of " << file() << " from " << count;
      return count - 1;
    }
  }
  return 0;
}

uint64_t Lun::reference_count() const { return m_reference_count.load(kRelaxed); }
uint64_t Lun::read_op_count() const { return m_read_op_count.load(kRelaxed); }
uint64_t Lun::write_op_count() const { return m_write_op_count.load(kRelaxed); }
void Lun::increment_read_op_count() { m_read_op_count.fetch_add(1, kRelaxed); }
void Lun::increment_write_op_count() { m_write_op_count.fetch_add(1, kRelaxed); }

void Lun::clear_op_counts() {
  m_read_op_count.store(0, kRelaxed);
  m_write_op_count.store(0, kRelaxed);
}

}  // namespace tarvelo::config
