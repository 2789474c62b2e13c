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
}

}  // namespace
}  // namespace tarvelo
