// The direct data commands: READ, WRITE, HOLE_PUNCH and HASH served straight
// on the image descriptor, and the single-operation helpers the commit of
// deferred work uses.

#include <tarveloftp/ServerMessageHandler.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <tarvelo/Crypto.h>
#include <tarveloftp/BlockHashStore.h>
#include <tarveloftp/Coding.h>
#include <tarveloftp/Endpoints.h>
#include <tarveloftp/FileSystem.h>
#include <tarveloftp/Logger.h>

#include "ImageHashState.h"
#include "ImageHoles.h"
#include "ImageRequests.h"
#include "StorageSupport.h"

namespace tarvelo {

namespace {

using detail::decode_range;
using detail::range_fault_t;
using detail::validate_range;
using FileSystem::readFully;
using FileSystem::writeFully;

int punch_hole(int fd, long offset, long length) {
  return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length);
}

// The text of a failed hole punch ("of length" and the number are not
// spaced; programs that read the log match it as it is).
std::string punch_failure(const ServerMessageHandler::ConnectionState& state, long offset, long length,
                          const std::string& why) {
  return "Error deallocating space for hole punch of length" + std::to_string(length) + " at offset " +
         std::to_string(offset) + " from file " + state.image_path() + " file descriptor " +
         std::to_string(state.fd) + " Error: " + why;
}

// Write-back of a run of consecutive writes starts once it is this long:
// a thin image's data come in runs of a megabyte or so, which at 4 MiB were
// all left for the sync at the connection's end.
constexpr int64_t kWriteBackStep = 1 << 20;

// A client uploading an image writes long runs: starting their write-back as
// they arrive keeps dirty pages from piling up until the kernel throttles
// this thread, and leaves the sync at the connection's end little to do.
// Only the start: the pages stay cached for other readers, and a failure is
// still reported to that sync. Scattered small writes (a merge's changed
// blocks) are left to the kernel, to write back together.
void start_write_back(ServerMessageHandler::ConnectionState& state, int64_t offset, int64_t length) {
  if (state.unstarted_offset + state.unstarted_length != offset) {
    state.unstarted_offset = offset;
    state.unstarted_length = 0;
  }
  state.unstarted_length += length;
  if (state.unstarted_length < kWriteBackStep) return;
  (void)sync_file_range(state.fd, state.unstarted_offset, state.unstarted_length, SYNC_FILE_RANGE_WRITE);
  state.unstarted_offset += state.unstarted_length;
  state.unstarted_length = 0;
}

}  // namespace

// A connection outside block-hashing mode changes the image directly; on a
// server that keeps block hashes the hash file would then vouch for bytes
// that are gone, and a later client would skip writes it still needs. The
// entries are marked not valid, and synced, before the image changes, so
// that no crash can leave a stale hash marked valid. The image's lock is
// handed to the caller to keep until the change is made: a block-hashing
// connection hashing the range in between would store the old bytes' hash
// as valid again.
bool ServerMessageHandler::invalidate_stored_hashes(long offset, long length, std::string* failure,
                                                    std::unique_lock<std::mutex>& held) {
  if (!block_hash_storage || state->block_hashing || state->hash_file_unusable || offset < 0 || length <= 0)
    return true;
  std::string hash_path = BlockHashStore::hashFilePath(state->image_path(), hash_directory);
  auto not_marked = [&](const std::string& why) {
    *failure = "Cannot mark the stored hashes of length " + std::to_string(length) + " at offset " +
               std::to_string(offset) + " of " + state->image_path() + " not valid: " + why;
    return false;
  };
  if (!state->image_hashes) {
    if (!FileSystem::File::exists(hash_path)) return true;
    try {
      state->image_hashes = ImageHashState::of_image(state->fd);
    } catch (const std::exception& error) {
      return not_marked(error.what());
    }
  }
  // Shared with the other connections on the image; a block-hashing one may
  // have opened the store already, else it is opened here for all of them.
  ImageHashState& hashes = *state->image_hashes;
  std::unique_lock lock(hashes.mutex);
  if (!hashes.store) {
    if (!FileSystem::File::exists(hash_path)) return true;
    try {
      hashes.store = BlockHashStore::open(hash_path, static_cast<unsigned long>(state->file_size));
    } catch (const storage::SystemFailure& error) {
      // The file may be sound and open next time; its entries must not be
      // left valid under a change.
      return not_marked(error.what());
    } catch (const std::exception& error) {
      // Not a hash file this server can read: every hash handshake on this
      // image fails the same way, so no client can be told anything by it,
      // and refusing writes would only make the image unusable as well.
      TLOG(WARNING) << "Writing to " << state->image_path() << " without marking its stored hashes: "
                    << hash_path << " cannot be opened: " << error.what();
      state->hash_file_unusable = true;
      return true;
    }
  }
  try {
    BlockHashStore& store = *hashes.store;
    // Only the part of the range that the hash file covers has entries.
    long covered_end = 0;
    if (__builtin_add_overflow(store.getPartitionOffset(), store.computeMaximumInternalOffset(), &covered_end))
      covered_end = LONG_MAX;
    long end = offset > LONG_MAX - length ? LONG_MAX : offset + length;
    long begin = std::max(offset, store.getPartitionOffset());
    end = std::min(end, covered_end);
    if (begin < end) {
      store.invalidate_hashes(begin, end - begin);
      if (!store.sync_to_disk()) throw std::runtime_error("cannot sync the hash file");
    }
  } catch (const std::exception& error) {
    return not_marked(error.what());
  }
  held = std::move(lock);
  return true;
}

