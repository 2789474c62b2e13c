#include <tarveloftp/GuardedText.h>

#include <cstdint>
#include <utility>

namespace tarvelo::config::detail {

namespace {
constexpr std::size_t kGuards = 64;
std::mutex guards[kGuards];
}  // namespace

std::mutex& GuardedText::guard() const {
  auto address = reinterpret_cast<std::uintptr_t>(this);
  return guards[(address >> 4) % kGuards];
}

GuardedText& GuardedText::operator=(const GuardedText& other) {
  // Read, then write: never two guards at once.
  if (this != &other) set(other.get());
  return *this;
}

std::string GuardedText::get() const {
  std::lock_guard lock(guard());
  return m_text;
}

bool GuardedText::empty() const {
  std::lock_guard lock(guard());
  return m_text.empty();
}

void GuardedText::set(std::string text) {
  {
    std::lock_guard lock(guard());
    m_text.swap(text);
  }
  // The old text is freed here, outside the lock.
}

std::string GuardedText::take() {
  std::string text;
  std::lock_guard lock(guard());
  m_text.swap(text);
  return text;
}

}  // namespace tarvelo::config::detail
