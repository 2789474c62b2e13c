#pragma once

// The one rule for passphrase files, shared by tarveloftp and
// tarveloftp-admin so that a file made for one works with the other.

#include <string>

namespace tarvelo::tools {

// The first line of the file, without its line end ("\n" or "\r\n"): an
// editor's trailing newline is not part of the passphrase. Throws
// std::runtime_error naming the file when it cannot be read or that line is
// empty.
std::string read_passphrase_file(const std::string& path);

}  // namespace tarvelo::tools
