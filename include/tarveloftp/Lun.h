#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <tarveloftp/Export.h>
#include <tarveloftp/GuardedText.h>

namespace tarvelo::config {

// One LUN slot of a target: an id, the image file behind it, and the counters
// that connection handlers keep for it.
//
// Threading: the administration thread may replace a slot (add, remove)
// while the client thread reads it through a reference it looked up earlier,
// so every field is atomic or guarded. Counters use relaxed ordering; they
// order nothing else.
class TARVELOFTP_EXPORT Lun {
 public:
  Lun();
  Lun(unsigned char id, const std::string& file);
  Lun(const Lun& other);
  // Leaves `other` with an empty file; its id and counts are kept.
  Lun(Lun&& other) noexcept;
  Lun& operator=(const Lun& other);
  Lun& operator=(Lun&& other) noexcept;
  ~Lun();

  unsigned char id() const;
  std::string file() const;
  // True when the slot holds a LUN, i.e. its file is not empty.
  bool has_file() const;

  // Returns the count after the increment.
  uint64_t increment_reference_count();
  // Does nothing at 0 (a connection may outlive a forced removal of its
  // LUN); otherwise logs and subtracts 1. Returns the count after the call.
  uint64_t decrement_reference_count();
  uint64_t reference_count() const;
  uint64_t read_op_count() const;
  uint64_t write_op_count() const;
  void increment_read_op_count();
  void increment_write_op_count();
  // Zeroes the op counts; the reference count is unchanged.
  void clear_op_counts();

  // Comparisons look at the id only.
  bool operator<(unsigned char id) const { return this->id() < id; }
  bool operator>(unsigned char id) const { return this->id() > id; }
  bool operator==(unsigned char id) const { return this->id() == id; }
  bool operator!=(unsigned char id) const { return this->id() != id; }
  bool operator==(const Lun& other) const { return id() == other.id(); }
  bool operator!=(const Lun& other) const { return id() != other.id(); }

 private:
  std::atomic<unsigned char> m_id{0};
  detail::GuardedText m_file;
  std::atomic<uint64_t> m_reference_count{0};
  std::atomic<uint64_t> m_read_op_count{0};
  std::atomic<uint64_t> m_write_op_count{0};
};

}  // namespace tarvelo::config
