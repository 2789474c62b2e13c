#include "Report.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "CommandLine.h"
#include "Merge.h"

namespace tarvelo::tools {

namespace {

using Json = nlohmann::ordered_json;

std::string format(const char* pattern, auto... values) {
  char line[512];
  std::snprintf(line, sizeof(line), pattern, values...);
  return line;
}

void emit(const Json& object, std::ostream& out) { out << object.dump() << "\n"; }

std::string list(const std::vector<unsigned long>& blocks, unsigned long total) {
  std::string text;
  for (unsigned long block : blocks) text += (text.empty() ? "" : ", ") + std::to_string(block);
  if (total > blocks.size()) text += ", ...";
  return text;
}

}  // namespace

TransferReport merge_report(const MergePlan& plan, long compared, double seconds, double moving) {
  TransferReport report;
  report.command = "put";
  report.merge = true;
  report.compared = compared;
  report.seconds = seconds;
  report.ranges = plan.first_ranges;
  report.differing = plan.first_differing;
  report.comparing = plan.comparing;
  report.narrowing = plan.narrowing;
  report.moving = moving;
  return report;
}

void print(const InfoReport& report, bool json, std::ostream& out) {
  std::string hashes = report.block_size > 0
                           ? "aggregate BLAKE2b over " + std::to_string(report.block_size) + "-byte blocks"
                           : "BLAKE2b of each range";
  if (json) {
    emit(Json{{"url", report.url},
              {"size", report.size},
              {"server_id", report.server_id},
              {"features", report.features},
              {"feature_names", report.feature_names},
              {"block_size", report.block_size > 0 ? Json(report.block_size) : Json(nullptr)},
              {"hashes", hashes}},
         out);
    return;
  }
  std::string names;
  for (const std::string& name : report.feature_names) names += (names.empty() ? "" : " ") + name;
  out << "url: " << report.url << "\n"
      << "size: " << report.size << " bytes (" << human_bytes(static_cast<double>(report.size)) << ")\n"
      << format("server id: 0x%08x\n", report.server_id) << format("features: 0x%02x ", report.features)
      << names << "\n"
      << "hashes: " << hashes << "\n";
}

void print(const TransferReport& report, bool json, std::ostream& out) {
  const char* moving = report.command == "get" ? "reading" : "writing";
  if (json) {
    Json object{{"command", report.command}, {"merge", report.merge},     {"compared", report.compared},
                {"sent", report.sent},       {"received", report.received}, {"zeros", report.zeros},
                {"seconds", report.seconds}};
    if (report.merge) {
      object["ranges"] = report.ranges;
      object["differing_ranges"] = report.differing;
      object["comparing_seconds"] = report.comparing;
      object["narrowing_seconds"] = report.narrowing;
      object[std::string(moving) + "_seconds"] = report.moving;
      if (report.cached_hashes) object["cached_hashes"] = *report.cached_hashes;
    }
    if (report.command == "put") object["failed"] = report.failed;
    emit(object, out);
    return;
  }
  if (report.command == "get" && !report.merge) {
    double rate = report.seconds > 0 ? static_cast<double>(report.received) / report.seconds : 0;
    out << format("received %ld bytes in %.2f s (%s/s)", report.received, report.seconds, human_bytes(rate).c_str());
    if (report.zeros > 0) out << format(", %ld bytes of zeros not fetched", report.zeros);
    out << "\n";
    return;
  }
  if (report.command == "get")
    out << format("compared %ld bytes, received %ld bytes, %.2f s", report.compared, report.received, report.seconds);
  else
    out << format("compared %ld bytes, sent %ld bytes, %.2f s", report.compared, report.sent, report.seconds);
  if (report.merge) {
    out << format(" (%zu of %zu ranges differed: %.2f s comparing, %.2f s narrowing, %.2f s %s", report.differing,
                  report.ranges, report.comparing, report.narrowing, report.moving, moving);
    if (report.cached_hashes) out << "; " << *report.cached_hashes << " block hashes from the cache";
    out << ")";
  }
  if (report.command == "put" && report.zeros > 0) out << format(" (%ld bytes of zeros punched)", report.zeros);
  out << "\n";
}

void print(const CompareReport& report, bool json, std::ostream& out) {
  if (json) {
    Json differing = Json::array();
    for (const auto& [offset, length] : report.differing) differing.push_back({{"offset", offset}, {"length", length}});
    emit(Json{{"file", report.file},
              {"url", report.url},
              {"offset", report.offset},
              {"length", report.length},
              {"remote_size", report.remote_size},
              {"equal", report.equal()},
              {"shorter", report.shorter},
              {"ranges", report.ranges},
              {"differing_ranges", report.differing.size()},
              {"differing", differing},
              {"seconds", report.seconds}},
         out);
    return;
  }
  if (report.shorter)
    out << format("%s %s differ: the remote image (%ld bytes) is shorter than the file at offset %ld\n",
                  report.file.c_str(), report.url.c_str(), report.remote_size, report.offset);
  else if (!report.differing.empty())
    out << format("%s %s differ: %zu of %zu ranges, the first at offset %ld length %ld\n", report.file.c_str(),
                  report.url.c_str(), report.differing.size(), report.ranges, report.differing.front().first,
                  report.differing.front().second);
}

void print(const HashReport& report, bool json, std::ostream& out) {
  if (json) {
    Json ranges = Json::array();
    for (const HashReport::Range& range : report.ranges)
      ranges.push_back({{"offset", range.offset}, {"length", range.length}, {"hash", range.hash}});
    emit(Json{{"url", report.url}, {"hashes", ranges}}, out);
    return;
  }
  for (const HashReport::Range& range : report.ranges)
    out << range.hash << " " << range.offset << " " << range.length << "\n";
}

void print(const VerifyReport& report, bool json, std::ostream& out) {
  if (json) {
    emit(Json{{"image", report.image},
              {"blocks", report.blocks},
              {"block_size", report.block_size},
              {"valid", report.valid},
              {"mismatched", report.mismatched},
              {"invalid", report.invalid},
              {"first_mismatched", report.first_mismatched},
              {"first_invalid", report.first_invalid}},
         out);
    return;
  }
  out << report.image << ": " << report.blocks << " blocks of " << report.block_size << " bytes, " << report.valid
      << " valid entries checked, " << report.mismatched << " mismatched, " << report.invalid << " not valid\n";
  if (!report.first_mismatched.empty())
    out << "mismatched blocks: " << list(report.first_mismatched, report.mismatched) << "\n";
  if (!report.first_invalid.empty())
    out << "blocks without a valid entry: " << list(report.first_invalid, report.invalid) << "\n";
}

}  // namespace tarvelo::tools
