#include "AdminChannel.h"

#include <algorithm>
#include <exception>

#include <strings.h>

#include <unistd.h>

#include <tarveloftp/Logger.h>

namespace tarvelo {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t'; }

// Why `text` would not come back the same from the configuration file that
// `tarveloftp-admin save` writes, and so would be lost or changed at the
// server's next start; empty when it would. The file keeps one line per
// entry, trims white space around values, and ends a section name at "]".
std::string unsaveable(const std::string& text, bool section) {
  if (!text.empty() && (is_space(text.front()) || is_space(text.back()))) return "it begins or ends with white space";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return "it holds a control character";
    if (section && c == ']') return "it holds \"]\"";
  }
  return "";
}

}  // namespace

AdminChannel::AdminChannel(config::Endpoints& endpoints, SocketImpl& listener)
    : m_endpoints(endpoints), m_listener(listener) {}

void AdminChannel::start() {
  m_listener.async_accept([this](SocketImpl& listener, std::unique_ptr<SocketImpl> connection,
                                 Transport::StatusCode status) {
    on_accept(listener, std::move(connection), std::move(status));
  });
}

void AdminChannel::on_accept(SocketImpl&, std::unique_ptr<SocketImpl> connection,
                             Transport::StatusCode status) {
  if (status.code < 0) return;
  TLOG(INFO) << "Accepting administration client.";
  SocketImpl& accepted = *connection;
  admin_clients.push_back(std::move(connection));
  // Looked up now, while the peer is surely still connected; a refused
  // peer's command is still read, so that it gets the refusal to read.
  std::string refusal = refusal_of(accepted);
  accepted.async_receive([this, refusal](SocketImpl& socket, Message message,
                                         Transport::StatusCode received) {
    on_receive(socket, std::move(message), std::move(received), refusal);
  });
  start();
}

std::string AdminChannel::refusal_of(SocketImpl& connection) {
  uint32_t uid = 0;
  Transport::StatusCode found = connection.peer_uid(uid);
  if (!found.ok())
    return "Refusing administration client of unknown uid (" + found.text + "): Permission denied";
  if (uid == 0 || uid == geteuid()) return {};
  return "Refusing administration client of uid " + std::to_string(uid) + ": Permission denied";
}

void AdminChannel::forget(SocketImpl& connection) {
  auto found = std::find_if(admin_clients.begin(), admin_clients.end(),
                            [&](const auto& client) { return client.get() == &connection; });
  if (found != admin_clients.end()) admin_clients.erase(found);
}

void AdminChannel::on_receive(SocketImpl& connection, Message message, Transport::StatusCode status,
                              const std::string& refusal) {
  if (status.code < 0) {
    TLOG(ERROR) << "Error reading IPC command: " << status.text;
    (void)connection.close();
    forget(connection);
    return;
  }
  if (message.null()) {
    (void)connection.close();
    forget(connection);
    return;
  }
  AdminCommand command;
  std::string error;
  std::pair<uint8_t, std::string> answer;
  if (!refusal.empty()) {
    TLOG(WARNING) << refusal;
    answer = {admin_wire::kFailure, "Permission denied"};
  } else if (!decode_admin_command(message.buffer(), message.size(), &command, &error)) {
    if (error == "Unknown command")
      TLOG(ERROR) << "Unknown command: " << static_cast<int>(command.command);
    else
      TLOG(ERROR) << error;
    answer = {admin_wire::kFailure, error};
  } else {
    answer = execute(command);
  }
  Message reply = encode_admin_status(answer.first, answer.second);
  connection.async_send(reply, [this](SocketImpl& socket, Transport::StatusCode sent) {
    on_send(socket, std::move(sent));
  });
}

// A new target, a LUN's path or a passphrase the configuration file could
// not carry is refused up front: served now, it would be lost, renamed or
// changed once the server restarts from a saved file. The settings' section
// "config" holds no LUNs, so neither may a target of that name.
std::string AdminChannel::unsaveable_change(const AdminCommand& command) {
  using namespace admin_wire;
  auto refused = [](const std::string& what, const std::string& why) {
    return why.empty() ? why : "Cannot use " + what + ": " + why + ", which a saved configuration file cannot keep";
  };
  const bool config_name = strcasecmp(command.name.c_str(), "config") == 0;
  if (command.command == IPC_ADD_TARGET) {
    if (!m_endpoints.target_exists(command.name)) {
      std::string why = config_name ? "it names the settings' section" : unsaveable(command.name, true);
      if (!why.empty()) return refused("the target name \"" + command.name + "\"", why);
    }
    return refused("the passphrase", unsaveable(command.secret_or_path, false));
  }
  if (command.command == IPC_ADD_LUN && config_name)
    return "Cannot add a LUN to target \"" + command.name +
           "\": a saved configuration file keeps only the server's settings in that section";
  if (command.command == IPC_ADD_LUN)
    return refused("the path \"" + command.secret_or_path + "\"", unsaveable(command.secret_or_path, false));
  return "";
}

std::pair<uint8_t, std::string> AdminChannel::execute(const AdminCommand& command) {
  using namespace admin_wire;
  config::Endpoints& endpoints = m_endpoints;
  std::string unsaveable = unsaveable_change(command);
  if (!unsaveable.empty()) {
    TLOG(ERROR) << unsaveable;
    return {kFailure, unsaveable};
  }
  config::Endpoints::endpoint_status_t result = config::Endpoints::ENDPOINT_OK;
  switch (command.command) {
    case IPC_ADD_TARGET:
      TLOG(INFO) << "Attempting to add target " << command.name;
      result = endpoints.add_target(command.name);
      if (!command.secret_or_path.empty()) {
        config::Target& target = endpoints.target(command.name);
        if (!target.name().empty()) target.password(command.secret_or_path);
      }
      break;
    case IPC_REMOVE_TARGET:
      TLOG(INFO) << "Attempting to remove target " << command.name;
      result = endpoints.remove_target(command.name, true);
      break;
    case IPC_ADD_LUN:
      TLOG(INFO) << "Attempting to add lun " << static_cast<int>(command.lun) << " to target "
                 << command.name << ", pointing to " << command.secret_or_path;
      result = endpoints.add_lun(command.name, command.lun, command.secret_or_path);
      break;
    case IPC_REMOVE_LUN:
      TLOG(INFO) << "Attempting to remove lun " << static_cast<int>(command.lun)
                 << " from target " << command.name;
      result = endpoints.remove_lun(command.name, command.lun, true);
      break;
    case IPC_GET_CONFIGURATION:
      TLOG(INFO) << "Retrieving target configuration";
      try {
        return {kSuccess, endpoints.print_json(command.verbose)};
      } catch (const std::exception& refused) {
        // A name or path that is not valid UTF-8 cannot be rendered; say so
        // rather than take the administration thread down.
        TLOG(ERROR) << "Cannot render the configuration: " << refused.what();
        return {kFailure, refused.what()};
      }
  }
  return {result == config::Endpoints::ENDPOINT_OK ? kSuccess : kFailure,
          config::Endpoints::endpoint_status_to_str(result)};
}

void AdminChannel::on_send(SocketImpl& connection, Transport::StatusCode status) {
  if (status.code < 0) TLOG(ERROR) << "Error sending IPC status: " << status.text;
  (void)connection.close();
  forget(connection);
}

}  // namespace tarvelo
