#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include <tarveloftp/Export.h>
#include <tarveloftp/GuardedText.h>
#include <tarveloftp/Lun.h>

namespace tarvelo::config {

// A named group of LUNs with an optional passphrase. It has exactly
// kLunSlots LUN slots, slot i holding LUN i, allocated once at construction;
// slots never move, so references from lun() stay valid for the life of the
// target (their contents may be replaced by a later remove).
//
// `Endpoints` serialises the changes. Name and password are guarded for the
// same reason as a LUN's fields: a reader on another thread may hold a
// reference while the slot is overwritten.
class TARVELOFTP_EXPORT Target {
 public:
  // LUN ids run from 0 to 254; 255 has no slot.
  static constexpr std::size_t kLunSlots = 255;

  Target();
  Target(unsigned char id, const std::string& name, const std::string& password);
  Target(const Target& other);
  // Leaves `other` without slots: it may only be destroyed or assigned to.
  Target(Target&& other) noexcept;
  // Assignments overwrite the LUN slots in place, never reallocating them.
  Target& operator=(const Target& other);
  Target& operator=(Target&& other);
  ~Target();

  std::string name() const;
  unsigned char id() const;
  std::string password() const;
  void password(const std::string& password);
  // Served read-only: images are opened O_RDONLY and changes are refused.
  // Read at each handshake, so it covers LUNs added later.
  bool read_only() const;
  void read_only(bool read_only);

  // The slot with that id, used or not. Id 255 has no slot: it yields a
  // spare LUN of this target that is never configured.
  Lun& lun(unsigned char id);
  bool lun_exists(unsigned char id) const;
  // True when any LUN has a connection open.
  bool in_use() const;
  // Number of slots holding a LUN (a non-empty file).
  std::size_t luns() const;

  // Unchecked: the Endpoints operations check. Id 255 is refused with an
  // ERROR line.
  void add_lun(Lun&& lun);
  void remove_lun(unsigned char id);

  bool operator<(unsigned char id) const { return this->id() < id; }
  bool operator>(unsigned char id) const { return this->id() > id; }
  bool operator==(unsigned char id) const { return this->id() == id; }
  bool operator!=(unsigned char id) const { return this->id() != id; }

 private:
  // False for 255 and for every id of a moved-from target.
  bool has_slot(unsigned char id) const;
  void assign_slots(const std::vector<Lun>& from);
  void assign_slots(std::vector<Lun>&& from);

  detail::GuardedText m_name;
  detail::GuardedText m_password;
  std::atomic<unsigned char> m_id{0};
  std::vector<Lun> lun_slots;
  // What lun(255) returns; it stays out of every check and listing.
  Lun m_spare_lun;
  std::atomic<bool> m_read_only{false};
};

}  // namespace tarvelo::config
