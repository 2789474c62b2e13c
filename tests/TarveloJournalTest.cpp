#include <tarveloftp/TarveloJournal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <tarveloftp/Coding.h>

#include "StorageTestSupport.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using test::error_of;
using Ranges = std::vector<TarveloJournal::Range>;

std::vector<char> journalBytes(const Ranges& ranges, uint64_t version = 1, uint32_t count = UINT32_MAX) {
  std::vector<char> bytes(24 + 16 * ranges.size(), 0);
  EncodeFixed64LE(bytes.data(), 0x20001313);
  EncodeFixed64LE(bytes.data() + 8, version);
  EncodeFixed32LE(bytes.data() + 16, count == UINT32_MAX ? static_cast<uint32_t>(ranges.size()) : count);
  for (size_t k = 0; k < ranges.size(); ++k) {
    EncodeFixed64LE(bytes.data() + 24 + 16 * k, static_cast<uint64_t>(std::get<0>(ranges[k])));
    EncodeFixed64LE(bytes.data() + 32 + 16 * k, static_cast<uint64_t>(std::get<1>(ranges[k])));
  }
  return bytes;
}

struct JournalFixture {
  test::TempDir dir;
  std::string path = dir.file("image.hash.journal");
  int syncs = 0;
  bool syncResult = true;
  Ranges repaired;
  long failRepairAt = -1;
  std::vector<unsigned long> reads;
  std::vector<unsigned long> writes;
  TarveloJournal journal{[this] {
                           ++syncs;
                           return syncResult;
                         },
                         [this](long offset, long length) {
                           if (offset == failRepairAt) return false;
                           repaired.emplace_back(offset, length);
                           return true;
                         }};

  JournalFixture() {
    journal.setOnReadCallback([this](unsigned long count) { reads.push_back(count); });
    journal.setOnWriteCallback([this](unsigned long count) { writes.push_back(count); });
  }
};

TEST(TarveloJournalTest, GroupsAreWrittenAndCompletedWhole) {
  JournalFixture f;
  TarveloJournal::create(f.path);
  EXPECT_EQ(test::read_file(f.path), journalBytes({}));
  f.journal.open(f.path);
  EXPECT_EQ(f.reads, (std::vector<unsigned long>{24}));
  EXPECT_TRUE(f.writes.empty());
  EXPECT_EQ(f.syncs, 0);
  EXPECT_EQ(error_of([&] { f.journal.open(f.path); }), "failed to open journal because it is already open.");

  f.journal.startTransactionGroup({{0, 4096}, {8192, 512}, {16384, 1024}});
  EXPECT_EQ(test::read_file(f.path), journalBytes({{0, 4096}, {8192, 512}, {16384, 1024}}));
  f.journal.completeTransactionGroup({{0, 4096}, {16384, 1024}});
  EXPECT_EQ(test::read_file(f.path), journalBytes({{8192, 512}}));
  EXPECT_TRUE(f.journal.hasOutstandingTransactions());
  EXPECT_EQ(f.syncs, 1);
  EXPECT_EQ(f.writes, (std::vector<unsigned long>{72, 40}));

  f.journal.completeTransactionGroup({});
  EXPECT_EQ(f.syncs, 1);
  f.journal.startTransactionGroup({});
  EXPECT_EQ(f.writes.size(), 3u);

  // Ranges match exactly: one that agrees only in its length is not taken.
  f.journal.startTransactionGroup({{0, 512}});
  f.journal.completeTransactionGroup({{0, 512}});
  EXPECT_EQ(f.journal.outstandingTransactions(), (Ranges{{8192, 512}}));
  EXPECT_EQ(error_of([&] { f.journal.completeTransactionGroup({{1, 512}}); }),
            "did not find completed transaction in outstanding transactions");

  f.syncResult = false;
  EXPECT_EQ(error_of([&] { f.journal.completeTransactionGroup({{8192, 512}}); }), "Failed syncing transactions");
  EXPECT_FALSE(std::filesystem::exists(f.path + ".temp"));
}

TEST(TarveloJournalTest, OpenRepairsListedRanges) {
  JournalFixture f;
  test::write_file(f.path, journalBytes({{0, 4096}, {8192, 4096}}));
  f.failRepairAt = 8192;
  EXPECT_EQ(error_of([&] { f.journal.open(f.path); }), "journal could not repair offset/length 8192/4096");
  EXPECT_EQ(f.repaired, (Ranges{{0, 4096}}));
  EXPECT_EQ(test::read_file(f.path), journalBytes({{0, 4096}, {8192, 4096}}));
  // Still closed: a group now must not overwrite the unrepaired list.
  EXPECT_EQ(error_of([&] { f.journal.startTransactionGroup({{0, 1}}); }), "journal is not open");
  EXPECT_EQ(test::read_file(f.path), journalBytes({{0, 4096}, {8192, 4096}}));

  f.failRepairAt = -1;
  f.repaired.clear();
  f.reads.clear();
  f.journal.open(f.path);
  EXPECT_EQ(f.repaired, (Ranges{{0, 4096}, {8192, 4096}}));
  EXPECT_EQ(f.reads, (std::vector<unsigned long>{24, 32}));
  EXPECT_EQ(f.syncs, 1);
  EXPECT_EQ(test::read_file(f.path), journalBytes({}));
  EXPECT_FALSE(f.journal.hasOutstandingTransactions());
}

