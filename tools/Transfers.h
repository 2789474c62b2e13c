#pragma once

// The bulk subcommands of the tarveloftp program: get, put (plain and
// --merge) and compare. Each returns the program's exit status; a failure
// that ends a command throws ToolError.

#include <optional>
#include <string>

#include "Session.h"

namespace tarvelo::tools {

// Default data length of one request. A request's bytes are copied on each
// side between socket, buffer and file; at 1 MiB they stay in a core's cache
// between the copies, where 8 MiB went out to memory and back (a put or get
// took 1.1 to 1.4 times as long). Several are kept in flight, so requests
// this size still keep a session busy. The transport caps them at
// TarveloFTPClient::kMaxRequestLength.
inline constexpr long kDefaultChunkSize = 1L << 20;
// put --merge compares ranges of this size first, then narrows each one
// that differs by quarters down to the server's hash blocks. Each hash
// request costs the server far more than hashing 4 KiB, so the sizes aim at
// few requests: with 1% of the 4 KiB blocks changed at random, 64 KiB ranges
// (15% differ), then 16 KiB, then 4 KiB take about 0.14 requests per block
// and hash about 1.2 times the image.
inline constexpr long kDefaultMergeRange = 64L << 10;
// Against block-hash storage the server answers from stored entries and the
// client hashes each block once, whatever the narrowing: larger first ranges
// then cost fewer requests for the same work.
inline constexpr long kDefaultBlockHashMergeRange = 1L << 20;

// Writes between two collections of acknowledgements, well below what the
// server queues (200000).
inline constexpr int kWritesPerAcknowledgement = 1024;

struct TransferOptions {
  long chunk_size = kDefaultChunkSize;
  int connections = 2;
  bool progress = false;  // draw the progress bar
  // put punches zero blocks instead of sending them; get fetches only what
  // the server's hashes show is not zeros (Sparse.h).
  bool sparse = true;
  bool json = false;      // report as one JSON object
  long bandwidth_limit = 0;  // bytes per second over all sessions; 0: none
  bool in_place = false;  // get: write over an existing file as the bytes arrive
};

int run_get(const Remote& remote, const std::string& file, std::optional<long> offset,
            std::optional<long> length, const TransferOptions& options);
// `hash_cache`, when not empty, keeps the local block hashes between merges
// against a server with block-hash storage.
int run_put(const std::string& file, const Remote& remote, bool merge, long merge_range,
            const std::string& hash_cache, const TransferOptions& options);
// 0 when equal, 1 when different; errors throw.
int run_compare(const std::string& file, const Remote& remote, long offset,
                const TransferOptions& options);

}  // namespace tarvelo::tools