ServerMessageHandlerResponse ServerMessageHandler::default_command_read(
    const Message& request, ServerMessageHandlerResponse& response) {
  const detail::Range range = decode_range(request);
  const auto [offset, length] = range;
  // A read past the end comes back short, with the count it got.
  const range_fault_t fault = validate_range(range, state->file_size, kMaxRequestLength);
  // A length that cannot fit one message is refused before anything is
  // allocated or any system call is made.
  if (fault == detail::RANGE_NEGATIVE_LENGTH || fault == detail::RANGE_TOO_LONG) {
    TLOG(ERROR) << "Refusing read of length " << length << " at offset " << offset << " on "
                << state->image_path() << ": at most " << kMaxRequestLength << " bytes";
    response.message = new_response(COMMAND_READ, wire::kHeaderSize);
    EncodeBigEndian<int64_t>(response.message.buffer() + wire::kReadCount, -1);
    response.message.buffer()[wire::kReadStatus] = STATUS_EINVAL;
    return response;
  }
  // A negative offset fails as the seek to it would, without the seek or
  // room for data that will not come.
  if (fault == detail::RANGE_NEGATIVE_OFFSET) {
    TLOG(ERROR) << "Error seeking for read" << " to offset " << offset << " on " << state->image_path()
                << " Actual offset " << -1 << " Error: " << strerror(EINVAL);
    response.message = new_response(COMMAND_READ, wire::kHeaderSize);
    EncodeBigEndian<int64_t>(response.message.buffer() + wire::kReadPosition, -1);
    response.message.buffer()[wire::kReadStatus] = STATUS_EIO;
    return response;
  }
  // The data area is left to the read; whatever it does not fill is zeroed
  // below, so no stale memory goes out.
  response.message = new_response(COMMAND_READ, static_cast<long>(wire::kHeaderSize) + length, false);
  char* out = response.message.buffer();
  out[wire::kReadStatus] = STATUS_EIO;
  long position = seek(state->fd, offset, SEEK_SET);
  EncodeBigEndian<int64_t>(out + wire::kReadPosition, position);
  long count = -1;
  if (position < 0 || position != offset) {
    TLOG(ERROR) << "Error seeking for read" << " to offset " << offset << " on " << state->image_path()
                << " Actual offset " << position << " Error: " << strerror(errno);
  } else {
    count = readFully(state->fd, out + wire::kReadData, length);
    EncodeBigEndian<int64_t>(out + wire::kReadCount, count);
  }
  long filled = std::max(count, 0L);
  if (filled < length) std::memset(out + wire::kReadData + filled, 0, static_cast<std::size_t>(length - filled));
  if (count != length) {
    if (position == offset)
      TLOG(ERROR) << "Error reading length " << length << " at offset " << offset << " from "
                  << state->image_path() << " Actually read " << count << " bytes"
                  << " Error: " << strerror(errno);
    return response;
  }
  if (on_read) on_read(static_cast<unsigned long>(count));
  if (message_debug_logging)
    TLOG(DEBUG) << "COMMAND_READ" << " | offset: " << offset << " | length: " << length
                << " | target: " << state->target_name();
  out[wire::kReadStatus] = STATUS_SUCCESS;
  state->lun().increment_read_op_count();
  return response;
}

