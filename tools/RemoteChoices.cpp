#include "RemoteChoices.h"

#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <tarveloftp/TarveloConfig.h>

#include "CommandLine.h"

namespace tarvelo::tools {

namespace {

// The server's XSalsa20 public key: base64, or the first line of a file
// holding it.
std::array<unsigned char, 32> parse_server_public_key(const std::string& argument, const std::string& prefix) {
  std::string text = argument;
  std::ifstream file(argument);
  if (file.is_open()) std::getline(file, text);
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
  std::string key = TarveloConfig::decode(text);
  if (key.size() != 32)
    throw std::invalid_argument(prefix + "server-public-key wants the server's public_key: 32 bytes in base64 "
                                "(44 characters), or a file holding it");
  std::array<unsigned char, 32> bytes;
  std::memcpy(bytes.data(), key.data(), bytes.size());
  return bytes;
}

Connection make_connection(const RemoteChoices& choices, const std::string& prefix) {
  Connection connection;
  if (choices.tls && !choices.transport.empty() && choices.transport != "tls")
    throw std::invalid_argument(prefix + "tls is " + prefix + "transport tls: it does not go with " + prefix +
                                "transport " + choices.transport);
  const std::string transport = choices.tls ? "tls" : choices.transport.empty() ? "tcp" : choices.transport;
  if (transport == "tcp")
    connection.carrier = Connection::Carrier::kTcp;
  else if (transport == "tls")
    connection.carrier = Connection::Carrier::kTls;
  else if (transport == "udt")
    connection.carrier = Connection::Carrier::kUdt;
  else
    throw std::invalid_argument(prefix + "transport wants tcp, tls or udt, not '" + transport + "'");
  connection.ca_file = choices.ca_file;
  connection.insecure = choices.insecure;
  // NaN and infinity would turn into any number of milliseconds.
  if (!std::isfinite(choices.timeout) || choices.timeout < 0)
    throw std::invalid_argument(prefix + "timeout wants a number of seconds, 0 for never");
  connection.timeout_seconds = choices.timeout;
  if ((choices.insecure || !choices.ca_file.empty()) && connection.carrier != Connection::Carrier::kTls)
    throw std::invalid_argument(prefix + "ca-file and " + prefix + "insecure need " + prefix + "tls");
  if (choices.insecure && !choices.ca_file.empty())
    throw std::invalid_argument(prefix + "insecure skips verification: it does not go with " + prefix + "ca-file");
  if (choices.compression == "lz4")
    connection.layers.compression = SocketOptions::Compression::LZ4;
  else if (choices.compression != "none")
    throw std::invalid_argument(prefix + "compression must be lz4 or none, not " + choices.compression);
  if (!choices.server_public_key.empty()) {
    connection.layers.encryption = SocketOptions::Encryption::XSALSA20;
    connection.layers.public_key = parse_server_public_key(choices.server_public_key, prefix);
  }
  return connection;
}

}  // namespace

Remote make_remote(const RemoteChoices& choices, const std::optional<std::string>& environment_passphrase,
                   const std::string& prefix) {
  Remote remote;
  remote.url = parse_client_url(choices.url);
  remote.connection = make_connection(choices, prefix);
  remote.passphrase = read_passphrase(choices.passphrase_file, environment_passphrase);
  return remote;
}

}  // namespace tarvelo::tools
