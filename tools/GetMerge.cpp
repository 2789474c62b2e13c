#include "GetMerge.h"

#include <iostream>

#include "Merge.h"
#include "Progress.h"
#include "Report.h"
#include "WriteBehind.h"

namespace tarvelo::tools {

int run_get_merge(const Remote& remote, const std::string& path, long merge_range, const TransferOptions& options) {
  if (options.chunk_size <= 0 || options.chunk_size > TarveloFTPClient::kMaxRequestLength)
    throw ToolError("chunk size must be between 1 and " + std::to_string(TarveloFTPClient::kMaxRequestLength) +
                    " bytes");
  auto client = open_remote(remote);
  const long length = client->size();
  LocalFile file(path, LocalFile::Mode::Update);
  file.require_offsets("get --merge");
  // Blocks past the old end read as zeros (a hole), so zeros of the image
  // there compare equal and are never fetched.
  if (file.is_regular())
    file.resize(length);
  else if (file.size() < length)
    throw ToolError(path + " (" + std::to_string(file.size()) + " bytes) is smaller than the remote image (" +
                    std::to_string(length) + " bytes)");

  Progress progress(options.progress);
  auto started = Clock::now();
  progress.start("compare", length);
  MergePlan plan =
      plan_merge(*client, remote, file, length, first_merge_range(*client, merge_range), progress, nullptr);
  std::vector<HashRange> reads = join_neighbours(plan.changed, options.chunk_size);
  long to_fetch = 0;
  for (const HashRange& range : reads) to_fetch += range.length;

  auto reading = Clock::now();
  progress.start("get", to_fetch);
  long received = 0;
  WriteBehind behind(file);
  Transport::StatusCode status =
      client->read_ranges(reads, reads_in_flight(reads), [&](long offset, const char* data, long count) {
        file.write_at(offset, data, count);
        behind.written(offset, count);
        progress.add(count);
        received += count;
        return true;
      });
  if (status.code < 0) throw ToolError(request_failure(remote, "read failed", status));
  // Nothing is dropped from the cache: the comparison read the whole file
  // and a merge writes little of it, so dropping would cost more (a pass
  // over the file's pages) than it spares; put --merge leaves its file
  // cached too.
  WriteBehind::finish(file, 0);
  progress.finish();
  (void)client->close();
  TransferReport report = merge_report(plan, length, seconds_since(started), seconds_since(reading));
  report.command = "get";
  report.received = received;
  print(report, options.json, std::cout);
  return 0;
}

}  // namespace tarvelo::tools
