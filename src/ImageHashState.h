#pragma once

// The block-hash state of one image file, shared by the connections that
// have the image open. Internal to the library.

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace tarvelo {

class BlockHashStore;
class TarveloJournal;

// The hash store and journal of one image file, shared by every connection
// of the process that has the file open and dropped with the last of them.
// Connections run on different threads, so every use of the store or the
// journal holds `mutex`; a commit holds it for its whole group, so that the
// steps of one connection's commit (journal, image, sync, journal) never
// interleave with another's.
class ImageHashState {
 public:
  // The state of the image open on `image_fd` (matched by device and inode,
  // whatever name the file was opened by), made when no connection holds
  // one. Throws storage::SystemFailure when the descriptor cannot be
  // examined or duplicated.
  static std::shared_ptr<ImageHashState> of_image(int image_fd);
  ~ImageHashState();
  ImageHashState(const ImageHashState&) = delete;
  ImageHashState& operator=(const ImageHashState&) = delete;

  // Makes the journal and opens it, which repairs the ranges it lists; its
  // sync and repair work on this object's own descriptor, as the connection
  // that called may close first. Called with `mutex` held and `store` open;
  // on failure `journal` stays empty.
  void open_journal(const std::string& path);

  std::mutex mutex;
  // Guarded by `mutex`; empty until opened. No connection's statistics
  // callbacks are attached to either: they would outlive that connection.
  std::unique_ptr<BlockHashStore> store;
  std::unique_ptr<TarveloJournal> journal;

 private:
  using Key = std::pair<dev_t, ino_t>;
  ImageHashState(Key key, int fd);

  Key m_key;
  int m_fd;  // a duplicate of the first connection's image descriptor
};

}  // namespace tarvelo
