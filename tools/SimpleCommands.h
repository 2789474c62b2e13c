#pragma once

// The subcommands of the tarveloftp program that take one session and a
// request or two: info, hash and punch. Each returns the program's exit
// status; a failure that ends a command throws ToolError.

#include <optional>

#include "Session.h"

namespace tarvelo::tools {

int run_info(const Remote& remote);
int run_hash(const Remote& remote, std::optional<long> offset, std::optional<long> length,
             long chunk_size);
int run_punch(const Remote& remote, long offset, long length);

}  // namespace tarvelo::tools
