#pragma once

// --bwlimit: one budget of bytes per second shared by every session of a
// transfer, so that several connections together stay under the rate.

#include <chrono>
#include <mutex>

namespace tarvelo::tools {

// Safe from any thread; callers block in take() while over budget.
class RateLimit {
 public:
  // At most `bytes_per_second` on average from the first take(); 0: no limit.
  explicit RateLimit(long bytes_per_second) : m_rate(bytes_per_second) {}

  // Returns once `bytes` more fit the budget. Bytes not used while idle are
  // not saved up, so a pause is never followed by a burst over the rate.
  void take(long bytes);

 private:
  using Clock = std::chrono::steady_clock;
  const long m_rate;
  std::mutex m_mutex;
  Clock::time_point m_paid_until{};  // guarded by m_mutex
};

}  // namespace tarvelo::tools
