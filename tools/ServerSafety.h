#pragma once

// Start-up decisions of tarveloftpd about settings that work but expose the
// served images, kept apart so that tests can make them without a server.

#include <string>

#include <tarveloftp/TarveloConfig.h>

namespace tarvelo::tools {

// True for addresses only this machine can reach: 127.0.0.0/8, ::1 and
// "localhost". "*", "" and 0.0.0.0 listen on every address, so they are not.
bool is_loopback_address(const std::string& address);

// True when passphrases, and the images with them, would cross the network
// readable by anyone on the path: neither transport = tls nor
// encryption = xsalsa20, an address others can reach, and at least one
// target with a passphrase. Reads the endpoint table, so call it before the
// table moves to the server.
bool sends_secrets_in_clear(TarveloConfig& config);

// What the file asks to serve less safely than its operator may have meant
// ("[disk] without a passphrase: ..." or "[disk] writable: ..."), for a
// program that refuses to serve it; empty when nothing is in doubt.
std::string served_unsafely(const TarveloConfig& config);

}  // namespace tarvelo::tools
