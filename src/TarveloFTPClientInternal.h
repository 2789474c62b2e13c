#pragma once

// Helpers shared by the client's source files; not part of the interface.

#include <cstdint>
#include <string>

#include <tarvelo/Transport.h>
#include <tarveloftp/Protocol.h>

namespace tarvelo::client_detail {

Transport::StatusCode make_status(std::string text, int64_t code);
// Fills `status` when the caller gave one.
void report(Transport::StatusCode* status, std::string text, int64_t code);
// "Did not respond with correct command. Expected: X | Actual: Y".
std::string wrong_command_text(tarvelo_protocol_command_t expected, uint8_t actual);

}  // namespace tarvelo::client_detail
