#pragma once

// Bytes read ahead of the frames handed out, so that one read can bring many
// small frames. Internal to the transport library.

#include <cstddef>
#include <memory>

#include <tarvelo/Message.h>

#include "FrameParser.h"

namespace tarvelo::detail {

class ReadAhead {
 public:
  enum class Next { kFrame, kTooLarge, kRead };
  // Where the next read goes. `exact`: the rest of a frame too large for
  // the buffer, read straight into it, all of it and not a byte more;
  // otherwise the buffer takes what one read brings.
  struct Space {
    char* data;
    std::size_t size;
    bool exact;
  };

  // A new connection: nothing read earlier belongs to it.
  void reset(std::size_t maximum);

  // The next whole frame from what was read (kFrame). kTooLarge: a declared
  // length above the maximum. kRead: read into space() and say how much
  // arrived with filled().
  Next next(Message& frame, bool* placed = nullptr);
  // See FrameParser::place(); taking the frame or reset() forgets it.
  void place(std::size_t head, char* tail, std::size_t size) { m_parser.place(head, tail, size); }
  Space space();
  void filled(std::size_t count);

  uint64_t declared_length() const { return m_parser.length(); }
  std::size_t maximum() const { return m_parser.maximum(); }

 private:
  FrameParser m_parser;
  // Allocated for a read and released once a frame has taken its last byte.
  std::unique_ptr<char[]> m_inbox;
  std::size_t m_begin = 0;
  std::size_t m_end = 0;
  bool m_reading_exact = false;
};

}  // namespace tarvelo::detail
