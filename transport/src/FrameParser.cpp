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
  forget_placement();
}

void FrameParser::place(std::size_t head, char* tail, std::size_t size) {
  // A frame already under way was allocated whole.
  if (has_header()) return;
  m_head = head;
  m_tail = tail;
  m_tail_size = size;
}

void FrameParser::forget_placement() {
  m_head = 0;
  m_tail = nullptr;
  m_tail_size = 0;
  m_placing = false;
}

char* FrameParser::body_gap() {
  if (m_placing && m_body_size >= m_head) return m_tail + (m_body_size - m_head);
  return m_frame.buffer() + m_body_size;
}

std::size_t FrameParser::gap_size() const {
  if (m_placing && m_body_size < m_head) return m_head - m_body_size;
  return body_missing();
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
    m_placing = m_tail != nullptr && m_length == m_head + m_tail_size;
    // Handed out only once full.
    m_frame = Message::uninitialized(static_cast<long>(m_placing ? m_head : m_length));
    m_body_size = 0;
  }
  Result status = body_status(consumed);
  // The bytes may straddle the end of a placed frame's head.
  while (status.status == Status::kMore && consumed < size) {
    std::size_t taken = std::min(gap_size(), size - consumed);
    std::memcpy(body_gap(), bytes + consumed, taken);
    m_body_size += taken;
    consumed += taken;
    status = body_status(consumed);
  }
  return status;
}

FrameParser::Result FrameParser::filled(std::size_t count) {
  m_body_size += count;
  return body_status(0);
}

Message FrameParser::take_frame(bool* placed) {
  if (placed) *placed = m_placing;
  Message frame = std::move(m_frame);
  m_frame = Message();
  m_header_size = 0;
  m_length = 0;
  m_body_size = 0;
  forget_placement();
  return frame;
}

}  // namespace tarvelo::detail
