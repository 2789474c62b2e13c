#pragma once

// How a person names a remote LUN and the way to reach it, as typed: the
// options of the tarveloftp program and the parameters of the NBD plugin
// are parsed and checked here, by one set of rules.

#include <optional>
#include <string>

#include "Session.h"

namespace tarvelo::tools {

struct RemoteChoices {
  std::string url;
  std::string passphrase_file;
  std::string transport;  // tcp (when empty), tls or udt
  bool tls = false;       // the same as transport tls
  std::string ca_file;
  bool insecure = false;
  double timeout = kDefaultTimeoutSeconds;
  std::string compression = "none";
  std::string server_public_key;
};

// Checks the choices and makes the Remote; the passphrase comes from the
// file, else from `environment_passphrase`. Throws std::invalid_argument
// naming the setting as `prefix` + its name ("--tls" or "tls"), or
// std::runtime_error when the passphrase file cannot be read.
Remote make_remote(const RemoteChoices& choices, const std::optional<std::string>& environment_passphrase,
                   const std::string& prefix);

}  // namespace tarvelo::tools
