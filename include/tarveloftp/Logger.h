#pragma once

#include <cstdint>
#include <ctime>
#include <ostream>
#include <sstream>
#include <string>

#include <tarveloftp/Export.h>

namespace tarvelo {

enum class log_level_t : int32_t { DEBUG = 0, INFO = 1, WARNING = 2, ERROR = 3 };

// One log line: construct, stream the message in, and the line is written
// when the object dies, at the end of the statement. DEBUG and INFO go to
// stdout_log, WARNING and ERROR to stderr_log.
class TARVELOFTP_EXPORT Logger : public std::ostringstream {
 public:
  Logger(log_level_t level, const std::string& file, int line, const std::string& function);
  ~Logger() override;

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Where lines go; null drops them. A program may point these elsewhere
  // before it starts threads that log, or call redirect() at any time; a
  // Logger reads them once, when it is constructed.
  static std::ostream* stdout_log;
  static std::ostream* stderr_log;
  static void redirect(std::ostream* out, std::ostream* err);

 private:
  std::ostream* m_destination;
};

namespace detail {
// `when` in local time, formatted as ctime() does, without its newline.
std::string format_local_time(std::time_t when);

// The last path component of a source path, found at compile time.
consteval const char* source_base_name(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (*p == '/') base = p + 1;
  return base;
}
}  // namespace detail

}  // namespace tarvelo

// TLOG(ERROR) << "text " << value; writes one line with the caller's file,
// line and function.
#define TLOG(level)                                                                  \
  ::tarvelo::Logger(::tarvelo::log_level_t::level,                                   \
                    ::tarvelo::detail::source_base_name(__FILE__), __LINE__, __func__)
