#pragma once

#include <mutex>
#include <string>
#include <utility>

#include <tarveloftp/Export.h>

namespace tarvelo::config::detail {

// A string that one thread may replace while another reads it: the
// administration thread rewrites target and LUN slots that connection
// handlers hold references to. Each access locks one of a small fixed set of
// mutexes chosen by address, so the object stays copyable and small, and no
// access ever holds two of them.
class TARVELOFTP_EXPORT GuardedText {
 public:
  GuardedText() = default;
  explicit GuardedText(std::string text) : m_text(std::move(text)) {}
  GuardedText(const GuardedText& other) : m_text(other.get()) {}
  GuardedText& operator=(const GuardedText& other);
  ~GuardedText() = default;

  std::string get() const;
  bool empty() const;
  void set(std::string text);
  // Leaves the empty string behind.
  std::string take();

 private:
  std::mutex& guard() const;

  std::string m_text;
};

}  // namespace tarvelo::config::detail
