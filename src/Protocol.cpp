#include <tarveloftp/Protocol.h>

#include <iterator>
#include <limits>
#include <sstream>

#include <tarveloftp/Coding.h>

namespace tarvelo {

namespace {

constexpr const char* kCommandNames[] = {
    "COMMAND_INVALID", "COMMAND_HANDSHAKE",    "COMMAND_READ",
    "COMMAND_WRITE",   "COMMAND_CLOSE",        "COMMAND_HASH",
    "COMMAND_HOLE_PUNCH", "COMMAND_AUTHENTICATE", "COMMAND_WRITE_ACKNOWLEDGE",
    "COMMAND_HASH_HANDSHAKE",
};

constexpr const char* kStatusNames[] = {
    "STATUS_INVALID", "STATUS_SUCCESS", "STATUS_EACCES", "STATUS_EEXIST", "STATUS_EINVAL",
    "STATUS_EIO",     "STATUS_EISDIR",  "STATUS_EOF",    "STATUS_ENOSPC", "STATUS_EBADF",
};

uint32_t compute_version_uid(const char* version) {
  std::istringstream stream(version);
  uint32_t uid = 0;
  int shift = 0;
  while (shift < 32) {
    // Skip up to and including the next ".", then read a number.
    if (!stream.ignore(std::numeric_limits<std::streamsize>::max(), '.')) break;
    if (stream.eof()) break;
    unsigned long number = 0;
    if (!(stream >> number)) break;
    if (number > 255) return uid;  // ends the computation without the marker byte
    uid |= static_cast<uint32_t>(number) << shift;
    shift += 8;
  }
  if (shift < 32) uid |= 0xA5u << shift;
  return uid;
}

}  // namespace

uint32_t tarvelo_version_uid() {
  static const uint32_t uid = compute_version_uid(PROTOCOL_VERSION);
  return uid;
}

namespace Protocol {

std::string to_string(tarvelo_protocol_command_t command) {
  auto value = static_cast<uint8_t>(command);
  if (value < std::size(kCommandNames)) return kCommandNames[value];
  return "Unknown command: " + std::to_string(value);
}

std::string to_string(tarvelo_protocol_status_t status) {
  auto value = static_cast<uint8_t>(status);
  if (value < std::size(kStatusNames)) return kStatusNames[value];
  return "Unknown status: " + std::to_string(value);
}

}  // namespace Protocol

tarvelo_protocol_message_t decode_message_front(const char* message) {
  tarvelo_protocol_message_t front;
  front.command = static_cast<tarvelo_protocol_command_t>(message[wire::kCommand]);
  front.uid.target_id = static_cast<uint8_t>(message[wire::kTargetId]);
  front.uid.lun_id = static_cast<uint8_t>(message[wire::kLunId]);
  front.session_id = DecodeFixed32BE(message + wire::kSessionId);
  front.fields[0] = DecodeFixed64BE(message + wire::kField1);
  front.fields[1] = DecodeFixed64BE(message + wire::kField2);
  front.fields[2] = DecodeFixed64BE(message + wire::kField3);
  return front;
}

void encode_message_front(char* message, const tarvelo_protocol_message_t& front) {
  message[wire::kCommand] = static_cast<char>(front.command);
  message[wire::kTargetId] = static_cast<char>(front.uid.target_id);
  message[wire::kLunId] = static_cast<char>(front.uid.lun_id);
  EncodeFixed32BE(message + wire::kSessionId, front.session_id);
  EncodeFixed64BE(message + wire::kField1, front.fields[0]);
  EncodeFixed64BE(message + wire::kField2, front.fields[1]);
  EncodeFixed64BE(message + wire::kField3, front.fields[2]);
}

}  // namespace tarvelo
