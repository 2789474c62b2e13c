#include <tarveloftp/TarveloJournal.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <tarveloftp/Coding.h>
#include <tarveloftp/Logger.h>

#include "StorageSupport.h"

namespace tarvelo {

namespace {

// The file lists at most kMaxEntries ranges, or the next open would refuse
// it and leave the image without repair. A longer list is written as fewer
// ranges covering it: overlapping and adjacent ranges merged, then the
// smallest gaps closed. Repairing a covering range only rehashes more.
std::vector<TarveloJournal::Range> coverWithinLimit(std::vector<TarveloJournal::Range> entries) {
  if (entries.size() <= TarveloJournal::kMaxEntries) return entries;
  std::sort(entries.begin(), entries.end());
  std::vector<TarveloJournal::Range> merged;
  for (const auto& [offset, length] : entries) {
    if (!merged.empty()) {
      auto& [last_offset, last_length] = merged.back();
      if (offset <= last_offset + last_length) {
        last_length = std::max(last_length, offset + length - last_offset);
        continue;
      }
    }
    merged.emplace_back(offset, length);
  }
  if (merged.size() <= TarveloJournal::kMaxEntries) return merged;

  // Close the merged.size() - kMaxEntries smallest gaps.
  std::vector<std::size_t> gaps(merged.size() - 1);
  for (std::size_t i = 0; i < gaps.size(); ++i) gaps[i] = i;
  auto gap = [&](std::size_t i) {
    return std::get<0>(merged[i + 1]) - (std::get<0>(merged[i]) + std::get<1>(merged[i]));
  };
  std::size_t closing = merged.size() - TarveloJournal::kMaxEntries;
  std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(closing - 1), gaps.end(),
                   [&](std::size_t a, std::size_t b) { return gap(a) < gap(b); });
  std::vector<bool> close(merged.size(), false);
  for (std::size_t i = 0; i < closing; ++i) close[gaps[i]] = true;
  std::vector<TarveloJournal::Range> covered;
  for (std::size_t i = 0; i < merged.size(); ++i) {
    if (i > 0 && close[i - 1]) {
      auto& [last_offset, last_length] = covered.back();
      last_length = std::get<0>(merged[i]) + std::get<1>(merged[i]) - last_offset;
    } else {
      covered.push_back(merged[i]);
    }
  }
  return covered;
}

std::vector<char> encodeJournal(const std::vector<TarveloJournal::Range>& listed) {
  std::vector<TarveloJournal::Range> entries = coverWithinLimit(listed);
  std::vector<char> image(TarveloJournal::kHeaderBytes + entries.size() * TarveloJournal::kEntryBytes, 0);
  EncodeFixed64LE(image.data() + TarveloJournal::kMagicField, TarveloJournal::kMagic);
  EncodeFixed64LE(image.data() + TarveloJournal::kVersionField, TarveloJournal::kVersion);
  EncodeFixed32LE(image.data() + TarveloJournal::kEntryCountField, static_cast<uint32_t>(entries.size()));
  char* out = image.data() + TarveloJournal::kHeaderBytes;
  for (const auto& [offset, length] : entries) {
    EncodeFixed64LE(out, static_cast<uint64_t>(offset));
    EncodeFixed64LE(out + 8, static_cast<uint64_t>(length));
    out += TarveloJournal::kEntryBytes;
  }
  return image;
}

// The journals open in this process, by file. Connections on one image share
// its journal file, so each rewrite lists the ranges of all of them: one
// connection's commit must not drop another's ranges that still need repair.
std::mutex g_open_journals_mutex;
std::multimap<std::string, const TarveloJournal*>& openJournals() {
  static auto* journals = new std::multimap<std::string, const TarveloJournal*>();
  return *journals;
}

// One key for every name of the same file.
std::string fileKey(const std::string& path) {
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
  return error ? path : canonical.string();
}

std::string directoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

TarveloJournal::TarveloJournal(const std::function<bool()>& sync, const std::function<bool(long, long)>& repair)
    : m_repair(repair), m_sync(sync) {}

TarveloJournal::~TarveloJournal() {
  if (m_fd == -1) return;
  {
    std::lock_guard lock(g_open_journals_mutex);
    auto [first, last] = openJournals().equal_range(m_key);
    for (auto it = first; it != last; ++it)
      if (it->second == this) {
        openJournals().erase(it);
        break;
      }
  }
  if (::close(m_fd) != 0) TLOG(ERROR) << "failed to close journal fd in destructor";
}

void TarveloJournal::throwWithErrno(const std::string& message) {
  storage::throwOrLogErrno(message, 0, TARVELO_STORAGE_HERE);
}

void TarveloJournal::create(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_SYNC, 0600);
  if (fd < 0) storage::throwErrno("error creating the journal file");
  // Closed on every way out; a failing close removes the file and is
  // raised unless an earlier failure is already on its way.
  int baseline = std::uncaught_exceptions();
  storage::ScopeExit closer([&] {
    if (::close(fd) == 0) return;
    int error = errno;
    if (::unlink(path.c_str()) == 0) TLOG(INFO) << "deleted journal file due to error: " << path;
    errno = error;
    storage::throwOrLogErrno("failed to close journal fd while creating the journal", baseline,
                             TARVELO_STORAGE_HERE);
  });
  std::vector<char> image = encodeJournal({});
  if (!(::write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size()))) {
    int error = errno;
    if (::unlink(path.c_str()) == 0) TLOG(INFO) << "deleted journal file due to error: " << path;
    errno = error;
    storage::throwErrno("failed to initialize journal header data");
  }
}

