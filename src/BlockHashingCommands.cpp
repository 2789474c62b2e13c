// Block-hashing mode: hash file and journal set-up, deferred writes and hole
// punches with their read overlay, and hashes answered from stored entries.

#include <tarveloftp/ServerMessageHandler.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <tarveloftp/BlockHashStore.h>
#include <tarveloftp/Coding.h>
#include <tarveloftp/Endpoints.h>
#include <tarveloftp/FileSystem.h>
#include <tarveloftp/Logger.h>
#include <tarveloftp/TarveloConfig.h>
#include <tarveloftp/TarveloJournal.h>

#include "ImageHashState.h"
#include "ImageHoles.h"
#include "ImageRequests.h"

namespace tarvelo {

namespace {

constexpr unsigned int kBlockSize = 4096;

using detail::decode_range;
using detail::Range;
using detail::range_fault_t;
using detail::validate_range;

// Why the hash file and journal at these paths cannot be written, or empty
// when they can: existing files must open for writing, missing ones need a
// directory this process can create them in.
std::string hash_file_unwritable(const std::string& hash_path, const std::string& journal_path) {
  for (const std::string& path : {hash_path, journal_path}) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      continue;
    }
    if (errno != ENOENT) return path + " cannot be opened for writing: " + strerror(errno);
    std::string directory = path.substr(0, path.rfind('/') + 1);
    if (directory.empty()) directory = ".";
    if (::access(directory.c_str(), W_OK | X_OK) != 0)
      return path + " cannot be created in " + directory + ": " + strerror(errno);
  }
  return "";
}

}  // namespace

bool ServerMessageHandler::setupBlockHashing(std::shared_ptr<ConnectionState> state,
                                             tarvelo_protocol_message_t* /*request*/,
                                             ServerMessageHandlerResponse& response,
                                             const std::string& targetName,
                                             const std::string& imagePath, long partitionOffset) {
  std::string hash_path = BlockHashStore::hashFilePath(imagePath, hash_directory);
  std::string journal_path = BlockHashStore::journalFilePath(hash_path);
  std::string failure = "New client requested target " + targetName + " file " + imagePath;
  struct stat image_status {};
  if (hash_directory.empty() && ::fstat(state->fd, &image_status) == 0 && S_ISBLK(image_status.st_mode)) {
    TLOG(WARNING) << "Keeping the block hashes of block device " << imagePath << " in " << hash_path
                  << ", beside the device, where they may not survive a reboot; the [config] key "
                  << HASH_DIRECTORY_KEY << " moves them to a directory of their own";
  }
  // The stored hashes are written even when the image is not; a read-only
  // target only takes hash storage that can be.
  if (state->read_only) {
    std::string unwritable = hash_file_unwritable(hash_path, journal_path);
    if (!unwritable.empty()) {
      response.error = failure + " with block hashes, but the target is read-only and " + unwritable;
      return false;
    }
  }
  // Files made here and not usable are removed again, so that one bad
  // handshake does not leave a hash file that every later one trips over.
  bool created = false;
  auto remove_created = [&] {
    if (!created) return;
    ::unlink(journal_path.c_str());
    ::unlink(hash_path.c_str());
  };
  // Another connection on the image, or an earlier hash handshake of this
  // one, may have opened the store and the journal already: they are reused.
  std::shared_ptr<ImageHashState> hashes = state->image_hashes;
  if (!hashes) {
    try {
      hashes = ImageHashState::of_image(state->fd);
    } catch (const std::exception& error) {
      response.error = failure + " but an error occured opening the hash store file: " + error.what();
      return false;
    }
  }
  std::lock_guard lock(hashes->mutex);
  bool opened_store = false;
  if (!hashes->store) {
    if (!FileSystem::File::exists(hash_path)) {
      // The block grid starts at the partition offset, which must lie in the
      // image (an empty image has only offset 0).
      if (partitionOffset < 0 || (partitionOffset > 0 && partitionOffset >= state->file_size)) {
        response.error = failure + " but the hash partition offset " + std::to_string(partitionOffset) +
                         " lies outside the image of " + std::to_string(state->file_size) + " bytes";
        return false;
      }
      try {
        created = true;
        BlockHashStore::create(hash_path, HASH_FUNCTION_BLAKE2B,
                               static_cast<unsigned long>(state->file_size),
                               static_cast<unsigned long>(partitionOffset), kBlockSize, true);
        TarveloJournal::create(journal_path);
      } catch (const std::exception& error) {
        remove_created();
        response.error = failure + " but an error occured creating the hash store file: " + error.what();
        return false;
      }
    }
    try {
      hashes->store = BlockHashStore::open(hash_path, static_cast<unsigned long>(state->file_size));
    } catch (const std::exception& error) {
      remove_created();
      response.error = failure + " but an error occured opening the hash store file: " + error.what();
      return false;
    }
    opened_store = true;
  }
  if (!hashes->journal) {
    try {
      hashes->open_journal(journal_path);
    } catch (const std::exception& error) {
      if (opened_store) hashes->store.reset();
      remove_created();
      response.error = failure + " but an error occured opening the hash transaction file: " + error.what();
      return false;
    }
  }
  state->image_hashes = hashes;
  return true;
}

