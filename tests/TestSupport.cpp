#include "TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <stdexcept>

#include <tarveloftp/Logger.h>

namespace tarvelo::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarveloftp-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

uint16_t free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("bind failed");
  }
  close(fd);
  return ntohs(address.sin_port);
}

int connect_raw(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_raw(int fd, const void* bytes, std::size_t size) {
  const char* next = static_cast<const char*>(bytes);
  while (size > 0) {
    ssize_t sent = ::send(fd, next, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    next += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

std::size_t receive_raw(int fd, void* bytes, std::size_t size) {
  std::size_t total = 0;
  while (total < size) {
    ssize_t got = ::recv(fd, static_cast<char*>(bytes) + total, size - total, 0);
    if (got <= 0) break;
    total += static_cast<std::size_t>(got);
  }
  return total;
}

std::vector<char> random_bytes(std::size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<char> bytes(size);
  for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

void write_file(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!stream) throw std::runtime_error("cannot write " + path);
}

std::vector<char> read_file(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(stream), {});
}

std::string LockedStringBuf::text() {
  std::lock_guard lock(m_mutex);
  return str();
}

std::streamsize LockedStringBuf::xsputn(const char* bytes, std::streamsize count) {
  std::lock_guard lock(m_mutex);
  return std::stringbuf::xsputn(bytes, count);
}

LockedStringBuf::int_type LockedStringBuf::overflow(int_type c) {
  std::lock_guard lock(m_mutex);
  return std::stringbuf::overflow(c);
}

CaptureLog::CaptureLog() : m_saved_out(Logger::stdout_log), m_saved_err(Logger::stderr_log) {
  Logger::stdout_log = &m_out;
  Logger::stderr_log = &m_err;
}

CaptureLog::~CaptureLog() {
  Logger::stdout_log = m_saved_out;
  Logger::stderr_log = m_saved_err;
}

}  // namespace tarvelo::test
