#pragma once

// The administration wire format, shared by the server's administration
// channel and the administration program: one command message from the
// program, one status message back. Integers are big-endian (Coding.h); it
// is independent of the client protocol of Protocol.h.

#include <cstddef>
#include <cstdint>
#include <string>

#include <tarvelo/Message.h>
#include <tarveloftp/Export.h>

namespace tarvelo {

namespace admin_wire {
inline constexpr uint8_t IPC_ADD_TARGET = 0;
inline constexpr uint8_t IPC_REMOVE_TARGET = 1;
inline constexpr uint8_t IPC_ADD_LUN = 2;
inline constexpr uint8_t IPC_REMOVE_LUN = 3;
inline constexpr uint8_t IPC_STATUS = 4;
inline constexpr uint8_t IPC_GET_CONFIGURATION = 5;

// Front of a status message; commands end where their own fields end.
inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kCommand = 0;
// IPC_ADD_TARGET: name length, passphrase length, then name and passphrase.
inline constexpr std::size_t kAddTargetNameLength = 8;
inline constexpr std::size_t kAddTargetPassphraseLength = 16;
inline constexpr std::size_t kAddTargetStrings = 24;
// IPC_REMOVE_TARGET: name length, then the name.
inline constexpr std::size_t kRemoveTargetNameLength = 8;
inline constexpr std::size_t kRemoveTargetName = 16;
// IPC_ADD_LUN and IPC_REMOVE_LUN: LUN id, name length (and path length), strings.
inline constexpr std::size_t kLunId = 8;
inline constexpr std::size_t kLunNameLength = 16;
inline constexpr std::size_t kAddLunPathLength = 24;
inline constexpr std::size_t kAddLunStrings = 32;
inline constexpr std::size_t kRemoveLunName = 24;
// IPC_GET_CONFIGURATION: nonzero asks for the verbose listing.
inline constexpr std::size_t kVerbose = 8;
inline constexpr std::size_t kGetConfigurationSize = kVerbose + 1;
// Status message (server to program).
inline constexpr std::size_t kStatus = 8;  // 1 success, 2 failure
inline constexpr std::size_t kTextLength = 16;
inline constexpr std::size_t kText = 24;
inline constexpr uint8_t kSuccess = 1;
inline constexpr uint8_t kFailure = 2;
}  // namespace admin_wire

// An administration command, as sent or as decoded.
struct AdminCommand {
  uint8_t command = 0;
  std::string name;
  std::string secret_or_path;  // passphrase (add target) or image path (add LUN)
  uint8_t lun = 0;
  bool verbose = false;
};

// Decodes a command message; false, with `error` set, when the message is
// shorter than the lengths it declares or names no known command. A command
// is complete at the end of its own fields, even short of byte 32.
[[nodiscard]] TARVELOFTP_EXPORT bool decode_admin_command(const char* bytes, std::size_t size,
                                                          AdminCommand* command, std::string* error);
// The command message for `command`: 32 bytes plus its strings, the padding
// zeroed. An unknown command byte gives the bare 32-byte front.
TARVELOFTP_EXPORT Message encode_admin_command(const AdminCommand& command);

// A decoded status message.
struct AdminStatus {
  uint8_t status = 0;  // admin_wire::kSuccess or kFailure
  std::string text;
};

enum admin_status_decode_t {
  ADMIN_STATUS_COMPLETE = 0,
  ADMIN_STATUS_SHORT = 1,     // shorter than the 32-byte front
  ADMIN_STATUS_TEXT_CUT = 2,  // shorter than the text it declares
};

// The status message for `status` (1 or 2) and `text`.
TARVELOFTP_EXPORT Message encode_admin_status(uint8_t status, const std::string& text);
// Decodes a status message; `status` is filled only when it is complete.
[[nodiscard]] TARVELOFTP_EXPORT admin_status_decode_t decode_admin_status(const char* bytes, std::size_t size,
                                                                          AdminStatus* status);

}  // namespace tarvelo
