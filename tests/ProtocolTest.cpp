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

TEST(ProtocolTest, MessageFrontIsBigEndianAtFixedOffsets) {
  tarvelo_protocol_message_t front;
  front.command = COMMAND_READ;
  front.uid = {3, 7};
  front.session_id = 0x01020304;
  front.fields[0] = 0x1122334455667788ull;
  front.fields[1] = 42;
  front.fields[2] = UINT64_MAX;
  char bytes[wire::kHeaderSize] = {};
  encode_message_front(bytes, front);
  EXPECT_EQ(bytes[0], 2);
  EXPECT_EQ(bytes[1], 3);
  EXPECT_EQ(bytes[2], 7);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(std::string(bytes + 4, 4), "\x01\x02\x03\x04");
  EXPECT_EQ(std::string(bytes + 8, 8), "\x11\x22\x33\x44\x55\x66\x77\x88");
  EXPECT_EQ(bytes[23], 42);
  tarvelo_protocol_message_t back = decode_message_front(bytes);
  EXPECT_EQ(back.command, COMMAND_READ);
  EXPECT_EQ(back.uid, front.uid);
  EXPECT_EQ(back.session_id, front.session_id);
  EXPECT_EQ(back.fields[0], front.fields[0]);
  EXPECT_EQ(back.fields[2], UINT64_MAX);
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
