#include <tarvelo/Message.h>

namespace tarvelo {

Message::Message(long size) {
  if (size <= 0) return;
  m_bytes = std::make_shared<char[]>(static_cast<std::size_t>(size));
  m_size = static_cast<std::size_t>(size);
}

}  // namespace tarvelo
