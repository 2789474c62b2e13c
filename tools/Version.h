#pragma once

#include <string>

namespace tarvelo::tools {

// What --version prints: the program, the library's version and SONAME,
// and the protocol version with the server id it gives.
std::string version_text(const std::string& program);

}  // namespace tarvelo::tools
