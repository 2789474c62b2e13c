#pragma once

// What each subcommand of the tarveloftp program found, kept once: its
// text lines and its --json object are both made from these, so the two
// can never disagree. The commands fill a report and print it once, at
// the end; nothing else of theirs goes to standard output.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tarvelo::tools {

struct InfoReport {
  std::string url;
  long size = 0;
  uint32_t server_id = 0;
  uint32_t features = 0;
  std::vector<std::string> feature_names;
  long block_size = 0;  // of the stored hashes; 0 without block-hash storage
};

// get, put, and their --merge forms.
struct TransferReport {
  std::string command;  // "get" or "put"
  bool merge = false;
  long compared = 0;  // bytes hashed on both sides (merges only)
  long sent = 0;
  long received = 0;
  // Sparse transfers: bytes of zeros get did not fetch, or put punched.
  long zeros = 0;
  double seconds = 0;
  // Merges only: the first ranges and how many of them differed, and where
  // the time went; `moving` is writing for put, reading for get.
  std::size_t ranges = 0;
  std::size_t differing = 0;
  double comparing = 0;
  double narrowing = 0;
  double moving = 0;
  std::optional<std::size_t> cached_hashes;  // put --merge --hash-cache
  std::vector<std::string> failed;           // "OFFSET+LENGTH (STATUS)" of writes the server failed
};

struct MergePlan;
// A merge's report with what `plan` found: `compared` bytes in `seconds`,
// `moving` of them spent sending or fetching.
TransferReport merge_report(const MergePlan& plan, long compared, double seconds, double moving);

struct CompareReport {
  std::string file;
  std::string url;
  long offset = 0;
  long length = 0;        // of the file
  long remote_size = 0;
  bool shorter = false;   // the image ends before the file's last byte
  std::size_t ranges = 0;
  std::vector<std::pair<long, long>> differing;  // offset, length of each range that differs
  double seconds = 0;
  bool equal() const { return !shorter && differing.empty(); }
};

struct HashReport {
  struct Range {
    long offset;
    long length;
    std::string hash;  // hex
  };
  std::string url;
  std::vector<Range> ranges;
};

struct VerifyReport {
  std::string image;
  unsigned long blocks = 0;
  unsigned long block_size = 0;
  unsigned long valid = 0;
  unsigned long mismatched = 0;
  unsigned long invalid = 0;
  std::vector<unsigned long> first_mismatched;  // the first few block numbers
  std::vector<unsigned long> first_invalid;
};

// Each writes the report to `out` as text, or as one JSON object on one
// line when `json`.
void print(const InfoReport& report, bool json, std::ostream& out);
void print(const TransferReport& report, bool json, std::ostream& out);
void print(const CompareReport& report, bool json, std::ostream& out);
void print(const HashReport& report, bool json, std::ostream& out);
void print(const VerifyReport& report, bool json, std::ostream& out);

}  // namespace tarvelo::tools
