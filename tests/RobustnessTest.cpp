// Regression tests for faults found by fuzzing and by the abusive-client
// tests, at the level of the handler, without a network.

#include <tarveloftp/ServerMessageHandler.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include <tarvelo/Crypto.h>
#include <tarveloftp/Coding.h>
#include <tarveloftp/Endpoints.h>

#include "TestSupport.h"
#include "VerifyHashes.h"

namespace tarvelo {
namespace {

constexpr long kBlock = 4096;

// One connection's handler on the shared table, with hand-built requests.
class Connection {
 public:
  Connection(config::Endpoints& endpoints, bool block_hashing) : m_handler(endpoints) {
    m_handler.setBlockHashStorage(true);
    Message handshake(32 + 4);
    handshake.buffer()[0] = COMMAND_HANDSHAKE;
    EncodeFixed64BE(handshake.buffer() + wire::kHandshakeFlags, CLIENT_WRITE_ACKNOWLEDGEMENT);
    EncodeFixed64BE(handshake.buffer() + wire::kHandshakeNameLength, 4);
    std::memcpy(handshake.buffer() + wire::kHandshakeName, "disk", 4);
    ServerMessageHandlerResponse opened = m_handler.handle_message(handshake);
    EXPECT_TRUE(opened.error.empty()) << opened.error;
    if (block_hashing) {
      ServerMessageHandlerResponse hashing = handle(COMMAND_HASH_HANDSHAKE, 0, 0);
      EXPECT_TRUE(hashing.error.empty()) << hashing.error;
    }
  }

  ServerMessageHandlerResponse handle(tarvelo_protocol_command_t command, int64_t offset, int64_t length,
                                      const std::vector<char>& payload = {}) {
    Message message(static_cast<long>(std::max<std::size_t>(32, 24 + payload.size())));
    tarvelo_protocol_message_t front;
    front.command = command;
    front.fields[0] = static_cast<uint64_t>(offset);
    front.fields[1] = static_cast<uint64_t>(length);
    encode_message_front(message.buffer(), front);
    if (!payload.empty()) std::memcpy(message.buffer() + 24, payload.data(), payload.size());
    return m_handler.handle_message(message);
  }

  // The statuses of every outcome queued since the last call.
  std::vector<int> acknowledge() {
    ServerMessageHandlerResponse response = handle(COMMAND_WRITE_ACKNOWLEDGE, 0, 0);
    std::vector<int> statuses;
    uint64_t count = DecodeFixed64BE(response.message.buffer() + wire::kAcknowledgeCount);
    for (uint64_t i = 0; i < count; ++i)
      statuses.push_back(response.message.buffer()[wire::kAcknowledgeRecords + i * wire::kAcknowledgeRecordSize + 16]);
    return statuses;
  }

 private:
  ServerMessageHandler m_handler;
};

// The stored hash of one block as the server answers it: the aggregate
// over that single block's digest.
std::string block_hash(const char* block) {
  crypto::blake2b_hash_t digest, aggregate;
  crypto::Blake2b::hash(digest, block, kBlock);
  crypto::Blake2b::hash(aggregate, digest, 32);
  return std::string(reinterpret_cast<char*>(aggregate), 32);
}

TEST(RobustnessTest, DirectChangesOnABlockHashServerMarkStoredHashesNotValid) {
  test::TempDir dir;
  std::string image = dir.file("image.img");
  test::write_file(image, test::random_bytes(16 * kBlock, 3));
  config::Endpoints endpoints;
  endpoints.add_target("disk");
  endpoints.add_lun("disk", 0, image);

  // A block-hashing client stores the hashes of blocks 0 to 3.
  {
    Connection hashing(endpoints, true);
    hashing.handle(COMMAND_WRITE, 0, 4 * kBlock, test::random_bytes(4 * kBlock, 4));
    EXPECT_EQ(hashing.acknowledge(), std::vector<int>(1, STATUS_SUCCESS));
    EXPECT_TRUE(hashing.handle(COMMAND_HASH, 0, 4 * kBlock).error.empty());
  }
  // A client without the hash handshake rewrites block 1 and punches
  // block 2 directly.
  std::vector<char> rewritten = test::random_bytes(kBlock, 5);
  {
    Connection direct(endpoints, false);
    direct.handle(COMMAND_WRITE, kBlock, kBlock, rewritten);
    EXPECT_EQ(direct.handle(COMMAND_HOLE_PUNCH, 2 * kBlock, kBlock).message.buffer()[wire::kHolePunchStatus],
              STATUS_SUCCESS);
    EXPECT_EQ(direct.acknowledge(), std::vector<int>(1, STATUS_SUCCESS));
  }
  std::ostringstream out, err;
  EXPECT_EQ(tools::verify_hashes(image, out, err), 0) << out.str() << err.str();

  // The next block-hashing client is answered from the new bytes.
  Connection again(endpoints, true);
  ServerMessageHandlerResponse hashed = again.handle(COMMAND_HASH, kBlock, kBlock);
  ASSERT_TRUE(hashed.error.empty()) << hashed.error;
  EXPECT_EQ(std::string(hashed.message.buffer() + wire::kHashData, 32), block_hash(rewritten.data()));
  std::vector<char> zeros(kBlock, 0);
  hashed = again.handle(COMMAND_HASH, 2 * kBlock, kBlock);
  EXPECT_EQ(std::string(hashed.message.buffer() + wire::kHashData, 32), block_hash(zeros.data()));
}

TEST(RobustnessTest, DirectWriteIsRefusedWhenStoredHashesCannotBeMarked) {
  test::TempDir dir;
  std::string image = dir.file("image.img");
  std::vector<char> content = test::random_bytes(4 * kBlock, 6);
  test::write_file(image, content);
  test::write_file(image + ".hash", std::vector<char>(10, 'x'));  // not a hash file
  config::Endpoints endpoints;
  endpoints.add_target("disk");
  endpoints.add_lun("disk", 0, image);
  {
    Connection direct(endpoints, false);
    direct.handle(COMMAND_WRITE, 0, kBlock, test::random_bytes(kBlock, 7));
    EXPECT_EQ(direct.handle(COMMAND_HOLE_PUNCH, kBlock, kBlock).message.buffer()[wire::kHolePunchStatus],
              STATUS_EIO);
    EXPECT_EQ(direct.acknowledge(), std::vector<int>(1, STATUS_EIO));
  }
  EXPECT_EQ(test::read_file(image), content);
}

}  // namespace
}  // namespace tarvelo
