// TarveloJournal::open on arbitrary file contents. The repair callback
// fails on a range chosen by the input's first byte; an opened journal must
// then run a transaction group through.

#include <fcntl.h>
#include <unistd.h>

#include <tarveloftp/TarveloJournal.h>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarvelo;
  fuzz::silence_logs();
  fuzz::Input input(data, size);
  uint8_t failing_repair = input.byte();
  std::string_view contents = input.bytes(input.remaining());

  static const std::string path = (fuzz::scratch_dir() / "image.img.hash.journal").string();
  unlink((path + ".temp").c_str());
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fuzz::fail("cannot create " + path);
  if (!contents.empty() && write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()))
    fuzz::fail("cannot write " + path);
  close(fd);

  unsigned repairs = 0;
  TarveloJournal journal([] { return true; },
                         [&](long, long) { return ++repairs != failing_repair; });
  try {
    journal.open(path);
  } catch (const std::runtime_error&) {
    return 0;
  }
  if (journal.hasOutstandingTransactions()) fuzz::fail("opened journal still lists ranges");
  journal.startTransactionGroup({{0, 4096}, {8192, 512}});
  journal.completeTransactionGroup({{0, 4096}, {8192, 512}});
  if (journal.hasOutstandingTransactions()) fuzz::fail("completed group still listed");
  return 0;
}
