#pragma once

// get --merge: the destination is brought to the remote image's size and
// then compared with it as put --merge compares, fetching only the blocks
// that differ. An interrupted get resumes this way.

#include <string>

#include "Session.h"
#include "Transfers.h"

namespace tarvelo::tools {

// `merge_range` as put's --merge-range (0: the default). Returns the
// program's exit status; a failure that ends it throws ToolError.
int run_get_merge(const Remote& remote, const std::string& file, long merge_range, const TransferOptions& options);

}  // namespace tarvelo::tools
