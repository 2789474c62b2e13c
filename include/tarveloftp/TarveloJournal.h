#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <tarveloftp/Export.h>

namespace tarvelo {

// A small file listing, durably, the image ranges of the group of writes
// about to be applied, for as long as image and hash file may disagree about
// them. Every version of the file reaches the device (O_SYNC write of a
// temporary file) before it replaces the previous one (rename), so a crash
// leaves either the old or the new list. Opening a journal that still lists
// ranges has them repaired through the repair callback.
//
// Used by one thread at a time: the server shares one per image between its
// connections and holds the image's lock around every use, and the
// callbacks run inside those uses. Each rewrite also lists the outstanding
// ranges of the other journals open on the same file in this process.
class TARVELOFTP_EXPORT TarveloJournal {
 public:
  // ---- File format. All integers little-endian; always rewritten whole. ----
  static constexpr uint64_t kMagic = 0x20001313;
  static constexpr uint64_t kVersion = 1;
  // 8 magic + 8 version + 4 entry count + 4 reserved.
  static constexpr std::size_t kHeaderBytes = 24;
  static constexpr std::size_t kMagicField = 0;       // unsigned 64
  static constexpr std::size_t kVersionField = 8;     // unsigned 64
  static constexpr std::size_t kEntryCountField = 16; // unsigned 32, then 4 reserved
  // Each entry: 8 offset (signed) + 8 length (signed).
  static constexpr std::size_t kEntryBytes = 16;
  static constexpr uint32_t kMaxEntries = 6400;

  struct Header {
    uint64_t magic = 0;
    uint64_t version = 0;
    uint32_t entry_count = 0;
  };

  using Range = std::tuple<long, long>;  // (offset, length)

  // sync makes all image and hash data durable; repair(offset, length)
  // restores the hashes of one range. Either returns false on failure.
  TarveloJournal(const std::function<bool()>& sync, const std::function<bool(long, long)>& repair);
  ~TarveloJournal();
  TarveloJournal(const TarveloJournal&) = delete;
  TarveloJournal& operator=(const TarveloJournal&) = delete;

  // Writes a new, empty journal file (the object is not opened).
  static void create(const std::string& path);
  // Opens an existing journal, repairs the ranges it lists, syncs, and
  // empties it. On failure the journal stays closed and the file keeps its
  // ranges unless the final rewrite had begun.
  void open(const std::string& path);
  // Records the ranges as outstanding and rewrites the file. Throws when the
  // journal is not open.
  void startTransactionGroup(std::vector<Range> entries);
  // Removes the ranges (each matched exactly, in start order), syncs
  // through the callback and rewrites the file. Throws when not open.
  void completeTransactionGroup(std::vector<Range> entries);
  // Runs the sync callback; true, or std::runtime_error.
  bool syncAllTransactions();
  bool hasOutstandingTransactions() const;
  const std::vector<Range>& outstandingTransactions() const { return m_outstanding; }
  // Rewrites the file from the outstanding lists of every journal open on
  // it; the previous file stays intact when this fails.
  void writeJournal() const;
  void validateHeader(Header header) const;

  void setOnWriteCallback(std::function<void(unsigned long)> callback);
  void setOnReadCallback(std::function<void(unsigned long)> callback);

  // message + ": " + errno as std::runtime_error; logged at ERROR instead
  // when an exception is already propagating.
  static void throwWithErrno(const std::string& message);

 private:
  void requireOpen() const;
  std::vector<Range> listedRanges() const;

  std::function<bool(long, long)> m_repair;
  std::function<bool()> m_sync;
  std::string m_path;
  std::string m_key;  // the file, whatever name it was opened by
  int m_fd = -1;
  std::vector<Range> m_outstanding;
  std::function<void(unsigned long)> m_on_write;
  std::function<void(unsigned long)> m_on_read;
};

}  // namespace tarvelo
