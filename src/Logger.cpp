#include <tarveloftp/Logger.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>

namespace tarvelo {

std::ostream* Logger::stdout_log = &std::cout;
std::ostream* Logger::stderr_log = &std::cerr;

namespace {

std::string level_to_str(log_level_t level) {
  auto value = static_cast<int32_t>(level);
  if (value == 2) return "WARNING";
  if (value > 2) return "ERROR";
  if (value == 0) return "DEBUG";
  return "INFO";
}

std::string datetime() { return detail::format_local_time(std::time(nullptr)); }

}  // namespace

// Formatted by hand so that it is thread-safe and does not depend on the
// locale.
std::string detail::format_local_time(std::time_t now) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return "";
  char text[64];
  std::snprintf(text, sizeof(text), "%s %s %2d %02d:%02d:%02d %d", kDays[local.tm_wday % 7],
                kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, local.tm_year + 1900);
  return text;
}

namespace {

// Whole lines, one writer at a time on streams that are not thread-safe
// themselves; also held while the destinations change.
std::mutex& writing() {
  static std::mutex mutex;
  return mutex;
}

// The destination is read under the lock that redirect() takes, so that a
// line begun on one thread while another redirects goes to one or the other.
std::ostream* destination_of(log_level_t level) {
  std::lock_guard lock(writing());
  return static_cast<int32_t>(level) <= 1 ? Logger::stdout_log : Logger::stderr_log;
}

}  // namespace

Logger::Logger(log_level_t level, const std::string& file, int line, const std::string& function)
    : m_destination(destination_of(level)) {
  *this << "[" << datetime() << "] " << level_to_str(level) << ": " << file << ":" << line
        << " : " << function << " ";
}

Logger::~Logger() {
  if (m_destination == nullptr) return;
  std::lock_guard lock(writing());
  *m_destination << str() << std::endl;
}

void Logger::redirect(std::ostream* out, std::ostream* err) {
  std::lock_guard lock(writing());
  stdout_log = out;
  stderr_log = err;
}

}  // namespace tarvelo
