#include "FrameParser.h"

#include <algorithm>
#include <cstring>

#include <tarvelo/Coding.h>

namespace tarvelo::detail {

void append_frame(std::vector<char>& into, const char* body, std::size_t length) {
  char header[kFrameHeaderSize];
  EncodeFixed64BE(header, length);
  into.insert(into.end(), header, header + kFrameHeaderSize);
  into.insert(into.end(), body, body + length);
}

void FrameParser::reset(std::size_t maximum) {
  m_maximum = maximum;
  m_header_size = 0;
  m_length = 0;
  m_frame = Message();
  m_body_size = 0;
}

FrameParser::Result FrameParser::body_status(std::size_t consumed) const {
  if (m_length > m_maximum) return {Status::kTooLarge, consumed, 0};
  if (m_body_size == m_length) return {Status::kFrame, consumed, 0};
  return {Status::kMore, consumed, body_missing()};
}

FrameParser::Result FrameParser::parse(const char* bytes, std::size_t size) {
  std::size_t consumed = 0;
  if (!has_header()) {
    consumed = std::min(kFrameHeaderSize - m_header_size, size);
    if (consumed > 0) std::memcpy(m_header + m_header_size, bytes, consumed);
    m_header_size += consumed;
    if (!has_header()) return {Status::kMore, consumed, kFrameHeaderSize - m_header_size};
    m_length = DecodeFixed64BE(m_header);
    // Checked before anything is allocated for it.
    if (m_length > m_maximum) return {Status::kTooLarge, consumed, 0};
    m_frame = Message::uninitialized(static_cast<long>(m_length));  // handed out only once full
    m_body_size = 0;
  }
  Result status = body_status(consumed);
  if (status.status != Status::kMore) return status;
  std::size_t taken = std::min(status.needed, size - consumed);
  if (taken > 0) std::memcpy(body_gap(), bytes + consumed, taken);
  m_body_size += taken;
  return body_status(consumed + taken);
}

FrameParser::Result FrameParser::filled(std::size_t count) {
  m_body_size += count;
  return body_status(0);
}

Message FrameParser::take_frame() {
  Message frame = std::move(m_frame);
  m_frame = Message();
  m_header_size = 0;
  m_length = 0;
  m_body_size = 0;
  return frame;
}

}  // namespace tarvelo::detail