ServerMessageHandlerResponse ServerMessageHandler::default_command_write(
    const Message& request, ServerMessageHandlerResponse& response) {
  const detail::Range range = decode_range(request);
  const auto [offset, length] = range;
  bool acknowledge = (state->features & CLIENT_WRITE_ACKNOWLEDGEMENT) != 0;
  const auto carried = static_cast<int64_t>(request.size() - wire::kWriteData);
  const range_fault_t fault = validate_range(range, state->file_size, carried);
  // The data must have arrived whole; nothing past the message is read.
  if (fault == detail::RANGE_NEGATIVE_LENGTH || fault == detail::RANGE_TOO_LONG) {
    response.error = "COMMAND_WRITE declares " + std::to_string(length) + " bytes at offset " +
                     std::to_string(offset) + " but carries " +
                     std::to_string(request.size() - wire::kWriteData);
    return response;
  }
  std::string failure;
  std::unique_lock<std::mutex> hashes_lock;
  if (fault == detail::RANGE_PAST_END) {
    // The image keeps the size it had when the connection opened it: a
    // write past its end fails as it would on a block device.
    failure = "Error writing length " + std::to_string(length) + " at offset " + std::to_string(offset) +
              " from " + state->image_path() + " Error: the image ends at " + std::to_string(state->file_size);
  } else if (invalidate_stored_hashes(offset, length, &failure, hashes_lock)) {
    // A negative offset fails as the seek to it would, without the seek.
    const bool negative = fault == detail::RANGE_NEGATIVE_OFFSET;
    long position = negative ? -1 : seek(state->fd, offset, SEEK_SET);
    if (position < 0 || position != offset) {
      failure = "Error seeking for write to offset " + std::to_string(offset) + " on " + state->image_path() +
                " Actual offset " + std::to_string(position) + " Error: " + strerror(negative ? EINVAL : errno);
    } else {
      long written = writeFully(state->fd, request.buffer() + wire::kWriteData, length);
      if (written != length)
        failure = "Error writing length " + std::to_string(length) + " at offset " + std::to_string(offset) +
                  " from " + state->image_path() + " Error: " + strerror(errno);
      else
        start_write_back(*state, offset, length);
      if (on_write) on_write(static_cast<unsigned long>(written));
    }
  }
  tarvelo_protocol_status_t status = STATUS_SUCCESS;
  if (!failure.empty()) {
    // Without acknowledgements a failed write can only be reported by
    // closing the connection.
    if (!acknowledge) {
      response.error = failure;
      return response;
    }
    TLOG(ERROR) << failure;
    status = STATUS_EIO;
  }
  if (acknowledge) state->queue_write_acknowledgement(offset, length, status);
  if (message_debug_logging)
    TLOG(DEBUG) << "COMMAND_WRITE" << " | offset: " << offset << " | length: " << length
                << " | target: " << state->target_name();
  state->lun().increment_write_op_count();
  if (on_hash_request) on_hash_request(static_cast<unsigned long>(length));
  return response;
}

