#pragma once

// The differential merge of `put --merge`: which blocks of the remote image
// differ from the local file. Ranges are compared by hash, and each one
// that differs is narrowed by quarters down to the server's hash blocks.
// The narrowing sees the two sides only through HashSides, so it runs the
// same against a server or against scripted hashes.

#include <atomic>
#include <cstddef>
#include <vector>

#include <tarveloftp/TarveloFTPClient.h>

#include "Session.h"

namespace tarvelo::tools {

class LocalHashCache;
class Progress;

using HashRange = TarveloFTPClient::HashRange;

// Splits [start, end) into ranges of at most `size` bytes that end on
// multiples of `size` (the server's block grid when `size` is a multiple of
// its block size).
void split_ranges(long start, long end, long size, std::vector<HashRange>& out);

// The hashes of both sides for a round of ranges: hash_size() bytes per
// range, in the order of the ranges. Both are asked at once, from two
// threads; each should end early once `stop` is set.
class HashSides {
 public:
  virtual ~HashSides() = default;
  virtual std::size_t hash_size() const = 0;
  virtual std::vector<unsigned char> local(const std::vector<HashRange>& ranges, bool first_round,
                                           const std::atomic<bool>& stop) = 0;
  virtual std::vector<unsigned char> remote(const std::vector<HashRange>& ranges, bool first_round,
                                            const std::atomic<bool>& stop) = 0;
};

// Indices of the ranges whose two hashes differ; both sides hash at once.
std::vector<std::size_t> differing_ranges(HashSides& sides, const std::vector<HashRange>& ranges,
                                          bool first_round);

// What a merge found, and where its time went.
struct MergePlan {
  std::vector<HashRange> changed;  // block-sized ranges that differ, in order
  std::size_t first_ranges = 0;
  std::size_t first_differing = 0;
  double comparing = 0;
  double narrowing = 0;
};

// Compares [start, end) in ranges of `size` bytes (a multiple of `block`),
// then narrows each one that differs by quarters down to `block`, comparing
// again each round, and adds the blocks that still differ to `plan`.
void narrow_to_blocks(long block, long size, long start, long end, HashSides& sides, MergePlan& plan);

// Both sides hash each range from the data: the local file, whose byte 0
// sits at image offset `base`, on every core, and the server from the image.
class HashedRanges : public HashSides {
 public:
  HashedRanges(TarveloFTPClient& client, const Remote& remote, const LocalFile& file, long base,
               Progress& progress);
  std::size_t hash_size() const override;
  std::vector<unsigned char> local(const std::vector<HashRange>& ranges, bool first_round,
                                   const std::atomic<bool>& stop) override;
  std::vector<unsigned char> remote(const std::vector<HashRange>& ranges, bool first_round,
                                    const std::atomic<bool>& stop) override;

 private:
  TarveloFTPClient& m_client;
  const Remote& m_remote;
  const LocalFile& m_file;
  long m_base;
  Progress& m_progress;
};

// Against block-hash storage, for the window [start, end) of the file (on
// the server's block grid): the server answers from stored block hashes,
// and the local aggregates come from the window's block hashes, made once
// in the first round (with `cache`, only for blocks it does not vouch for).
class StoredBlockHashes : public HashSides {
 public:
  StoredBlockHashes(TarveloFTPClient& client, const Remote& remote, const LocalFile& file, long start, long end,
                    Progress& progress, LocalHashCache* cache);
  std::size_t hash_size() const override;
  std::vector<unsigned char> local(const std::vector<HashRange>& ranges, bool first_round,
                                   const std::atomic<bool>& stop) override;
  std::vector<unsigned char> remote(const std::vector<HashRange>& ranges, bool first_round,
                                    const std::atomic<bool>& stop) override;

 private:
  TarveloFTPClient& m_client;
  const Remote& m_remote;
  const LocalFile& m_file;
  long m_start;
  long m_end;
  Progress& m_progress;
  LocalHashCache* m_cache;
  LargeBuffer m_blocks;  // the window's block hashes
};

// `ranges` (in order) with neighbours joined, each at most `limit` bytes,
// so that changed blocks side by side move in one request.
std::vector<HashRange> join_neighbours(const std::vector<HashRange>& ranges, long limit);

// READ requests to keep queued on the server while `ranges` are fetched:
// replies of 16 MiB in all keep a session busy, so short ranges (a merge's
// blocks, a thin image's data) get more requests, up to 256.
std::size_t reads_in_flight(const std::vector<HashRange>& ranges);

// The size of the ranges a merge compares first: `requested` (0: the
// default for the server's kind of hashing) in whole blocks of the server's.
long first_merge_range(const TarveloFTPClient& client, long requested);

// The blocks of the first `length` bytes of `file` that differ from the
// remote image, compared first in ranges of `size` bytes (a multiple of the
// server's block size). `cache` is used against block-hash storage only,
// and committed at the end.
MergePlan plan_merge(TarveloFTPClient& client, const Remote& remote, const LocalFile& file, long length,
                     long size, Progress& progress, LocalHashCache* cache);

}  // namespace tarvelo::tools
