// Frames arrive in pieces that have nothing to do with frame boundaries: many
// in one read, one split over several, some larger than the read-ahead
// buffer. Both receive paths must hand out exactly the frames that were sent.

#include <tarvelo/BasicSocket.h>
#include <tarvelo/Coding.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "FrameParser.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using StatusCode = Transport::StatusCode;

std::vector<std::vector<char>> mixed_messages() {
  std::vector<std::vector<char>> messages;
  uint32_t seed = 1;
  for (std::size_t size : {32, 0, 100000, 10, 16 * 1024 - 8, 16 * 1024 + 1, 3, 2 << 20})
    messages.push_back(test::random_bytes(size, seed++));
  for (int i = 0; i < 300; ++i) messages.push_back(test::random_bytes(32 + i % 7, seed++));
  return messages;
}

std::vector<char> framed(const std::vector<std::vector<char>>& messages) {
  std::vector<char> stream;
  for (const auto& message : messages) {
    char header[8];
    EncodeFixed64BE(header, message.size());
    stream.insert(stream.end(), header, header + sizeof(header));
    stream.insert(stream.end(), message.begin(), message.end());
  }
  return stream;
}

using detail::FrameParser;
using Status = FrameParser::Status;

// Feeds `bytes` to the parser and collects the frames it hands out, checking
// on the way that it never takes a byte past a whole frame and that what it
// says it still needs is what completes the header or the body.
void feed(FrameParser& parser, const char* bytes, std::size_t size,
          std::vector<std::vector<char>>& frames, std::size_t& needed) {
  while (size > 0) {
    FrameParser::Result result = parser.parse(bytes, size);
    ASSERT_LE(result.consumed, size);
    if (result.status == Status::kFrame) {
      Message frame = parser.take_frame();
      frames.emplace_back(frame.buffer(), frame.buffer() + frame.size());
      needed = detail::kFrameHeaderSize;
    } else {
      ASSERT_EQ(result.status, Status::kMore);
      ASSERT_EQ(result.consumed, size);
      ASSERT_GT(result.needed, 0u);
      needed = result.needed;
    }
    bytes += result.consumed;
    size -= result.consumed;
  }
}

