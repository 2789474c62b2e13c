#include "StorageSupport.h"

#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tarvelo::storage {

void throwOrLogErrno(const std::string& message, int baseline, const char* file, int line) {
  std::string text = withErrno(message, errno);
  if (std::uncaught_exceptions() > baseline) {
    Logger(log_level_t::ERROR, file, line, "throwWithErrno") << text;
    return;
  }
  throw SystemFailure(text);
}

void throwErrno(const std::string& message) { throw SystemFailure(withErrno(message, errno)); }

DescriptorCloser::~DescriptorCloser() noexcept(false) {
  if (m_fd >= 0 && ::close(m_fd) != 0) throwOrLogErrno(m_failure, m_baseline, m_file, m_line);
}

}  // namespace tarvelo::storage
