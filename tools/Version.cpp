#include "Version.h"

#include <cstdio>

#include <tarveloftp/Protocol.h>

#include "tarveloftp_version.h"

namespace tarvelo::tools {

std::string version_text(const std::string& program) {
  // The server id comes from the library the program runs with, not from
  // the header it was built against.
  char server_id[16];
  std::snprintf(server_id, sizeof server_id, "0x%08x", tarvelo_version_uid());
  return program + " " + TARVELOFTP_VERSION + "\nlibrary " + TARVELOFTP_SONAME + " " + TARVELOFTP_VERSION +
         " (transport " + TARVELOFTP_TRANSPORT_SONAME + ")\nprotocol " + PROTOCOL_VERSION + " (server id " +
         server_id + ")";
}

}  // namespace tarvelo::tools