ServerMessageHandlerResponse ServerMessageHandler::default_command_hole_punch(
    const Message& request, ServerMessageHandlerResponse& response) {
  const detail::Range range = decode_range(request);
  const auto [offset, length] = range;
  response.message = new_response(COMMAND_HOLE_PUNCH, wire::kHeaderSize);
  char* out = response.message.buffer();
  std::memcpy(out + wire::kOffset, request.buffer() + wire::kOffset, 16);
  out[wire::kHolePunchStatus] = STATUS_EINVAL;
  // A range the system would refuse, or one past the end of the image,
  // fails as the system call would, without making it.
  const range_fault_t fault = validate_range(range, state->file_size, detail::kNoLengthCap, detail::EMPTY_REFUSED);
  if (fault != detail::RANGE_VALID) {
    TLOG(ERROR) << punch_failure(*state, offset, length,
                                 fault != detail::RANGE_PAST_END
                                     ? strerror(EINVAL)
                                     : "the image ends at " + std::to_string(state->file_size));
    out[wire::kHolePunchStatus] = STATUS_EIO;
    return response;
  }
  std::string hashes_failure;
  std::unique_lock<std::mutex> hashes_lock;
  if (!invalidate_stored_hashes(offset, length, &hashes_failure, hashes_lock)) {
    TLOG(ERROR) << hashes_failure;
    out[wire::kHolePunchStatus] = STATUS_EIO;
    return response;
  }
  if (punch_hole(state->fd, offset, length) != 0) {
    TLOG(ERROR) << punch_failure(*state, offset, length, strerror(errno));
    out[wire::kHolePunchStatus] = STATUS_EIO;
    return response;
  }
  out[wire::kHolePunchStatus] = STATUS_SUCCESS;
  if (message_debug_logging)
    TLOG(DEBUG) << "COMMAND_HOLE_PUNCH" << " | offset: " << offset << " | length: " << length
                << " | target: " << state->target_name();
  state->lun().increment_write_op_count();
  return response;
}

ServerMessageHandlerResponse ServerMessageHandler::default_command_hash(
    const Message& request, ServerMessageHandlerResponse& response) {
  const detail::Range range = decode_range(request);
  const auto [offset, length] = range;
  // A hash past the end fails at its read, which says how much it got.
  const range_fault_t fault = validate_range(range, state->file_size, kMaxRequestLength);
  if (fault != detail::RANGE_VALID && fault != detail::RANGE_PAST_END) {
    TLOG(ERROR) << "Refusing hash of length " << length << " at offset " << offset << " on "
                << state->image_path() << ": at most " << kMaxRequestLength
                << " bytes at a non-negative offset";
    return response;
  }
  crypto::blake2b_hash_t digest;
  auto precomputed = precomputed_hashes.find({offset, length});
  if (precomputed != precomputed_hashes.end()) {
    std::memcpy(digest, precomputed->second.digest.data(), sizeof digest);
    if (precomputed->second.read > 0 && on_read) on_read(static_cast<unsigned long>(precomputed->second.read));
    precomputed_hashes.erase(precomputed);
  } else {
    // Past the end there are no holes to look for: the plain read fails.
    const bool inside = fault == detail::RANGE_VALID;
    detail::HoleFinder holes(state->fd, state->file_size);
    const detail::HoleExtent hole = inside ? holes.next_hole(offset, offset + length) : detail::HoleExtent{};
    if (inside && detail::whole_hole(hole, offset, length)) {
      // A hole reads as zeros: its digest needs no read.
      std::memcpy(digest, detail::zero_digest(length).data(), sizeof digest);
    } else {
      std::unique_ptr<char[]> buffer(new char[static_cast<std::size_t>(length) + 1]);
      errno = 0;
      long data_read =
          inside ? detail::read_over_holes(holes, offset, length, hole, buffer.get())
          : FileSystem::readFullyAt(state->fd, buffer.get(), length, offset) == length ? length
                                                                                        : -1;
      if (data_read < 0) {
        TLOG(ERROR) << "Error reading for hash length " << length << " at offset " << offset << " from "
                    << state->image_path() << " Error: " << (errno != 0 ? strerror(errno) : "the image ended first");
        return response;
      }
      if (on_read) on_read(static_cast<unsigned long>(data_read));
      if (!crypto::Blake2b::hash(digest, buffer.get(), length)) {
        response.error = "Cannot hash buffer";
        TLOG(ERROR) << "Cannot hash buffer" << " at offset " << offset << " length " << length << " from "
                    << state->image_path();
        return response;
      }
    }
  }
  response.message = new_response(COMMAND_HASH, wire::kDirectHashResponseSize);
  char* out = response.message.buffer();
  EncodeBigEndian<int64_t>(out + wire::kOffset, offset);
  EncodeBigEndian<int64_t>(out + wire::kLength, length);
  std::memcpy(out + wire::kHashData, digest, sizeof digest);
  if (message_debug_logging)
    TLOG(DEBUG) << "COMMAND_HASH" << " | offset: " << offset << " | length: " << length
                << " | target: " << state->target_name();
  state->lun().increment_read_op_count();
  if (on_hash_request) on_hash_request(static_cast<unsigned long>(length));
  return response;
}

