#include "SimpleCommands.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "Report.h"

namespace tarvelo::tools {

namespace {

std::string hex(const std::vector<unsigned char>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : bytes) {
    out += digits[byte >> 4];
    out += digits[byte & 0xf];
  }
  return out;
}

}  // namespace

int run_info(const Remote& remote, bool json) {
  auto client = open_remote(remote);
  // A harmless exchange: a target that wants a passphrase we did not give
  // hangs up here instead of answering.
  std::vector<std::string> failed;
  collect_acknowledgements(*client, remote, failed);
  InfoReport report;
  report.url = to_string(remote.url);
  report.size = client->size();
  report.server_id = client->server_id();
  report.features = client->server_features();
  const std::pair<uint32_t, const char*> known[] = {
      {FEATURE_HOLE_PUNCH, "hole-punch"},
      {FEATURE_AUTHENTICATION, "authentication"},
      {FEATURE_WRITE_ACKNOWLEDGEMENT, "write-acknowledgement"},
      {FEATURE_HANDSHAKE_SESSION_ID, "handshake-session-id"},
      {FEATURE_BLOCK_HASH_STORAGE, "block-hash-storage"}};
  for (const auto& [bit, name] : known)
    if (report.features & bit) report.feature_names.push_back(name);
  if (report.features & FEATURE_BLOCK_HASH_STORAGE) report.block_size = client->block_size();
  (void)client->close();
  print(report, json, std::cout);
  return 0;
}

int run_hash(const Remote& remote, std::optional<long> offset, std::optional<long> length,
             long chunk_size, bool json) {
  if (chunk_size <= 0 || chunk_size > TarveloFTPClient::kMaxRequestLength)
    throw ToolError("chunk size must be between 1 and " +
                    std::to_string(TarveloFTPClient::kMaxRequestLength) + " bytes");
  auto client = open_remote(remote);
  long start = offset.value_or(0);
  if (start < 0 || start > client->size())
    throw ToolError("offset " + std::to_string(start) + " is beyond the end of the image (" +
                    std::to_string(client->size()) + " bytes)");
  long count = length.value_or(client->size() - start);
  if (count > client->size() - start) count = client->size() - start;
  if (count <= 0) throw ToolError("empty range: nothing to hash");
  // Against block-hash storage the pieces end on the server's block grid.
  long piece = chunk_size;
  if (client->server_features() & FEATURE_BLOCK_HASH_STORAGE)
    piece = std::max(client->block_size(), piece / client->block_size() * client->block_size());
  std::vector<TarveloFTPClient::HashRange> ranges;
  for (long at = start; at < start + count;) {
    long next = std::min(start + count, (at / piece + 1) * piece);
    ranges.push_back({at, next - at});
    at = next;
  }
  Transport::StatusCode status;
  std::vector<unsigned char> hashes = client->get_block_hashes_remote(ranges, &status);
  if (hashes.empty()) throw ToolError(request_failure(remote, "hash request failed", status));
  std::size_t size = client->hash_size();
  HashReport report;
  report.url = to_string(remote.url);
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    std::vector<unsigned char> one(hashes.begin() + static_cast<long>(i * size),
                                   hashes.begin() + static_cast<long>((i + 1) * size));
    report.ranges.push_back({ranges[i].offset, ranges[i].length, hex(one)});
  }
  (void)client->close();
  print(report, json, std::cout);
  return 0;
}

int run_punch(const Remote& remote, long offset, long length) {
  auto client = open_remote(remote);
  if (offset < 0 || length <= 0 || offset >= client->size())
    throw ToolError("range " + std::to_string(offset) + "+" + std::to_string(length) +
                    " is outside the image (" + std::to_string(client->size()) + " bytes)");
  if (client->seek(offset, TARVELO_SEEK_SET) < 0) throw ToolError("cannot seek to " + std::to_string(offset));
  Transport::StatusCode status = client->hole_punch(length);
  if (status.code < 0) throw ToolError(request_failure(remote, "hole punch failed", status));
  // Against block-hash storage the punch is deferred: its outcome comes
  // back as an acknowledgement.
  std::vector<std::string> failed;
  collect_acknowledgements(*client, remote, failed);
  if (!failed.empty()) throw ToolError("hole punch failed: " + failed.front());
  (void)client->close();
  return 0;
}

}  // namespace tarvelo::tools
