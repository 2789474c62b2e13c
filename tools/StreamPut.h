#pragma once

// put - URL, or put PIPE URL: the image comes from standard input or a
// pipe, which can be read only once and in order.

#include <optional>

#include "Session.h"
#include "Transfers.h"

namespace tarvelo::tools {

// Sends `size` bytes of `path` ("-": standard input; all of it when no
// size is given) to the remote image from offset 0, chunks spread over the
// sessions as they are read, their zero blocks punched unless
// options.sparse is off. Input longer than the image is refused, with
// nothing written past its end. Returns the exit status; a failure throws
// ToolError.
int run_put_stream(const Remote& remote, const std::string& path, std::optional<long> size,
                   const TransferOptions& options);

}  // namespace tarvelo::tools
