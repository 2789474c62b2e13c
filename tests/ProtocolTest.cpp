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

TEST(ProtocolTest, CodingHelpers) {
  char buffer[8];
  EncodeFixed64LE(buffer, 0x0102030405060708ull);
  EXPECT_EQ(buffer[0], 8);
  EXPECT_EQ(DecodeFixed64LE(buffer), 0x0102030405060708ull);
  EncodeFixed16LE(buffer, 0xBEEF);
  EXPECT_EQ(DecodeFixed16LE(buffer), 0xBEEF);
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
