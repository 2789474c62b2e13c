#pragma once

// Error reporting shared by the hash store and the journal: failures of
// system calls become std::runtime_error texts ending in ": " and errno, and
// a failure met while cleaning up after an earlier one is logged instead, so
// the first error is the one the caller sees.

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include <tarveloftp/Logger.h>

// The caller's source file name and line, for the arguments named file and
// line below.
#define TARVELO_STORAGE_HERE ::tarvelo::detail::source_base_name(__FILE__), __LINE__

namespace tarvelo::storage {

inline std::string withErrno(const std::string& message, int error) {
  return message + ": " + std::to_string(error);
}

// A system call that failed: the file it was about may be sound, so callers
// that would otherwise give up on the file tell it apart from bad content.
class SystemFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws message + ": " + errno, unless an exception raised after the
// std::uncaught_exceptions() count `baseline` was taken is propagating: then
// the text is logged at ERROR from throwWithErrno and the call returns.
void throwOrLogErrno(const std::string& message, int baseline, const char* file, int line);

// Throws message + ": " + errno as a SystemFailure.
[[noreturn]] void throwErrno(const std::string& message);

// Closes a descriptor when the scope ends. A failing close is raised when
// the scope ends normally and logged when it ends by an exception.
class DescriptorCloser {
 public:
  DescriptorCloser(int fd, std::string failure, const char* file, int line)
      : m_fd(fd), m_failure(std::move(failure)), m_file(file), m_line(line),
        m_baseline(std::uncaught_exceptions()) {}
  ~DescriptorCloser() noexcept(false);
  DescriptorCloser(const DescriptorCloser&) = delete;
  DescriptorCloser& operator=(const DescriptorCloser&) = delete;

 private:
  int m_fd;
  std::string m_failure;
  const char* m_file;
  int m_line;
  int m_baseline;
};

// Runs a function when the scope ends unless dismissed. The function may
// throw; it must check std::uncaught_exceptions() itself before doing so.
template <typename Function>
class ScopeExit {
 public:
  explicit ScopeExit(Function function) : m_function(std::move(function)) {}
  ~ScopeExit() noexcept(false) {
    if (m_armed) m_function();
  }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  void dismiss() { m_armed = false; }

 private:
  Function m_function;
  bool m_armed = true;
};

}  // namespace tarvelo::storage
