// BlockHashStore::open on arbitrary file contents, for an image size taken
// from the input; a store that opens must then serve hashes, updates and
// invalidations over its whole range.

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <tarveloftp/BlockHashStore.h>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarvelo;
  fuzz::silence_logs();
  fuzz::Input input(data, size);
  // Small image sizes keep a grown hash file small.
  unsigned long target_size = input.u16();
  std::string_view contents = input.bytes(input.remaining());

  static const std::string path = (fuzz::scratch_dir() / "image.img.hash").string();
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fuzz::fail("cannot create " + path);
  if (!contents.empty() && write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()))
    fuzz::fail("cannot write " + path);
  close(fd);

  std::unique_ptr<BlockHashStore> store;
  try {
    store = BlockHashStore::open(path, target_size);
  } catch (const std::runtime_error&) {
    return 0;
  }
  if (!store) fuzz::fail("open returned no store without an error");
  if (store->header().target_size != target_size) fuzz::fail("opened store has another target size");

  long begin = store->getPartitionOffset();
  // The hashed range is the image after the partition offset.
  long length = store->computeMaximumInternalOffset();
  auto zeros = [](const std::vector<long>& offsets, const std::vector<long>& lengths) {
    std::vector<std::unique_ptr<char[]>> buffers;
    for (std::size_t i = 0; i < offsets.size(); ++i)
      buffers.push_back(std::make_unique<char[]>(static_cast<std::size_t>(lengths[i])));
    return buffers;
  };
  try {
    (void)store->get_hash(begin, length, zeros);
    std::vector<char> image(static_cast<std::size_t>(length) + 1, 0);
    store->update_hashes(begin, image.data(), length);
    std::vector<unsigned char> stored = store->get_hash(begin, length, zeros);
    store->invalidate_hashes(begin, length);
    // The image is zeros throughout: the hashes stored by the update must
    // give what hashing the data again gives.
    if (store->get_hash(begin, length, zeros) != stored) fuzz::fail("stored hashes disagree with the data");
    (void)store->sync_to_disk();
  } catch (const std::runtime_error&) {
    // An image no larger than its partition offset has no range to hash.
    if (length > 0) throw;
  }
  return 0;
}
