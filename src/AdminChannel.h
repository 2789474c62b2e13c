#pragma once

// The administration channel of a running server: one command, one status,
// per loopback connection, in the format of AdminProtocol.h. Everything here
// runs on the administration thread.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <tarvelo/SocketImpl.h>
#include <tarveloftp/AdminProtocol.h>
#include <tarveloftp/Endpoints.h>

namespace tarvelo {

class AdminChannel {
 public:
  // Both outlive the channel; the table locks itself, as the client thread
  // uses it too.
  AdminChannel(config::Endpoints& endpoints, SocketImpl& listener);
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
  // Why the change could not be kept by a saved configuration file; empty
  // when it could.
  std::string unsaveable_change(const AdminCommand& command);
  // Runs a decoded command on the table; the status and text to answer.
  std::pair<uint8_t, std::string> execute(const AdminCommand& command);

  config::Endpoints& m_endpoints;
  SocketImpl& m_listener;
  std::vector<std::unique_ptr<SocketImpl>> admin_clients;
};

}  // namespace tarvelo
