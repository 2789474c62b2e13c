#pragma once

// The client/server wire format: message front, commands, statuses, feature
// bits and the field offsets of every message. Every integer on the wire is
// big-endian (Coding.h), except the partition offset of the hash handshake,
// which travels in the sender's byte order.

#include <cstddef>
#include <cstdint>
#include <string>

#include <tarveloftp/Export.h>

namespace tarvelo {

enum tarvelo_protocol_command_t : uint8_t {
  COMMAND_INVALID = 0,
  COMMAND_HANDSHAKE = 1,
  COMMAND_READ = 2,
  COMMAND_WRITE = 3,
  COMMAND_CLOSE = 4,
  COMMAND_HASH = 5,
  COMMAND_HOLE_PUNCH = 6,
  COMMAND_AUTHENTICATE = 7,
  COMMAND_WRITE_ACKNOWLEDGE = 8,
  COMMAND_HASH_HANDSHAKE = 9,
};

enum tarvelo_protocol_status_t : uint8_t {
  STATUS_INVALID = 0,
  STATUS_SUCCESS = 1,
  STATUS_EACCES = 2,
  STATUS_EEXIST = 3,
  STATUS_EINVAL = 4,
  STATUS_EIO = 5,
  STATUS_EISDIR = 6,
  STATUS_EOF = 7,
  STATUS_ENOSPC = 8,
  STATUS_EBADF = 9,
};

// Target id, then LUN id: names the opened image in every message after the
// handshake.
struct tarvelo_protocol_uid_t {
  uint8_t target_id = 0;
  uint8_t lun_id = 0;