// Two connections on one image: a commit of one must not drop the ranges
// the other still has outstanding, by whatever name each opened the file.
TEST(TarveloJournalTest, JournalsOnOneFileListEachOthersRanges) {
  JournalFixture f;
  TarveloJournal::create(f.path);
  f.journal.open(f.path);
  TarveloJournal other([] { return true; }, [](long, long) { return true; });
  other.open((f.dir.path() / "." / "image.hash.journal").string());
  f.journal.startTransactionGroup({{0, 4096}});
  other.startTransactionGroup({{8192, 4096}});
  EXPECT_EQ(test::read_file(f.path), journalBytes({{8192, 4096}, {0, 4096}}));
  other.completeTransactionGroup({{8192, 4096}});
  EXPECT_EQ(test::read_file(f.path), journalBytes({{0, 4096}}));
  f.journal.completeTransactionGroup({{0, 4096}});
  EXPECT_EQ(test::read_file(f.path), journalBytes({}));
}

// A commit may hold 200000 ranges; listed one per entry, a crash would leave
// a journal the next open refuses, and the image could never be repaired.
TEST(TarveloJournalTest, GroupsAboveTheEntryLimitAreListedAsCoveringRanges) {
  JournalFixture f;
  TarveloJournal::create(f.path);
  f.journal.open(f.path);
  Ranges group;
  for (long block = 0; block < 20000; ++block) {
    long gap = block % 3 == 0 ? 4096 : 8192 + (block % 7) * 4096;  // uneven gaps
    long offset = group.empty() ? 0 : std::get<0>(group.back()) + 4096 + gap;
    group.emplace_back(offset, block % 5 == 0 ? 100 : 4096);
  }
  group.emplace_back(4096, 4096);  // overlaps and adjacencies merge first
  group.emplace_back(0, 8192);
  f.journal.startTransactionGroup(group);

  JournalFixture reopened;  // as after a crash
  reopened.path = f.path;
  reopened.journal.open(reopened.path);
  EXPECT_LE(reopened.repaired.size(), TarveloJournal::kMaxEntries);
  EXPECT_GT(reopened.repaired.size(), TarveloJournal::kMaxEntries - 10);
  for (const auto& [offset, length] : group) {
    bool covered = std::any_of(reopened.repaired.begin(), reopened.repaired.end(), [&](const auto& range) {
      return std::get<0>(range) <= offset && offset + length <= std::get<0>(range) + std::get<1>(range);
    });
    ASSERT_TRUE(covered) << offset << "/" << length;
  }
  // The whole list is still tracked exactly: completing it leaves nothing.
  f.journal.completeTransactionGroup(group);
  EXPECT_FALSE(f.journal.hasOutstandingTransactions());
}

TEST(TarveloJournalTest, CorruptJournalsAreRefused) {
  JournalFixture f;
  auto openWith = [&](const std::vector<char>& bytes) {
    test::write_file(f.path, bytes);
    TarveloJournal journal([] { return true; }, [](long, long) { return true; });
    return error_of([&] { journal.open(f.path); });
  };
  Ranges most(6400, {0, 4096});
  EXPECT_EQ(openWith(journalBytes(most)), "no error");
  most.emplace_back(0, 4096);
  EXPECT_EQ(openWith(journalBytes(most)), "number of journal entries are unexpectedly large");
  EXPECT_EQ(openWith(journalBytes({}, 2)), "unexpected journal version 2");
  std::vector<char> badMagic = journalBytes({});
  badMagic[3] = 1;
  EXPECT_EQ(openWith(badMagic), "journal magic number is corrupt");
  EXPECT_EQ(openWith(std::vector<char>(10, 0)).rfind("failed to read journal header: ", 0), 0u);
  EXPECT_EQ(openWith(journalBytes({{0, 1}}, 1, 2)).rfind("failed to read journal entries: ", 0), 0u);
  EXPECT_EQ(error_of([&] { TarveloJournal([] { return true; }, [](long, long) { return true; })
                               .open(f.dir.file("missing")); }),
            "error opening journal file for writing: 2");
  EXPECT_EQ(error_of([&] { TarveloJournal::create(f.dir.file("no/such/journal")); }),
            "error creating the journal file: 2");
}

TEST(TarveloJournalTest, TempFileLeftBehindAndFailedRewrites) {
  JournalFixture f;
  TarveloJournal::create(f.path);
  test::write_file(f.path + ".temp", std::vector<char>(100, 'x'));  // a crash before the rename
  f.journal.open(f.path);
  f.journal.startTransactionGroup({{4096, 4096}});
  EXPECT_EQ(test::read_file(f.path), journalBytes({{4096, 4096}}));
  EXPECT_FALSE(std::filesystem::exists(f.path + ".temp"));

  // A rewrite that cannot make its temporary file leaves the journal as it was.
  std::filesystem::create_directory(f.path + ".temp");
  EXPECT_EQ(error_of([&] { f.journal.completeTransactionGroup({{4096, 4096}}); }),
            "error creating temp journal file: 21");
  EXPECT_EQ(test::read_file(f.path), journalBytes({{4096, 4096}}));
}

}  // namespace
}  // namespace tarvelo