TEST(TransportFrameParserTest, FramesComeWholeFromBytesSplitAnywhere) {
  // Empty, one byte, and around the read-ahead buffer's size, all in one
  // buffer.
  std::vector<std::vector<char>> messages;
  uint32_t seed = 1;
  for (std::size_t size : {0, 1, 4095, 4096, 4097, 1}) messages.push_back(test::random_bytes(size, seed++));
  std::vector<char> stream = framed(messages);

  for (std::size_t split = 0; split <= stream.size(); ++split) {
    SCOPED_TRACE(split);
    FrameParser parser;
    std::vector<std::vector<char>> frames;
    std::size_t needed = detail::kFrameHeaderSize;
    feed(parser, stream.data(), split, frames, needed);
    // What it still needs is what completes the header or body under way.
    std::size_t frame_start = 0;
    for (const auto& message : messages) {
      std::size_t header_end = frame_start + detail::kFrameHeaderSize;
      std::size_t frame_end = header_end + message.size();
      if (split >= frame_start && split < frame_end) {
        EXPECT_EQ(needed, split < header_end ? header_end - split : frame_end - split);
        break;
      }
      frame_start = frame_end;
    }
    feed(parser, stream.data() + split, stream.size() - split, frames, needed);
    ASSERT_EQ(frames, messages);
    EXPECT_EQ(needed, detail::kFrameHeaderSize);  // nothing left over
  }
  // A byte at a time: every header and body boundary on its own.
  FrameParser parser;
  std::vector<std::vector<char>> frames;
  std::size_t needed = detail::kFrameHeaderSize;
  for (char byte : stream) feed(parser, &byte, 1, frames, needed);
  EXPECT_EQ(frames, messages);

  // A large body can be read straight into place once the header is in.
  std::vector<char> large = framed({test::random_bytes(5000, 9)});
  FrameParser direct;
  ASSERT_EQ(direct.parse(large.data(), 100).status, Status::kMore);
  ASSERT_TRUE(direct.has_header());
  ASSERT_EQ(direct.body_missing(), 5000u - 92);
  std::memcpy(direct.body_gap(), large.data() + 100, 1000);
  EXPECT_EQ(direct.filled(1000).needed, 5000u - 1092);
  std::memcpy(direct.body_gap(), large.data() + 1100, large.size() - 1100);
  ASSERT_EQ(direct.filled(large.size() - 1100).status, Status::kFrame);
  Message frame = direct.take_frame();
  EXPECT_EQ(std::vector<char>(frame.buffer(), frame.buffer() + frame.size()), test::random_bytes(5000, 9));

  // A placed frame, split anywhere (the head's end included): its head in
  // the frame, the rest in the tail. Placing a frame whose header is in, or
  // of another length, changes nothing.
  const std::vector<char> body = test::random_bytes(5000, 10);
  const std::vector<char> two = framed({body, body});
  for (std::size_t split = 0; split <= two.size(); split += split < 40 ? 1 : 97) {
    SCOPED_TRACE(split);
    FrameParser placing;
    std::vector<char> tail(4976, 'x'), small(10, 'x');
    placing.place(24, tail.data(), tail.size());
    std::vector<std::vector<char>> frames;
    bool placed = false;
    std::size_t at = 0;
    for (std::size_t end : {split, two.size()})
      while (at < end) {
        FrameParser::Result result = placing.parse(two.data() + at, end - at);
        at += result.consumed;
        if (result.status != Status::kFrame) continue;
        Message whole = placing.take_frame(frames.empty() ? &placed : nullptr);
        frames.emplace_back(whole.buffer(), whole.buffer() + whole.size());
        placing.place(24, small.data(), small.size());
      }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(placed);
    EXPECT_EQ(frames[0], std::vector<char>(body.begin(), body.begin() + 24));
    EXPECT_EQ(tail, std::vector<char>(body.begin() + 24, body.end()));
    EXPECT_EQ(frames[1], body);
    EXPECT_EQ(small, std::vector<char>(10, 'x'));
  }
  std::vector<char> unused(4976, 'x');
  FrameParser late;
  ASSERT_EQ(late.parse(two.data(), 10).status, Status::kMore);
  late.place(24, unused.data(), unused.size());
  ASSERT_EQ(late.parse(two.data() + 10, 5000 - 2).status, Status::kFrame);
  bool placed = true;
  EXPECT_EQ(late.take_frame(&placed).size(), 5000u);
  EXPECT_FALSE(placed);
  EXPECT_EQ(unused, std::vector<char>(4976, 'x'));
}

TEST(TransportFrameParserTest, LengthAboveTheMaximumIsRefusedBeforeAnyBody) {
  char header[detail::kFrameHeaderSize];
  EncodeFixed64BE(header, kMaxMessageSize + 1);
  FrameParser parser;
  FrameParser::Result result = parser.parse(header, sizeof(header) - 1);
  EXPECT_EQ(result.status, Status::kMore);
  EXPECT_EQ(result.needed, 1u);
  result = parser.parse(header + sizeof(header) - 1, 1);
  EXPECT_EQ(result.status, Status::kTooLarge);
  EXPECT_EQ(result.consumed, 1u);
  EXPECT_EQ(parser.length(), kMaxMessageSize + 1);
  // It stays refused, taking nothing more, until the parser starts over.
  result = parser.parse(header, sizeof(header));
  EXPECT_EQ(result.status, Status::kTooLarge);
  EXPECT_EQ(result.consumed, 0u);
  // The maximum itself passes (the body is not touched until it arrives),
  // and a parser set for larger frames takes the one refused above.
  parser.reset(kMaxMessageSize);
  EncodeFixed64BE(header, kMaxMessageSize);
  result = parser.parse(header, sizeof(header));
  EXPECT_EQ(result.status, Status::kMore);
  EXPECT_EQ(result.needed, kMaxMessageSize);
  parser.reset(kMaxMessageSize + 1);
  EncodeFixed64BE(header, kMaxMessageSize + 1);
  EXPECT_EQ(parser.parse(header, sizeof(header)).status, Status::kMore);
}

