#include "RateLimit.h"

#include <algorithm>
#include <thread>

namespace tarvelo::tools {

void RateLimit::take(long bytes) {
  if (m_rate <= 0 || bytes <= 0) return;
  Clock::time_point until;
  {
    std::lock_guard lock(m_mutex);
    // Each caller reserves the next slot of time its bytes cost and waits
    // for its end: the reservations never overlap, whatever the threads.
    auto cost = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(bytes) / static_cast<double>(m_rate)));
    m_paid_until = std::max(m_paid_until, Clock::now()) + cost;
    until = m_paid_until;
  }
  std::this_thread::sleep_until(until);
}

}  // namespace tarvelo::tools
