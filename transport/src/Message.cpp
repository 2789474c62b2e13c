#include <tarvelo/Message.h>

#include <cstdlib>
#include <new>

namespace tarvelo {

Message::Message(long size) {
  if (size <= 0) return;
  // calloc rather than a filled new[]: a large buffer comes zeroed from the
  // system without being touched, so a frame that a peer announces but does
  // not send costs no resident memory until its bytes arrive.
  char* bytes = static_cast<char*>(std::calloc(static_cast<std::size_t>(size), 1));
  if (bytes == nullptr) throw std::bad_alloc();
  m_bytes = std::shared_ptr<char[]>(bytes, std::free);
  m_size = static_cast<std::size_t>(size);
}

Message Message::uninitialized(long size) {
  Message message;
  if (size <= 0) return message;
  // Large blocks come straight from the system, untouched until written.
  char* bytes = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
  if (bytes == nullptr) throw std::bad_alloc();
  message.m_bytes = std::shared_ptr<char[]>(bytes, std::free);
  message.m_size = static_cast<std::size_t>(size);
  return message;
}

}  // namespace tarvelo
