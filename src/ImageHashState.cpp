#include "ImageHashState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include <tarveloftp/BlockHashStore.h>
#include <tarveloftp/FileSystem.h>
#include <tarveloftp/Logger.h>
#include <tarveloftp/TarveloJournal.h>

#include "StorageSupport.h"

namespace tarvelo {

namespace {

// The states alive in this process, by image file. An entry may outlive its
// state for a moment, until that state's destructor removes it.
std::mutex g_states_mutex;
std::map<std::pair<dev_t, ino_t>, std::weak_ptr<ImageHashState>>& states() {
  static auto* by_file = new std::map<std::pair<dev_t, ino_t>, std::weak_ptr<ImageHashState>>();
  return *by_file;
}

}  // namespace

std::shared_ptr<ImageHashState> ImageHashState::of_image(int image_fd) {
  struct stat status {};
  if (::fstat(image_fd, &status) != 0) storage::throwErrno("cannot examine the image descriptor");
  Key key{status.st_dev, status.st_ino};
  std::lock_guard lock(g_states_mutex);
  std::weak_ptr<ImageHashState>& slot = states()[key];
  if (std::shared_ptr<ImageHashState> existing = slot.lock()) return existing;
  int fd = ::fcntl(image_fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    int error = errno;
    if (slot.expired()) states().erase(key);
    errno = error;
    storage::throwErrno("cannot duplicate the image descriptor");
  }
  std::shared_ptr<ImageHashState> made(new ImageHashState(key, fd));
  slot = made;
  return made;
}

ImageHashState::ImageHashState(Key key, int fd) : m_key(key), m_fd(fd) {}

ImageHashState::~ImageHashState() {
  // Closed under the registry's lock: a connection arriving meanwhile waits
  // and opens the files anew, instead of opening them beside these.
  std::lock_guard lock(g_states_mutex);
  auto entry = states().find(m_key);
  if (entry != states().end() && entry->second.expired()) states().erase(entry);
  journal.reset();
  store.reset();
  if (::close(m_fd) != 0) TLOG(ERROR) << "Error closing the hash state's image descriptor: " << strerror(errno);
}

void ImageHashState::open_journal(const std::string& path) {
  // Both run inside journal calls, with `mutex` already held.
  auto sync = [this]() -> bool {
    bool hashes_synced = store->sync_to_disk();
    bool image_synced = fsync(m_fd) == 0;
    return hashes_synced && image_synced;
  };
  // Repair only runs while the journal opens, before any connection can
  // have deferred work on it, so the image is read as it is. pread leaves
  // the position alone, which the descriptor shares with its original.
  auto read_image = [this](const std::vector<long>& offsets, const std::vector<long>& lengths) {
    std::vector<std::unique_ptr<char[]>> buffers;
    for (std::size_t i = 0; i < offsets.size() && i < lengths.size(); ++i) {
      std::unique_ptr<char[]> buffer(new char[static_cast<std::size_t>(lengths[i])]);
      long count = FileSystem::readFullyAt(m_fd, buffer.get(), lengths[i], offsets[i]);
      if (count != lengths[i]) {
        TLOG(ERROR) << "Error reading " << lengths[i] << " bytes at offset " << offsets[i]
                    << " of the image for repair. Actually read " << count << " bytes"
                    << " Error: " << strerror(errno);
        return std::vector<std::unique_ptr<char[]>>{};
      }
      buffers.push_back(std::move(buffer));
    }
    return buffers;
  };
  auto repair = [this, read_image](long offset, long length) -> bool {
    // A crash may have come between an image write and its hash update, so
    // entries still marked valid in the range cannot be trusted: drop them,
    // then hash the range again from the image.
    store->invalidate_hashes(offset, length);
    return !store->get_hash(offset, length, read_image).empty();
  };
  auto made = std::make_unique<TarveloJournal>(sync, repair);
  made->open(path);
  journal = std::move(made);
}

}  // namespace tarvelo
