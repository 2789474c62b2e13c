#pragma once

// The framing of a BasicSocket connection, parsed from bytes alone: each
// frame is its body's length, 8 bytes big-endian, then the body. Internal to
// the transport library.

#include <cstddef>
#include <cstdint>
#include <vector>

#include <tarvelo/Message.h>
#include <tarvelo/Transport.h>

namespace tarvelo::detail {

inline constexpr std::size_t kFrameHeaderSize = 8;  // big-endian length of the body that follows

// Frames up to this size are copied, header and body, back to back into one
// buffer before they are written: a system call per small message, or two
// of the 16 buffers the socket library passes per call, cost more than the
// copy. Larger frames are written from where they are.
inline constexpr std::size_t kCopiedFrameSize = 4096;

// Appends the header of a frame of `length` bytes, then the bytes, to `into`.
void append_frame(std::vector<char>& into, const char* body, std::size_t length);

// Takes a connection's bytes in pieces of any size and hands out whole
// frames. Never looks past the frame under way, so a socket can feed it
// what one read brought and keep the rest for the next frame.
class FrameParser {
 public:
  enum class Status {
    kFrame,     // a frame is whole: take_frame() hands it out
    kMore,      // every byte offered was taken; `needed` more complete the header or body
    kTooLarge,  // the declared length is above the maximum; stays so until reset()
  };
  struct Result {
    Status status;
    std::size_t consumed;  // bytes taken from those offered
    std::size_t needed;    // kMore: bytes still missing from the header or the body
  };

  explicit FrameParser(std::size_t maximum = kMaxMessageSize) : m_maximum(maximum) {}

  // Forgets any frame under way; the next byte starts a header.
  void reset(std::size_t maximum);
  std::size_t maximum() const { return m_maximum; }

  Result parse(const char* bytes, std::size_t size);
  // After kFrame: the frame (null when its length is 0); parsing goes on
  // with the next one. `placed`, if given, says whether the frame's bytes
  // past the placement's head went to its tail.
  Message take_frame(bool* placed = nullptr);

  // For the next frame whose header is still to come, and only if its
  // length is exactly head + size: its bytes past the first `head` go to
  // `tail`, and the frame holds the head alone. Forgotten when the frame
  // is taken (placed or not) and by reset().
  void place(std::size_t head, char* tail, std::size_t size);

  // Once the header is in: the declared length and where the missing body
  // bytes go, so that a large body can be read straight into place and
  // reported with filled().
  bool has_header() const { return m_header_size == kFrameHeaderSize; }
  uint64_t length() const { return m_length; }
  // The next missing bytes that lie back to back, at most body_missing().
  char* body_gap();
  std::size_t gap_size() const;
  std::size_t body_missing() const { return static_cast<std::size_t>(m_length - m_body_size); }
  Result filled(std::size_t count);

 private:
  Result body_status(std::size_t consumed) const;
  void forget_placement();

  std::size_t m_maximum;
  char m_header[kFrameHeaderSize] = {};
  std::size_t m_header_size = 0;
  uint64_t m_length = 0;
  // Allocated once the header is in and the length accepted.
  Message m_frame;
  std::size_t m_body_size = 0;
  // The placement asked for, and whether the frame under way follows it.
  std::size_t m_head = 0;
  char* m_tail = nullptr;
  std::size_t m_tail_size = 0;
  bool m_placing = false;
};

}  // namespace tarvelo::detail
