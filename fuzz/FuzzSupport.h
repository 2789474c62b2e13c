#pragma once

// Helpers shared by the fuzz targets: a scratch directory, silenced logging,
// and a reader that takes fields off the fuzzer's input.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

#include <tarveloftp/Logger.h>

namespace tarvelo::fuzz {

// Stops the process with a message; the fuzzer records the input.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

// A directory for the files of one fuzzer process, in memory when the
// machine has /dev/shm (the storage code syncs often), removed at exit.
inline const std::filesystem::path& scratch_dir() {
  static const std::filesystem::path dir = [] {
    std::filesystem::path base = std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                      : std::filesystem::temp_directory_path();
    std::filesystem::path made = base / ("tarveloftp-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(made);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch_dir(), ignored);
    });
    return made;
  }();
  return dir;
}

// Log lines would only slow the fuzzer down.
inline void silence_logs() {
  struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
  };
  static NullBuffer buffer;
  static std::ostream sink(&buffer);
  Logger::stdout_log = &sink;
  Logger::stderr_log = &sink;
}

// Takes fields off the front of the input; past the end it yields zeros
// and empty pieces.
class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

  bool empty() const { return m_offset >= m_size; }
  std::size_t remaining() const { return m_size - m_offset; }

  uint8_t byte() { return empty() ? 0 : m_data[m_offset++]; }
  uint16_t u16() {
    uint16_t low = byte();
    return static_cast<uint16_t>(low | (byte() << 8));
  }
  uint64_t u64() {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(byte()) << (8 * i);
    return value;
  }
  // Up to `count` bytes (fewer at the end of the input).
  std::string_view bytes(std::size_t count) {
    count = std::min(count, remaining());
    std::string_view piece(reinterpret_cast<const char*>(m_data + m_offset), count);
    m_offset += count;
    return piece;
  }

 private:
  const uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_offset = 0;
};

}  // namespace tarvelo::fuzz