  bool operator==(const tarvelo_protocol_uid_t&) const = default;
};

// The 32-byte front of every message, decoded. Which of the three fields a
// command uses, and how, is in the per-command offsets below.
struct tarvelo_protocol_message_t {
  tarvelo_protocol_command_t command = COMMAND_INVALID;
  tarvelo_protocol_uid_t uid;
  uint32_t session_id = 0;
  uint64_t fields[3] = {0, 0, 0};
};

// Outcome of one write or deferred hole punch.
struct __attribute__((packed)) tarvelo_write_acknowledgement_t {
  int64_t offset = 0;
  int64_t length = 0;
  tarvelo_protocol_status_t status = STATUS_INVALID;
};
// Programs built against the library lay records out this way.
static_assert(sizeof(tarvelo_write_acknowledgement_t) == 17);

// Server feature word (32 bits).
inline constexpr uint32_t FEATURE_HOLE_PUNCH = 0x01;
inline constexpr uint32_t FEATURE_AUTHENTICATION = 0x02;
inline constexpr uint32_t FEATURE_WRITE_ACKNOWLEDGEMENT = 0x04;
inline constexpr uint32_t FEATURE_HANDSHAKE_SESSION_ID = 0x08;
inline constexpr uint32_t FEATURE_BLOCK_HASH_STORAGE = 0x10;

// Client flag word (64 bits).
inline constexpr uint64_t CLIENT_DIFFERENTIAL_MERGE = 0x01;
inline constexpr uint64_t CLIENT_PASSPHRASE = 0x02;
inline constexpr uint64_t CLIENT_WRITE_ACKNOWLEDGEMENT = 0x04;
inline constexpr uint64_t CLIENT_HANDSHAKE_SESSION_ID = 0x08;

// Stored with its terminating zero; its only use is the server id.
inline constexpr char PROTOCOL_VERSION[] = "0.1.4";

// Server id derived from PROTOCOL_VERSION: each number after a "." becomes
// the next byte, least significant first, then a 0xA5 byte ("0.1.4" gives
// 0x00A50401). Computed once per process.
TARVELOFTP_EXPORT uint32_t tarvelo_version_uid();

namespace Protocol {
// The enumerator's name, or "Unknown command: N" / "Unknown status: N".
TARVELOFTP_EXPORT std::string to_string(tarvelo_protocol_command_t command);
TARVELOFTP_EXPORT std::string to_string(tarvelo_protocol_status_t status);
}  // namespace Protocol

// Field offsets of the messages, from the start of the message.
namespace wire {
inline constexpr std::size_t kHeaderSize = 32;
// The front shared by all messages.
inline constexpr std::size_t kCommand = 0;     // 1 byte
inline constexpr std::size_t kTargetId = 1;    // 1 byte
inline constexpr std::size_t kLunId = 2;       // 1 byte; byte 3 unused
inline constexpr std::size_t kSessionId = 4;   // 4 bytes
inline constexpr std::size_t kField1 = 8;      // 8 bytes
inline constexpr std::size_t kField2 = 16;     // 8 bytes
inline constexpr std::size_t kField3 = 24;     // 8 bytes

// COMMAND_HANDSHAKE request: flags at kField1, name length at kField2, name from 24.
inline constexpr std::size_t kHandshakeFlags = 8;
inline constexpr std::size_t kHandshakeNameLength = 16;
inline constexpr std::size_t kHandshakeName = 24;
// COMMAND_HANDSHAKE response.
inline constexpr std::size_t kHandshakeStatus = 8;       // 1 byte
inline constexpr std::size_t kHandshakeSessionId = 12;   // 4 bytes
inline constexpr std::size_t kHandshakeImageSize = 16;   // 8 bytes
inline constexpr std::size_t kHandshakeServerId = 24;    // 4 bytes
inline constexpr std::size_t kHandshakeFeatures = 28;    // 4 bytes

// COMMAND_AUTHENTICATE request: passphrase length at 8, passphrase from 16.
inline constexpr std::size_t kAuthenticateLength = 8;
inline constexpr std::size_t kAuthenticatePassphrase = 16;
// COMMAND_AUTHENTICATE response.
inline constexpr std::size_t kAuthenticateSessionId = 8;  // 4 bytes
inline constexpr std::size_t kAuthenticateAccepted = 12;  // 1 byte

// COMMAND_HASH_HANDSHAKE request: partition offset, sender's byte order.
inline constexpr std::size_t kHashHandshakePartitionOffset = 8;
// COMMAND_HASH_HANDSHAKE response.
inline constexpr std::size_t kHashHandshakeBlockSize = 8;    // 8 bytes
inline constexpr std::size_t kHashHandshakeFunctionId = 16;  // 4 bytes

// READ, WRITE, HOLE_PUNCH and HASH requests.
inline constexpr std::size_t kOffset = 8;
inline constexpr std::size_t kLength = 16;
inline constexpr std::size_t kWriteData = 24;
// COMMAND_READ response.
inline constexpr std::size_t kReadPosition = 8;   // position reached by the seek
inline constexpr std::size_t kReadCount = 16;     // bytes read, negative on failure
inline constexpr std::size_t kReadStatus = 24;    // 1 byte
inline constexpr std::size_t kReadData = 32;
// COMMAND_HOLE_PUNCH response.
inline constexpr std::size_t kHolePunchStatus = 24;  // 1 byte
// COMMAND_HASH response: the digest (direct mode) or hash data (block-hash mode).
inline constexpr std::size_t kHashData = 24;
inline constexpr std::size_t kDirectHashResponseSize = 64;
// COMMAND_CLOSE request and response.
inline constexpr std::size_t kCloseStatus = 8;  // 1 byte
// COMMAND_WRITE_ACKNOWLEDGE response.
inline constexpr std::size_t kAcknowledgeCount = 8;
inline constexpr std::size_t kAcknowledgeFailures = 16;
inline constexpr std::size_t kAcknowledgeRecords = 24;
inline constexpr std::size_t kAcknowledgeRecordSize = 17;  // offset 8, length 8, status 1
inline constexpr std::size_t kMaxAcknowledgeRecords = 200000;
}  // namespace wire

// Reads and writes the front fields shared by all messages. The message
// must hold at least wire::kHeaderSize bytes.
TARVELOFTP_EXPORT tarvelo_protocol_message_t decode_message_front(const char* message);
TARVELOFTP_EXPORT void encode_message_front(char* message, const tarvelo_protocol_message_t& front);

}  // namespace tarvelo
