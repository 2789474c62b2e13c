#pragma once

#include <string>

#include <tarveloftp/Endpoints.h>

namespace tarvelo::tools {

// Adds to `endpoints` the targets of a server's verbose JSON listing (what
// `tarveloftp-admin list --verbose` prints): names, passphrases, read-only
// flags and LUN files. False, with `error` set, when the text is not such a
// listing or the table refuses an entry.
bool endpoints_from_listing(const std::string& listing, config::Endpoints& endpoints, std::string* error);

}  // namespace tarvelo::tools
