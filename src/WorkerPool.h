#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tarvelo::detail {

// A fixed set of threads taking jobs from one queue, first come first
// served. Jobs must not wait for each other or for the thread that posts
// them, so that wait_idle() can always return.
class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads);
  // Runs the jobs still queued, then joins the threads.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void post(std::function<void()> job);
  // Returns once no job is queued or running; jobs posted by jobs count.
  void wait_idle();
  // Whether a job waits for a thread: one that has nothing else to do may
  // spend its time on slow work (waiting for a client to take replies).
  bool jobs_waiting();
  std::size_t size() const { return m_threads.size(); }

 private:
  void work();

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::condition_variable m_idle;
  std::deque<std::function<void()>> m_jobs;
  std::size_t m_running = 0;
  bool m_stopping = false;
  std::vector<std::thread> m_threads;
};

}  // namespace tarvelo::detail
