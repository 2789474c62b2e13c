#pragma once

#include <cstddef>
#include <memory>

#include <tarvelo/Export.h>

namespace tarvelo {

// One protocol message: an owned byte buffer. Copies share the bytes, so a
// message handed to an asynchronous send stays alive until the send is done
// without being copied.
class TARVELO_TRANSPORT_EXPORT Message {
 public:
  Message() = default;
  // Owns `size` zeroed bytes; a size of 0 or less makes a null message.
  explicit Message(long size);
  // Owns `size` bytes as the allocator gives them: for a buffer that is
  // filled completely before anything reads it (received frames), where
  // zeroing would only cost a pass over the bytes.
  static Message uninitialized(long size);

  char* buffer() { return m_bytes.get(); }
  const char* buffer() const { return m_bytes.get(); }
  bool null() const { return m_bytes == nullptr; }
  // Number of bytes the message holds (what arrived, for a received one).
  std::size_t size() const { return m_size; }

 private:
  std::shared_ptr<char[]> m_bytes;
  std::size_t m_size = 0;
};

}  // namespace tarvelo
