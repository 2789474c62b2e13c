#pragma once

// A progress bar with rate and time left, redrawn on standard error a few
// times a second by its own thread. Workers only add to an atomic counter.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tarvelo::tools {

class Progress {
 public:
  // Draws nothing unless `enabled` (the caller decides: a terminal on
  // standard error and no --quiet).
  explicit Progress(bool enabled);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Starts a new phase of `total` bytes; the counter restarts at 0.
  void start(const std::string& label, long total);
  // Safe from any thread.
  void add(long bytes) { m_done.fetch_add(bytes, std::memory_order_relaxed); }
  // Erases the bar; the next output starts on a clean line.
  void finish();

  static bool stderr_is_terminal();

 private:
  void run();
  void draw();

  bool m_enabled;
  std::atomic<long> m_done{0};
  std::mutex m_mutex;  // guards the fields below and the terminal line
  std::condition_variable m_wake;
  std::string m_label;
  long m_total = 0;
  bool m_active = false;
  bool m_stop = false;
  std::chrono::steady_clock::time_point m_started;
  std::thread m_thread;
};

}  // namespace tarvelo::tools
