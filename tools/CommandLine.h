#pragma once

// Parsing of what a person types to the tarveloftp program: remote LUN
// names, byte counts, and where the passphrase comes from. Each parser
// throws std::invalid_argument with a one-line reason.

#include <cstdint>
#include <optional>
#include <string>

namespace tarvelo::tools {

inline constexpr uint16_t kDefaultPort = 3263;

// tarvelo://HOST[:PORT]/TARGET/LUN. HOST may be an IPv6 address in
// brackets; TARGET may use %XX escapes for bytes such as "/".
struct ClientUrl {
  std::string host;
  uint16_t port = kDefaultPort;
  std::string target;
  unsigned lun = 0;
};

ClientUrl parse_client_url(const std::string& text);

// A port as typed: 1 to 5 decimal digits naming 1 to 65535; nothing for
// anything else.
std::optional<uint16_t> port_number(const std::string& text);
std::string to_string(const ClientUrl& url);

// A byte count: decimal digits with an optional suffix K, M, G, T (powers
// of 1024, also written KiB, MiB...). Negative or overflowing counts fail.
long parse_byte_count(const std::string& text);

// The passphrase: read_passphrase_file(`passphrase_file`) when one is
// named, else the value of `environment_value` when set; no passphrase
// otherwise.
std::string read_passphrase(const std::string& passphrase_file,
                            const std::optional<std::string>& environment_value);

// "1.5 GiB", "512 KiB", "17 bytes".
std::string human_bytes(double bytes);

}  // namespace tarvelo::tools
