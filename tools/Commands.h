#pragma once

// The subcommands of the tarveloftp program. Each returns the program's
// exit status; a failure that ends a command throws ToolError with the one
// line to print.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <tarvelo/BasicSocket.h>
#include <tarveloftp/TarveloFTPClient.h>

#include "CommandLine.h"

namespace tarvelo::tool {

struct ToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Default data length of one request: large requests keep a synchronous
// protocol busy; the transport caps them at TarveloFTPClient::kMaxRequestLength.
inline constexpr long kDefaultChunkSize = 8L << 20;
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

// Long enough for a server committing a large batch to a slow disk.
inline constexpr double kDefaultTimeoutSeconds = 300;

// How the connection is carried: --tls, --ca-file, --insecure,
// --compression and --server-public-key; they must match the server's.
struct Connection {
  bool tls = false;
  std::string ca_file;  // empty: the system's CA store
  bool insecure = false;
  SocketOptions layers;
  // A server that sends nothing for this long is given up on; 0: never.
  double timeout_seconds = kDefaultTimeoutSeconds;
};

struct Remote {
  ClientUrl url;
  std::string passphrase;
  Connection connection;
};

struct TransferOptions {
  long chunk_size = kDefaultChunkSize;
  int connections = 2;
  bool progress = false;  // draw the progress bar
};

// Opens one session, or throws ToolError naming the cause.
std::unique_ptr<TarveloFTPClient> open_remote(const Remote& remote);

int run_info(const Remote& remote);
int run_get(const Remote& remote, const std::string& file, std::optional<long> offset,
            std::optional<long> length, const TransferOptions& options);
// `hash_cache`, when not empty, keeps the local block hashes between merges
// against a server with block-hash storage.
int run_put(const std::string& file, const Remote& remote, bool merge, long merge_range,
            const std::string& hash_cache, const TransferOptions& options);
int run_hash(const Remote& remote, std::optional<long> offset, std::optional<long> length,
             long chunk_size);
// 0 when equal, 1 when different; errors throw.
int run_compare(const std::string& file, const Remote& remote, long offset,
                const TransferOptions& options);
int run_punch(const Remote& remote, long offset, long length);

}  // namespace tarvelo::tool
