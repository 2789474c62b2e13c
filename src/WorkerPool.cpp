#include "WorkerPool.h"

#include <exception>

#include <tarveloftp/Logger.h>

namespace tarvelo::detail {

WorkerPool::WorkerPool(std::size_t threads) {
  m_threads.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) m_threads.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  for (std::thread& thread : m_threads) thread.join();
}

void WorkerPool::post(std::function<void()> job) {
  {
    std::lock_guard lock(m_mutex);
    m_jobs.push_back(std::move(job));
  }
  m_wake.notify_one();
}

void WorkerPool::wait_idle() {
  std::unique_lock lock(m_mutex);
  m_idle.wait(lock, [this] { return m_jobs.empty() && m_running == 0; });
}

bool WorkerPool::jobs_waiting() {
  std::lock_guard lock(m_mutex);
  return !m_jobs.empty();
}

void WorkerPool::work() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
    if (m_jobs.empty()) return;  // stopping, and nothing left to run
    std::function<void()> job = std::move(m_jobs.front());
    m_jobs.pop_front();
    ++m_running;
    lock.unlock();
    try {
      job();
    } catch (const std::exception& error) {
      // A job that throws must not take the server down with it.
      TLOG(ERROR) << "Worker job failed: " << error.what();
    }
    job = nullptr;  // its captures go before the pool may count itself idle
    lock.lock();
    --m_running;
    if (m_jobs.empty() && m_running == 0) m_idle.notify_all();
  }
}

}  // namespace tarvelo::detail
