#include <tarvelo/SocketImpl.h>
#include <tarveloftp/Coding.h>
#include <tarveloftp/IHashFunction.h>
#include <tarveloftp/Protocol.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

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

// The vtable slot of a virtual member function: under the Itanium C++ ABI a
// pointer to one holds 1 + the slot's byte offset in the vtable.
template <typename Pointer>
long slot_of(Pointer member) {
  static_assert(sizeof(member) == 2 * sizeof(std::ptrdiff_t));
  std::ptrdiff_t words[2];
  std::memcpy(words, &member, sizeof(words));
  return static_cast<long>((words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*)));
}

// Programs built against the libraries call through these slots and read
// acknowledgement records at these offsets; additions go after them.
TEST(ProtocolTest, BinaryLayoutThatProgramsRelyOn) {
  EXPECT_EQ(sizeof(tarvelo_write_acknowledgement_t), 17u);
  EXPECT_EQ(offsetof(tarvelo_write_acknowledgement_t, length), 8u);
  EXPECT_EQ(offsetof(tarvelo_write_acknowledgement_t, status), 16u);
  // Slots 0 and 1 are the destructor's.
  const std::vector<long> socket{
      slot_of(&SocketImpl::connect),       slot_of(&SocketImpl::listen),
      slot_of(&SocketImpl::async_accept),  slot_of(&SocketImpl::receive),
      slot_of(&SocketImpl::async_receive), slot_of(&SocketImpl::send),
      slot_of(&SocketImpl::async_send),    slot_of(&SocketImpl::async_reply),
      slot_of(&SocketImpl::close),         slot_of(&SocketImpl::run),
      slot_of(&SocketImpl::stop),          slot_of(&SocketImpl::is_receiving),
      slot_of(&SocketImpl::is_sending)};
  for (std::size_t i = 0; i < socket.size(); ++i) EXPECT_EQ(socket[i], static_cast<long>(i) + 2) << i;
  EXPECT_GT(slot_of(&SocketImpl::take_ready), socket.back());
  EXPECT_GT(slot_of(&SocketImpl::send_all), socket.back());
  EXPECT_GT(slot_of(&SocketImpl::peer_uid), socket.back());
  EXPECT_GT(slot_of(&SocketImpl::async_send_all), slot_of(&SocketImpl::peer_uid));
  EXPECT_GT(slot_of(&SocketImpl::post), slot_of(&SocketImpl::async_send_all));
  EXPECT_GT(slot_of(&SocketImpl::receive_placed), slot_of(&SocketImpl::send_pieces));
  EXPECT_EQ(slot_of(&IHashFunction::get_hash), 2);
  EXPECT_EQ(slot_of(&IHashFunction::hash_size_in_bytes), 3);
  EXPECT_EQ(slot_of(&IHashFunction::hash_id), 4);
  EXPECT_GT(slot_of(&IHashFunction::get_hashes), 4);
  EXPECT_GT(slot_of(&IHashFunction::start_incremental), 4);
}

}  // namespace
}  // namespace tarvelo
