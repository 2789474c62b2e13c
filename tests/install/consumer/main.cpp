// A program built against an installed copy of the library.
#include <iostream>

#include <tarveloftp/Endpoints.h>
#include <tarveloftp/Protocol.h>

int main() {
  tarvelo::config::Endpoints endpoints;
  bool added = endpoints.add_target("disk") == tarvelo::config::Endpoints::ENDPOINT_OK;
  std::cout << tarvelo::Protocol::to_string(tarvelo::COMMAND_READ) << " " << std::hex
            << tarvelo::tarvelo_version_uid() << std::endl;
  return added ? 0 : 1;
}
