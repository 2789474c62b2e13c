#include <tarveloftp/Logger.h>
#include <tarveloftp/Target.h>

#include <utility>

namespace tarvelo::config {

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
}  // namespace

Target::Target() : Target(0, "", "") {}

Target::Target(unsigned char id, const std::string& name, const std::string& password)
    : m_name(name), m_password(password), m_id(id) {
  lun_slots.reserve(kLunSlots);
  lun_slots.resize(kLunSlots);
}

Target::Target(const Target& other)
    : m_name(other.m_name),
      m_password(other.m_password),
      m_id(other.m_id.load(kRelaxed)),
      lun_slots(other.lun_slots),
      m_read_only(other.m_read_only.load(kRelaxed)) {}

Target::Target(Target&& other) noexcept
    : m_name(other.m_name),
      m_password(other.m_password),
      m_id(other.m_id.load(kRelaxed)),
      lun_slots(std::move(other.lun_slots)),
      m_read_only(other.m_read_only.load(kRelaxed)) {}

Target& Target::operator=(const Target& other) {
  if (this == &other) return *this;
  m_name = other.m_name;
  m_password = other.m_password;
  m_id.store(other.m_id.load(kRelaxed), kRelaxed);
  assign_slots(other.lun_slots);
  m_read_only.store(other.m_read_only.load(kRelaxed), kRelaxed);
  return *this;
}

Target& Target::operator=(Target&& other) {
  if (this == &other) return *this;
  m_name = other.m_name;
  m_password = other.m_password;
  m_id.store(other.m_id.load(kRelaxed), kRelaxed);
  assign_slots(std::move(other.lun_slots));
  m_read_only.store(other.m_read_only.load(kRelaxed), kRelaxed);
  return *this;
}

Target::~Target() = default;

// Element by element, so that references into the slots held by other
// threads stay valid. Only a moved-from target, which nobody shares, lacks
// its slots; a moved-from source empties every slot.
void Target::assign_slots(const std::vector<Lun>& from) {
  lun_slots.resize(kLunSlots);
  for (std::size_t i = 0; i < kLunSlots; ++i) lun_slots[i] = i < from.size() ? from[i] : Lun();
}

void Target::assign_slots(std::vector<Lun>&& from) {
  lun_slots.resize(kLunSlots);
  for (std::size_t i = 0; i < kLunSlots; ++i)
    lun_slots[i] = i < from.size() ? std::move(from[i]) : Lun();
}

bool Target::has_slot(unsigned char id) const { return id < lun_slots.size(); }

std::string Target::name() const { return m_name.get(); }
unsigned char Target::id() const { return m_id.load(kRelaxed); }
std::string Target::password() const { return m_password.get(); }
void Target::password(const std::string& password) { m_password.set(password); }
bool Target::read_only() const { return m_read_only.load(kRelaxed); }
void Target::read_only(bool read_only) { m_read_only.store(read_only, kRelaxed); }

Lun& Target::lun(unsigned char id) { return has_slot(id) ? lun_slots[id] : m_spare_lun; }

bool Target::lun_exists(unsigned char id) const { return has_slot(id) && lun_slots[id].has_file(); }

bool Target::in_use() const {
  for (const Lun& lun : lun_slots)
    if (lun.reference_count() != 0) return true;
  return false;
}

std::size_t Target::luns() const {
  std::size_t count = 0;
  for (const Lun& lun : lun_slots)
    if (lun.has_file()) ++count;
  return count;
}

void Target::add_lun(Lun&& lun) {
  unsigned char id = lun.id();
  if (!has_slot(id)) {
    TLOG(ERROR) << "Not adding lun " << static_cast<int>(id) << " file " << lun.file() << " to "
                << name() << ": there is no slot for that id";
    return;
  }
  TLOG(DEBUG) << "Adding lun " << static_cast<int>(id) << " file " << lun.file() << " to " << name();
  lun_slots[id] = std::move(lun);
}

void Target::remove_lun(unsigned char id) {
  if (!has_slot(id)) {
    TLOG(ERROR) << "Not removing lun " << static_cast<int>(id) << " from " << name()
                << ": there is no slot for that id";
    return;
  }
  lun_slots[id] = Lun();
  TLOG(DEBUG) << "Removing lun " << static_cast<int>(id) << " from " << name();
}

}  // namespace tarvelo::config
