#include <tarveloftp/AdminProtocol.h>

#include <algorithm>

#include <tarveloftp/Coding.h>

namespace tarvelo {

namespace {

// Takes `length` bytes at `*offset` when the message holds them.
bool take_string(const char* bytes, std::size_t size, std::size_t* offset, uint64_t length,
                 std::string* out) {
  if (*offset > size || length > size - *offset) return false;
  out->assign(bytes + *offset, length);
  *offset += length;
  return true;
}

// Writes the strings one after the other from `offset`, their lengths in
// the 8-byte fields from `lengths`.
void put_strings(char* out, std::size_t lengths, std::size_t offset, const std::string& first,
                 const std::string* second = nullptr) {
  EncodeFixed64BE(out + lengths, first.size());
  char* next = std::copy(first.begin(), first.end(), out + offset);
  if (second) {
    EncodeFixed64BE(out + lengths + 8, second->size());
    std::copy(second->begin(), second->end(), next);
  }
}

}  // namespace

bool decode_admin_command(const char* bytes, std::size_t size, AdminCommand* command,
                          std::string* error) {
  using namespace admin_wire;
  if (size == 0) {
    *error = "Command message is empty";
    return false;
  }
  command->command = static_cast<uint8_t>(bytes[kCommand]);
  // Each layout ends where its own fields end, most of them before byte 32;
  // only what a command declares has to be there.
  std::size_t fixed = 0;
  switch (command->command) {
    case IPC_ADD_TARGET: fixed = kAddTargetStrings; break;
    case IPC_REMOVE_TARGET: fixed = kRemoveTargetName; break;
    case IPC_ADD_LUN: fixed = kAddLunStrings; break;
    case IPC_REMOVE_LUN: fixed = kRemoveLunName; break;
    case IPC_GET_CONFIGURATION: fixed = kGetConfigurationSize; break;
    default:
      *error = "Unknown command";
      return false;
  }
  if (size < fixed) {
    *error = "Command message of " + std::to_string(size) + " bytes is shorter than the " +
             std::to_string(fixed) + " bytes of its fixed fields";
    return false;
  }
  bool complete = true;
  std::size_t offset = 0;
  switch (command->command) {
    case IPC_ADD_TARGET: {
      uint64_t name_length = DecodeFixed64BE(bytes + kAddTargetNameLength);
      uint64_t secret_length = DecodeFixed64BE(bytes + kAddTargetPassphraseLength);
      offset = kAddTargetStrings;
      complete = take_string(bytes, size, &offset, name_length, &command->name) &&
                 take_string(bytes, size, &offset, secret_length, &command->secret_or_path);
      break;
    }
    case IPC_REMOVE_TARGET:
      offset = kRemoveTargetName;
      complete = take_string(bytes, size, &offset, DecodeFixed64BE(bytes + kRemoveTargetNameLength),
                             &command->name);
      break;
    case IPC_ADD_LUN: {
      command->lun = static_cast<uint8_t>(bytes[kLunId]);
      uint64_t name_length = DecodeFixed64BE(bytes + kLunNameLength);
      uint64_t path_length = DecodeFixed64BE(bytes + kAddLunPathLength);
      offset = kAddLunStrings;
      complete = take_string(bytes, size, &offset, name_length, &command->name) &&
                 take_string(bytes, size, &offset, path_length, &command->secret_or_path);
      break;
    }
    case IPC_REMOVE_LUN:
      command->lun = static_cast<uint8_t>(bytes[kLunId]);
      offset = kRemoveLunName;
      complete = take_string(bytes, size, &offset, DecodeFixed64BE(bytes + kLunNameLength),
                             &command->name);
      break;
    case IPC_GET_CONFIGURATION:
      command->verbose = bytes[kVerbose] != 0;
      break;
  }
  if (!complete) {
    *error = "Command message of " + std::to_string(size) +
             " bytes is shorter than the lengths it declares";
    return false;
  }
  return true;
}

Message encode_admin_command(const AdminCommand& command) {
  using namespace admin_wire;
  // Every command is sent as the 32-byte front plus its strings, whatever
  // its own fields need; servers of every age take that.
  std::size_t strings = 0;
  switch (command.command) {
    case IPC_ADD_TARGET:
    case IPC_ADD_LUN: strings = command.name.size() + command.secret_or_path.size(); break;
    case IPC_REMOVE_TARGET:
    case IPC_REMOVE_LUN: strings = command.name.size(); break;
    default: break;
  }
  Message message(static_cast<long>(kHeaderSize + strings));
  char* out = message.buffer();
  out[kCommand] = static_cast<char>(command.command);
  switch (command.command) {
    case IPC_ADD_TARGET:
      put_strings(out, kAddTargetNameLength, kAddTargetStrings, command.name, &command.secret_or_path);
      break;
    case IPC_REMOVE_TARGET:
      put_strings(out, kRemoveTargetNameLength, kRemoveTargetName, command.name);
      break;
    case IPC_ADD_LUN:
      out[kLunId] = static_cast<char>(command.lun);
      put_strings(out, kLunNameLength, kAddLunStrings, command.name, &command.secret_or_path);
      break;
    case IPC_REMOVE_LUN:
      out[kLunId] = static_cast<char>(command.lun);
      put_strings(out, kLunNameLength, kRemoveLunName, command.name);
      break;
    case IPC_GET_CONFIGURATION:
      out[kVerbose] = command.verbose ? 1 : 0;
      break;
    default: break;
  }
  return message;
}

Message encode_admin_status(uint8_t status, const std::string& text) {
  using namespace admin_wire;
  Message message(static_cast<long>(kHeaderSize + text.size()));
  char* out = message.buffer();
  out[kCommand] = static_cast<char>(IPC_STATUS);
  out[kStatus] = static_cast<char>(status);
  EncodeFixed64BE(out + kTextLength, text.size());
  std::copy(text.begin(), text.end(), out + kText);
  return message;
}

admin_status_decode_t decode_admin_status(const char* bytes, std::size_t size, AdminStatus* status) {
  using namespace admin_wire;
  if (size < kHeaderSize) return ADMIN_STATUS_SHORT;
  uint64_t length = DecodeFixed64BE(bytes + kTextLength);
  if (length > size - kText) return ADMIN_STATUS_TEXT_CUT;
  status->status = static_cast<uint8_t>(bytes[kStatus]);
  status->text.assign(bytes + kText, length);
  return ADMIN_STATUS_COMPLETE;
}

}  // namespace tarvelo