long ServerMessageHandler::apply_deferred_operations(long offset, long length, char* buffer) const {
  long total = 0;
  for (const ConnectionState::OperationData& operation : state->deferred_operations) {
    int64_t start = std::max<int64_t>(operation.offset, offset);
    int64_t end = std::min<int64_t>(operation.offset + operation.length, offset + length);
    if (start >= end) continue;
    total += end - start;
    switch (operation.command) {
      case COMMAND_WRITE:
        std::memcpy(buffer + (start - offset), operation.data.get() + (start - operation.offset),
                    static_cast<std::size_t>(end - start));
        break;
      case COMMAND_HOLE_PUNCH:
        std::memset(buffer + (start - offset), 0, static_cast<std::size_t>(end - start));
        break;
      default:
        return -1;
    }
  }
  return total;
}

std::vector<std::unique_ptr<char[]>> ServerMessageHandler::onDataRequired(
    const std::vector<long>& offsets, const std::vector<long>& lengths) const {
  std::vector<std::unique_ptr<char[]>> buffers;
  if (offsets.size() != lengths.size()) return {};
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    std::unique_ptr<char[]> buffer(new char[static_cast<std::size_t>(lengths[i])]);
    long position = seek(state->fd, offsets[i], SEEK_SET);
    if (position < 0 || position != offsets[i]) {
      TLOG(ERROR) << "Error seeking for hash to offset " << offsets[i] << " on " << state->image_path()
                  << " Actual offset " << position << " Error: " << strerror(errno);
      return {};
    }
    long total = FileSystem::readFully(state->fd, buffer.get(), lengths[i]);
    if (total != lengths[i]) {
      TLOG(ERROR) << "Error reading requested data for number of offsets " << offsets.size()
                  << " from " << state->image_path() << " Expected to read " << lengths[i] << " bytes"
                  << " Actually read " << total << " bytes" << " Error: " << strerror(errno);
      return {};
    }
    if (on_read) on_read(static_cast<unsigned long>(total));
    if (apply_deferred_operations(offsets[i], lengths[i], buffer.get()) < 0) {
      TLOG(ERROR) << "data required callback failed applying deferred operations for file "
                  << state->image_path();
      return {};
    }
    buffers.push_back(std::move(buffer));
  }
  return buffers;
}

ServerMessageHandlerResponse ServerMessageHandler::block_hashing_with_deferred_writes_command_read(
    const Message& request, ServerMessageHandlerResponse& response) {
  default_command_read(request, response);
  char* out = response.message.buffer();
  if (out[wire::kReadStatus] != STATUS_SUCCESS) return response;
  long offset = DecodeBigEndian<int64_t>(out + wire::kReadPosition);
  long length = DecodeBigEndian<int64_t>(out + wire::kReadCount);
  if (apply_deferred_operations(offset, length, out + wire::kReadData) < 0) {
    response.error = "failed applying deferred operations over read buffer for file " + state->image_path();
    out[wire::kReadStatus] = STATUS_EINVAL;
  }
  return response;
}

ServerMessageHandlerResponse ServerMessageHandler::block_hashing_with_deferred_writes_command_write(
    const Message& request, ServerMessageHandlerResponse& response) {
  Range range = decode_range(request);
  const auto carried = static_cast<int64_t>(request.size() - wire::kWriteData);
  const range_fault_t fault = validate_range(range, state->file_size, carried);
  if (fault == detail::RANGE_NEGATIVE_LENGTH || fault == detail::RANGE_TOO_LONG) {
    response.error = "COMMAND_WRITE declares " + std::to_string(range.length) + " bytes at offset " +
                     std::to_string(range.offset) + " but carries " +
                     std::to_string(request.size() - wire::kWriteData);
    return response;
  }
  // A deferred write outside the image could never be applied or hashed.
  if (fault != detail::RANGE_VALID) {
    response.error = "COMMAND_WRITE of " + std::to_string(range.length) + " bytes at offset " +
                     std::to_string(range.offset) + " lies outside the image of " +
                     std::to_string(state->file_size) + " bytes";
    return response;
  }
  std::unique_ptr<char[]> data(new char[static_cast<std::size_t>(range.length) + 1]);
  std::memcpy(data.get(), request.buffer() + wire::kWriteData, static_cast<std::size_t>(range.length));
  {
    ImageHashState& hashes = *state->image_hashes;
    std::lock_guard lock(hashes.mutex);
    if (hashes.journal->hasOutstandingTransactions()) {
      TLOG(ERROR) << "Error writing to offset " << range.offset << " in file " << state->image_path()
                  << " because of open transactions.";
      response.error = "writing with uncommitted transactions.";
      return response;
    }
    try {
      hashes.store->invalidate_hashes(range.offset, range.length);
    } catch (const std::exception& error) {
      response.error = "Cannot defer write at offset " + std::to_string(range.offset) + ": " + error.what();
      return response;
    }
  }
  // Outside the lock: reaching a limit commits, which takes it.
  add_deferred_operation(range.offset, range.length, std::move(data), COMMAND_WRITE);
  return response;
}

