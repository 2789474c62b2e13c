#include <tarveloftp/Coding.h>
#include <tarveloftp/Protocol.h>

#include <gtest/gtest.h>

namespace tarvelo {
namespace {

TEST(ProtocolTest, NamesOfUnknownCommandsAndStatuses) {
  EXPECT_EQ(Protocol::to_string(COMMAND_HASH_HANDSHAKE), "COMMAND_HASH_HANDSHAKE");
  EXPECT_EQ(Protocol::to_string(static_cast<tarvelo_protocol_command_t>(10)), "Unknown command: 10");
  EXPECT_EQ(Protocol::to_string(STATUS_EBADF), "STATUS_EBADF");
  EXPECT_EQ(Protocol::to_string(static_cast<tarvelo_protocol_status_t>(255)), "Unknown status: 255");
}

// (The other helpers carry every wire and file format the other tests read.)
TEST(ProtocolTest, CheckedDecodeStaysInsideTheBuffer) {
  char buffer[8];
  EncodeBigEndian<int64_t>(buffer, -2);
  EXPECT_EQ(DecodeBigEndian<int64_t>(buffer), -2);
  uint64_t value = 7;
  EXPECT_FALSE(DecodeFixed64BEChecked(buffer, 8, 1, &value));
  EXPECT_FALSE(DecodeFixed64BEChecked(buffer, 8, 9, &value));
  EXPECT_EQ(value, 7u);
  EXPECT_TRUE(DecodeFixed64BEChecked(buffer, 8, 0, &value));
  EXPECT_EQ(static_cast<int64_t>(value), -2);
}

}  // namespace
}  // namespace tarvelo