void TarveloJournal::open(const std::string& path) {
  if (m_fd != -1) throw std::runtime_error("failed to open journal because it is already open.");
  int fd = ::open(path.c_str(), O_RDWR | O_SYNC);
  if (fd < 0) storage::throwErrno("error opening journal file for writing");
  storage::ScopeExit closeOnFailure([fd] {
    if (::close(fd) != 0)
      TLOG(ERROR) << "failed to close journal fd after failing to open the journal: " << errno;
  });

  char headerBytes[kHeaderBytes];
  if (::read(fd, headerBytes, kHeaderBytes) != static_cast<ssize_t>(kHeaderBytes))
    storage::throwErrno("failed to read journal header");
  if (m_on_read) m_on_read(kHeaderBytes);
  Header header;
  header.magic = DecodeFixed64LE(headerBytes + kMagicField);
  header.version = DecodeFixed64LE(headerBytes + kVersionField);
  header.entry_count = DecodeFixed32LE(headerBytes + kEntryCountField);
  validateHeader(header);
  m_path = path;
  m_key = fileKey(path);

  if (header.entry_count > 0) {
    // validateHeader bounds the count, so this read is at most 100 KiB.
    size_t bytes = header.entry_count * kEntryBytes;
    std::vector<char> entries(bytes);
    ssize_t got = ::read(fd, entries.data(), bytes);
    if (got < 0 || static_cast<size_t>(got) != bytes) storage::throwErrno("failed to read journal entries");
    if (m_on_read) m_on_read(static_cast<unsigned long>(got));
    for (uint32_t k = 0; k < header.entry_count; ++k) {
      long offset = static_cast<long>(DecodeFixed64LE(entries.data() + k * kEntryBytes));
      long length = static_cast<long>(DecodeFixed64LE(entries.data() + k * kEntryBytes + 8));
      if (!m_repair(offset, length))
        throw std::runtime_error("journal could not repair offset/length " + std::to_string(offset) + "/" +
                                 std::to_string(length));
    }
    {
      std::lock_guard lock(g_open_journals_mutex);
      m_outstanding.clear();
    }
    syncAllTransactions();
    writeJournal();
  }
  closeOnFailure.dismiss();
  m_fd = fd;
  std::lock_guard lock(g_open_journals_mutex);
  openJournals().emplace(m_key, this);
}