TEST(TransportReadAheadTest, FramesSurviveAnySplitAndJoin) {
  test::EchoServer echo;
  std::vector<std::vector<char>> messages = mixed_messages();
  std::vector<char> stream = framed(messages);

  // The server reads pieces of random sizes, from one byte to many frames.
  int fd = test::connect_raw(echo.port());
  ASSERT_GE(fd, 0);
  std::mt19937 random(7);
  std::thread writer([&] {
    for (std::size_t at = 0; at < stream.size();) {
      std::size_t piece = std::min<std::size_t>(stream.size() - at, 1 + random() % 9000);
      ASSERT_TRUE(test::send_raw(fd, stream.data() + at, piece));
      at += piece;
      if (random() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::vector<char> echoed(stream.size());
  EXPECT_EQ(test::receive_raw(fd, echoed.data(), echoed.size()), echoed.size());
  writer.join();
  EXPECT_TRUE(echoed == stream);

  // A declared length above the maximum behind good frames: those frames
  // still arrive, then the connection ends.
  std::vector<char> tail = framed({test::random_bytes(40, 99)});
  for (int i = 0; i < 8; ++i) tail.push_back(static_cast<char>(0x7f));
  ASSERT_TRUE(test::send_raw(fd, tail.data(), tail.size()));
  std::vector<char> last(48);
  EXPECT_EQ(test::receive_raw(fd, last.data(), last.size()), last.size());
  char more;
  EXPECT_EQ(test::receive_raw(fd, &more, 1), 0u);
  ::close(fd);
  for (int i = 0; i < 200 && echo.last_failure_code == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(echo.last_failure_code, Transport::kFrameTooLarge);

  // The blocking side: send_all puts the small ones out together, and
  // receive hands the echoes back one by one from what it read ahead, as
  // take_ready does with those already whole.
  BasicSocket client(std::make_unique<TCPTransport>());
  ASSERT_TRUE(client.connect("127.0.0.1", echo.port()).ok());
  std::vector<Message> outgoing;
  for (const auto& bytes : messages) {
    Message message(static_cast<long>(bytes.size()));
    if (!bytes.empty()) std::memcpy(message.buffer(), bytes.data(), bytes.size());
    outgoing.push_back(message);
  }
  ASSERT_TRUE(client.send_all(outgoing).ok());
  int taken = 0;
  for (const auto& bytes : messages) {
    Message reply;
    if (client.take_ready(reply)) {
      ++taken;
    } else {
      StatusCode status;
      reply = client.receive(&status);
      ASSERT_TRUE(status.ok()) << status.text;
    }
    ASSERT_EQ(reply.size(), bytes.size());
    if (!bytes.empty()) {
      ASSERT_EQ(std::memcmp(reply.buffer(), bytes.data(), bytes.size()), 0);
    }
  }
  EXPECT_GT(taken, 100);

  // Echoes received into place: a large one read straight into the tail,
  // a small one from what was read ahead, and one of another length whole.
  for (std::size_t size : {std::size_t{2} << 20, std::size_t{300}, std::size_t{5000}}) {
    SCOPED_TRACE(size);
    std::vector<char> bytes = test::random_bytes(size, 77);
    Message message(static_cast<long>(size));
    std::memcpy(message.buffer(), bytes.data(), size);
    ASSERT_TRUE(client.send(message).ok());
    const std::size_t tail_size = size == 5000 ? 100 : size - 16;
    std::vector<char> tail(tail_size);
    bool placed = false;
    StatusCode status;
    Message reply = client.receive_placed({16, tail.data(), tail.size()}, placed, &status);
    ASSERT_TRUE(status.ok()) << status.text;
    if (size == 5000) {
      EXPECT_FALSE(placed);
      EXPECT_EQ(std::vector<char>(reply.buffer(), reply.buffer() + reply.size()), bytes);
    } else {
      EXPECT_TRUE(placed);
      EXPECT_TRUE(std::equal(reply.buffer(), reply.buffer() + 16, bytes.begin()));
      EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.begin() + 16));
    }
  }
}

}  // namespace
}  // namespace tarvelo