ServerMessageHandlerResponse ServerMessageHandler::block_hashing_with_deferred_writes_command_hole_punch(
    const Message& request, ServerMessageHandlerResponse& response) {
  Range range = decode_range(request);
  response.send_response = false;
  if (validate_range(range, state->file_size, detail::kNoLengthCap) != detail::RANGE_VALID) {
    response.error = "COMMAND_HOLE_PUNCH of " + std::to_string(range.length) + " bytes at offset " +
                     std::to_string(range.offset) + " lies outside the image of " +
                     std::to_string(state->file_size) + " bytes";
    return response;
  }
  {
    ImageHashState& hashes = *state->image_hashes;
    std::lock_guard lock(hashes.mutex);
    if (hashes.journal->hasOutstandingTransactions()) {
      TLOG(ERROR) << "Error hole punching at offset " << range.offset << " in file "
                  << state->image_path() << " because of open transactions.";
      response.error = "failed to hole punch";
      return response;
    }
    try {
      hashes.store->invalidate_hashes(range.offset, range.length);
    } catch (const std::exception& error) {
      response.error = "Cannot defer hole punch at offset " + std::to_string(range.offset) + ": " + error.what();
      return response;
    }
  }
  add_deferred_operation(range.offset, range.length, nullptr, COMMAND_HOLE_PUNCH);
  return response;
}

ServerMessageHandlerResponse ServerMessageHandler::block_hashing_command_hash(
    const Message& request, ServerMessageHandlerResponse& response) {
  Range range = decode_range(request);
  std::vector<unsigned char> hash;
  std::string failure = "hash failure";
  // Hashes of writes not yet committed must not be stored as valid: after a
  // crash before the commit they would vouch for data the image never got.
  // (A range outside the image is refused by get_hash; its end may not even
  // be representable.)
  bool store = validate_range(range, state->file_size, detail::kNoLengthCap) != detail::RANGE_VALID ||
               std::none_of(state->deferred_operations.begin(), state->deferred_operations.end(),
                            [&](const ConnectionState::OperationData& operation) {
                              return operation.offset < range.offset + range.length &&
                                     range.offset < operation.offset + operation.length;
                            });
  try {
    // Under the image's lock: the store is shared, and no other connection's
    // commit may change the image between the reads and the stored entries.
    ImageHashState& hashes = *state->image_hashes;
    std::lock_guard lock(hashes.mutex);
    // Another connection may have stored, since this one deferred its work,
    // the hashes of what the image holds under it; the answer must come from
    // the deferred bytes instead.
    if (!store) {
      for (const ConnectionState::OperationData& operation : state->deferred_operations) {
        int64_t start = std::max<int64_t>(operation.offset, range.offset);
        int64_t end = std::min<int64_t>(operation.offset + operation.length, range.offset + range.length);
        if (start < end) hashes.store->invalidate_hashes(start, end - start);
      }
    }
    // Holes of the image hold zeros unless this connection's deferred work
    // lands in them, which is exactly when nothing is stored.
    // The image cannot change while the lock is held, so one finder serves
    // every lookup of this hash.
    detail::HoleFinder finder(state->fd, state->file_size);
    BlockHashStore::HoleCallback holes;
    if (store)
      holes = [&finder](long offset, long end) {
        detail::HoleExtent hole = finder.next_hole(offset, end);
        return std::pair(hole.start, hole.end);
      };
    hash = hashes.store->get_hash(
        range.offset, range.length,
        [this](const std::vector<long>& offsets, const std::vector<long>& lengths) {
          return onDataRequired(offsets, lengths);
        },
        holes, store);
  } catch (const std::runtime_error& error) {
    failure = error.what();
    hash.clear();
  }
  if (hash.empty()) {
    response.error = "Cannot hash buffer";
    TLOG(ERROR) << "Cannot hash buffer" << " at offset " << range.offset << " length " << range.length
                << " from " << state->image_path() << " Error: " << failure;
    return response;
  }
  response.message = new_response(COMMAND_HASH, static_cast<long>(wire::kHeaderSize + hash.size()));
  char* out = response.message.buffer();
  std::memcpy(out + wire::kOffset, request.buffer() + wire::kOffset, 16);
  std::memcpy(out + wire::kHashData, hash.data(), hash.size());
  if (message_debug_logging)
    TLOG(DEBUG) << "COMMAND_HASH" << " | offset: " << range.offset << " | length: " << range.length
                << " | target: " << state->target_name();
  state->lun().increment_read_op_count();
  if (on_hash_request) on_hash_request(static_cast<unsigned long>(range.length));
  return response;
}

void ServerMessageHandler::add_deferred_operation(long offset, long length, std::unique_ptr<char[]> data,
                                                  tarvelo_protocol_command_t command) {
  state->deferred_operations.emplace_back(offset, length, std::move(data), command);
  state->deferred_bytes += length;
  if (state->deferred_operations.size() >= MAX_DEFERRED_OPERATIONS ||
      state->deferred_bytes >= deferred_commit_bytes)
    commit_deferred_operations();
}

}  // namespace tarvelo