void TarveloJournal::validateHeader(Header header) const {
  if (header.magic != kMagic) throw std::runtime_error("journal magic number is corrupt");
  if (header.version != kVersion)
    throw std::runtime_error("unexpected journal version " + std::to_string(header.version));
  if (header.entry_count > kMaxEntries)
    throw std::runtime_error("number of journal entries are unexpectedly large");
}

std::vector<TarveloJournal::Range> TarveloJournal::listedRanges() const {
  std::lock_guard lock(g_open_journals_mutex);
  std::vector<Range> ranges = m_outstanding;
  auto [first, last] = openJournals().equal_range(m_key);
  for (auto it = first; it != last; ++it)
    if (it->second != this)
      ranges.insert(ranges.end(), it->second->m_outstanding.begin(), it->second->m_outstanding.end());
  return ranges;
}

void TarveloJournal::writeJournal() const {
  std::vector<char> image = encodeJournal(listedRanges());
  std::string temp = m_path + ".temp";
  int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_SYNC, 0600);
  if (fd < 0) storage::throwErrno("error creating temp journal file");
  storage::DescriptorCloser closer(fd, "failed to close journal fd while updating the journal file",
                                   TARVELO_STORAGE_HERE);
  if (::write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size()))
    storage::throwErrno("error writing data to temp journal file");
  if (m_on_write) m_on_write(image.size());
  if (::rename(temp.c_str(), m_path.c_str()) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    throw std::runtime_error("failed renaming temp journal: " + temp + " " + m_path + ": " +
                             std::to_string(error));
  }
  // The rename itself must be on the device before the caller touches the
  // image, or a crash could bring back the previous list without the new
  // ranges.
  int directory = ::open(directoryOf(m_path).c_str(), O_RDONLY | O_DIRECTORY);
  if (directory < 0) storage::throwErrno("failed to open journal directory for syncing");
  int synced = ::fsync(directory);
  int error = errno;
  ::close(directory);
  errno = error;
  if (synced != 0) storage::throwErrno("failed to sync journal directory");
}

void TarveloJournal::requireOpen() const {
  // A journal whose open failed still lists ranges that were not repaired;
  // rewriting it would drop them.
  if (m_fd == -1) throw std::runtime_error("journal is not open");
}

void TarveloJournal::startTransactionGroup(std::vector<Range> entries) {
  requireOpen();
  {
    std::lock_guard lock(g_open_journals_mutex);
    m_outstanding.insert(m_outstanding.end(), entries.begin(), entries.end());
  }
  writeJournal();
}

void TarveloJournal::completeTransactionGroup(std::vector<Range> entries) {
  if (entries.empty()) return;
  requireOpen();
  // Marked first and removed in one sweep: a commit completes up to 200000
  // ranges, and erasing them one by one would take quadratic time.
  std::vector<bool> completed(m_outstanding.size(), false);
  auto sweep = [&] {
    std::lock_guard lock(g_open_journals_mutex);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_outstanding.size(); ++i)
      if (!completed[i]) m_outstanding[kept++] = m_outstanding[i];
    m_outstanding.resize(kept);
  };
  size_t from = 0;
  for (const Range& entry : entries) {
    size_t at = from;
    while (at < m_outstanding.size() && (completed[at] || m_outstanding[at] != entry)) ++at;
    if (at == m_outstanding.size()) {
      sweep();
      throw std::runtime_error("did not find completed transaction in outstanding transactions");
    }
    completed[at] = true;
    from = at;
  }
  sweep();
  syncAllTransactions();
  writeJournal();
}

bool TarveloJournal::syncAllTransactions() {
  if (!m_sync()) throw std::runtime_error("Failed syncing transactions");
  return true;
}

bool TarveloJournal::hasOutstandingTransactions() const { return !m_outstanding.empty(); }

void TarveloJournal::setOnWriteCallback(std::function<void(unsigned long)> callback) {
  m_on_write = std::move(callback);
}

void TarveloJournal::setOnReadCallback(std::function<void(unsigned long)> callback) {
  m_on_read = std::move(callback);
}

}  // namespace tarvelo
