#pragma once

// The subcommands of the tarveloftp program that take one session and a
// request or two: info, hash and punch. Each returns the program's exit
// status; a failure that ends a command throws ToolError. With `json`, the
// report goes out as one JSON object.

#include <optional>

#include "Session.h"

namespace tarvelo::tools {

int run_info(const Remote& remote, bool json);
int run_hash(const Remote& remote, std::optional<long> offset, std::optional<long> length,
             long chunk_size, bool json);
int run_punch(const Remote& remote, long offset, long length);

}  // namespace tarvelo::tools
