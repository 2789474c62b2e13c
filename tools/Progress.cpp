#include "Progress.h"

#include <unistd.h>

#include <cstdio>

#include "CommandLine.h"

namespace tarvelo::tools {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr int kBarWidth = 30;

std::string clock_text(double seconds) {
  if (seconds < 0 || seconds > 359999) return "--:--";
  auto whole = static_cast<long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600)
    std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", whole / 3600, (whole / 60) % 60, whole % 60);
  else
    std::snprintf(text, sizeof(text), "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

}  // namespace

Progress::Progress(bool enabled) : m_enabled(enabled) {
  if (m_enabled) m_thread = std::thread([this] { run(); });
}

Progress::~Progress() {
  finish();
  if (m_thread.joinable()) {
    {
      std::lock_guard lock(m_mutex);
      m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
  }
}

bool Progress::stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

void Progress::start(const std::string& label, long total) {
  std::lock_guard lock(m_mutex);
  m_label = label;
  m_total = total;
  m_done.store(0);
  m_started = std::chrono::steady_clock::now();
  m_active = true;
}

void Progress::finish() {
  std::lock_guard lock(m_mutex);
  if (!m_enabled || !m_active) return;
  m_active = false;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
}

void Progress::run() {
  std::unique_lock lock(m_mutex);
  while (!m_stop) {
    m_wake.wait_for(lock, kRedrawInterval, [this] { return m_stop; });
    if (!m_stop && m_active) draw();
  }
}

void Progress::draw() {
  long done = m_done.load(std::memory_order_relaxed);
  double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
  double fraction = m_total > 0 ? static_cast<double>(done) / static_cast<double>(m_total) : 0.0;
  if (fraction > 1.0) fraction = 1.0;
  double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
  double left = rate > 0 ? static_cast<double>(m_total - done) / rate : -1.0;
  int filled = static_cast<int>(fraction * kBarWidth);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kBarWidth, ' ');
  std::fprintf(stderr, "\r\033[K%s [%s] %3.0f%% %s/s %s left", m_label.c_str(), bar.c_str(),
               fraction * 100.0, human_bytes(rate).c_str(), clock_text(left).c_str());
  std::fflush(stderr);
}

}  // namespace tarvelo::tools