// The image is open O_RDONLY, so the change fails as a write the system
// refuses would. A refused write is reported in its acknowledgement; a
// client without acknowledgements is never answered a write, so only
// closing the connection tells it. A hole punch has its own answer outside
// block-hashing mode, and an acknowledgement inside it, as its deferred
// commit would give.
ServerMessageHandlerResponse ServerMessageHandler::refuse_change(const Message& request,
                                                                 ServerMessageHandlerResponse& response) {
  const detail::Range range = decode_range(request);
  const auto [offset, length] = range;
  const auto command = static_cast<tarvelo_protocol_command_t>(request.buffer()[wire::kCommand]);
  const bool write = command == COMMAND_WRITE;
  const range_fault_t fault =
      validate_range(range, state->file_size, static_cast<int64_t>(request.size() - wire::kWriteData));
  if (write && (fault == detail::RANGE_NEGATIVE_LENGTH || fault == detail::RANGE_TOO_LONG)) {
    response.error = "COMMAND_WRITE declares " + std::to_string(length) + " bytes at offset " +
                     std::to_string(offset) + " but carries " + std::to_string(request.size() - wire::kWriteData);
    return response;
  }
  TLOG(WARNING) << "Refusing " << (write ? "write" : "hole punch") << " of length " << length << " at offset "
                << offset << " on " << state->image_path() << ": target " << state->target_name()
                << " is read-only";
  const bool acknowledge = (state->features & CLIENT_WRITE_ACKNOWLEDGEMENT) != 0;
  if (write || state->block_hashing) {
    response.send_response = false;
    if (acknowledge) {
      state->queue_write_acknowledgement(offset, length, STATUS_EIO);
    } else {
      response.error = "Closing the connection to report a refused write to target " + state->target_name() +
                       ", which is read-only: the client does not take write acknowledgements";
    }
    return response;
  }
  response.message = new_response(COMMAND_HOLE_PUNCH, wire::kHeaderSize);
  char* out = response.message.buffer();
  std::memcpy(out + wire::kOffset, request.buffer() + wire::kOffset, 16);
  out[wire::kHolePunchStatus] = STATUS_EIO;
  return response;
}

bool ServerMessageHandler::operation_write_handler(long offset, long length, char* data) {
  long position = offset < 0 ? -1 : seek(state->fd, offset, SEEK_SET);
  if (position < 0 || position != offset) {
    TLOG(ERROR) << "Error seeking for write" << " to offset " << offset << " on "
                << state->image_path() << " Actual offset " << position << " Error: " << strerror(errno);
    return false;
  }
  if (length == 0) return true;
  // A short write is finished, not taken for complete.
  long written = writeFully(state->fd, data, length);
  if (written > 0 && on_write) on_write(static_cast<unsigned long>(written));
  if (written == length) return true;
  TLOG(ERROR) << "Error writing length " << length << " at offset " << offset << " from "
              << state->image_path() << " Error: " << strerror(errno);
  return false;
}

bool ServerMessageHandler::operation_hole_punch_handler(long offset, long length) {
  if (offset >= 0 && length > 0 && punch_hole(state->fd, offset, length) == 0) {
    if (message_debug_logging)
      TLOG(DEBUG) << "COMMAND_HOLE_PUNCH" << " | offset: " << offset << " | length: " << length
                  << " | target: " << state->target_name();
    return true;
  }
  TLOG(ERROR) << punch_failure(*state, offset, length, strerror(errno));
  return false;
}

}  // namespace tarvelo
