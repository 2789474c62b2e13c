#pragma once

// The administration channel of a running server: one command, one status,
// per loopback connection. Everything here runs on the administration
// thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <tarvelo/SocketImpl.h>

namespace tarvelo {

class TarveloFTPServer;

// Command message layout (tool to server); integers big-endian.
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
// Status message (server to tool).
inline constexpr std::size_t kStatus = 8;  // 1 success, 2 failure
inline constexpr std::size_t kTextLength = 16;
inline constexpr std::size_t kText = 24;
inline constexpr uint8_t kSuccess = 1;
inline constexpr uint8_t kFailure = 2;
}  // namespace admin_wire

// A decoded administration command.
struct AdminCommand {
  uint8_t command = 0;
  std::string name;
  std::string secret_or_path;  // passphrase (add target) or image path (add LUN)
  uint8_t lun = 0;
  bool verbose = false;
};

// Decodes a command message; false, with `error` set, when the message is
// shorter than the lengths it declares or names no known command.
bool decode_admin_command(const char* bytes, std::size_t size, AdminCommand* command,
                          std::string* error);
// The status message for `status` (1 or 2) and `text`.
Message encode_admin_status(uint8_t status, const std::string& text);

class AdminChannel {
 public:
  AdminChannel(TarveloFTPServer& server, SocketImpl& listener);
  AdminChannel(const AdminChannel&) = delete;
  AdminChannel& operator=(const AdminChannel&) = delete;

  // Arms the first accept.
  void start();

 private:
  void on_accept(SocketImpl& listener, std::unique_ptr<SocketImpl> connection,
                 Transport::StatusCode status);
  // `refusal` is empty for a peer that may administer the server, else the
  // line to log when its command is refused.
  void on_receive(SocketImpl& connection, Message message, Transport::StatusCode status,
                  const std::string& refusal);
  void on_send(SocketImpl& connection, Transport::StatusCode status);
  void forget(SocketImpl& connection);
  // Only the server's own user and root may change what it serves: anyone
  // else on the host could otherwise add a LUN on /dev/sda or /etc/shadow
  // and use it with the server's rights. Empty when the peer may; else why
  // not. Unknown owners are refused.
  static std::string refusal_of(SocketImpl& connection);
  // Runs a decoded command on the table; the status and text to answer.
  std::pair<uint8_t, std::string> execute(const AdminCommand& command);

  TarveloFTPServer& m_server;
  SocketImpl& m_listener;
  std::vector<std::unique_ptr<SocketImpl>> admin_clients;
};

}  // namespace tarvelo
