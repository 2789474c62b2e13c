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

#include "ImageRequests.h"

namespace tarvelo {

namespace {

using detail::decode_range;
using detail::inside_image;
using FileSystem::readFully;
using FileSystem::writeFully;

int punch_hole(int fd, long offset, long length) {
  return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length);
}

}  // namespace

// A connection outside block-hashing mode changes the image directly; on a
// server that keeps block hashes the hash file would then vouch for bytes
// that are gone, and a later client would skip writes it still needs. The
// entries are marked not valid, and synced, before the image changes, so
// that no crash can leave a stale hash marked valid.
bool ServerMessageHandler::invalidate_stored_hashes(long offset, long length, std::string* failure) {
  if (!block_hash_storage || state->block_hashing || state->hash_file_unusable || offset < 0 || length <= 0)
    return true;
  if (!state->hash_store) {
    std::string hash_path = state->image_path() + ".hash";
    if (!FileSystem::File::exists(hash_path)) return true;
    try {
      state->hash_store = BlockHashStore::open(hash_path, static_cast<unsigned long>(state->file_size));
    } catch (const std::exception& error) {
      // Every hash handshake on this image fails the same way, so no client
      // can be told anything by the file; refusing writes would only make
      // the image unusable as well.
      TLOG(WARNING) << "Writing to " << state->image_path() << " without marking its stored hashes: "
                    << hash_path << " cannot be opened: " << error.what();
      state->hash_file_unusable = true;
      return true;
    }
  }
  try {
    BlockHashStore& store = *state->hash_store;
    // Only the part of the range that the hash file covers has entries.
    long covered_end = 0;
    if (__builtin_add_overflow(store.getPartitionOffset(), store.computeMaximumInternalOffset(), &covered_end))
      covered_end = LONG_MAX;
    long end = offset > LONG_MAX - length ? LONG_MAX : offset + length;
    long begin = std::max(offset, store.getPartitionOffset());
    end = std::min(end, covered_end);
    if (begin >= end) return true;
    store.invalidate_hashes(begin, end - begin);
    if (!store.sync_to_disk()) throw std::runtime_error("cannot sync the hash file");
    return true;
  } catch (const std::exception& error) {
    *failure = "Cannot mark the stored hashes of length " + std::to_string(length) + " at offset " +
               std::to_string(offset) + " of " + state->image_path() + " not valid: " + error.what();
    return false;
  }
}

ServerMessageHandlerResponse ServerMessageHandler::default_command_read(
    const Message& request, ServerMessageHandlerResponse& response) {
  auto [offset, length] = decode_range(request);
  // A length that cannot fit one message is refused before anything is
  // allocated or any system call is made.
  if (length < 0 || length > kMaxRequestLength) {
    TLOG(ERROR) << "Refusing read of length " << length << " at offset " << offset << " on "
                << state->image_path() << ": at most " << kMaxRequestLength << " bytes";
    response.message = new_response(COMMAND_READ, wire::kHeaderSize);
    EncodeBigEndian<int64_t>(response.message.buffer() + wire::kReadCount, -1);
    response.message.buffer()[wire::kReadStatus] = STATUS_EINVAL;
    return response;
  }
  // A negative offset fails as the seek to it would, without the seek or
  // room for data that will not come.
  if (offset < 0) {
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
  auto [offset, length] = decode_range(request);
  bool acknowledge = (state->features & CLIENT_WRITE_ACKNOWLEDGEMENT) != 0;
  // The data must have arrived whole; nothing past the message is read.
  if (length < 0 || static_cast<uint64_t>(length) > request.size() - wire::kWriteData) {
    response.error = "COMMAND_WRITE declares " + std::to_string(length) + " bytes at offset " +
                     std::to_string(offset) + " but carries " +
                     std::to_string(request.size() - wire::kWriteData);
    return response;
  }
  std::string failure;
  if (offset >= 0 && !inside_image({offset, length}, state->file_size)) {
    // The image keeps the size it had when the connection opened it: a
    // write past its end fails as it would on a block device.
    failure = "Error writing length " + std::to_string(length) + " at offset " + std::to_string(offset) +
              " from " + state->image_path() + " Error: the image ends at " + std::to_string(state->file_size);
  } else if (invalidate_stored_hashes(offset, length, &failure)) {
    long position = offset < 0 ? -1 : seek(state->fd, offset, SEEK_SET);
    if (position < 0 || position != offset) {
      failure = "Error seeking for write to offset " + std::to_string(offset) + " on " + state->image_path() +
                " Actual offset " + std::to_string(position) + " Error: " + strerror(offset < 0 ? EINVAL : errno);
    } else {
      long written = writeFully(state->fd, request.buffer() + wire::kWriteData, length);
      if (written != length)
        failure = "Error writing length " + std::to_string(length) + " at offset " + std::to_string(offset) +
                  " from " + state->image_path() + " Error: " + strerror(errno);
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
  auto [offset, length] = decode_range(request);
  response.message = new_response(COMMAND_HOLE_PUNCH, wire::kHeaderSize);
  char* out = response.message.buffer();
  std::memcpy(out + wire::kOffset, request.buffer() + wire::kOffset, 16);
  out[wire::kHolePunchStatus] = STATUS_EINVAL;
  // A range the system would refuse, or one past the end of the image,
  // fails as the system call would, without making it.
  if (offset < 0 || length <= 0 || !inside_image({offset, length}, state->file_size)) {
    TLOG(ERROR) << "Error deallocating space for hole punch" << " of length" << length
                << " at offset " << offset << " from file " << state->image_path()
                << " file descriptor " << state->fd << " Error: "
                << (offset < 0 || length <= 0 ? strerror(EINVAL)
                                              : "the image ends at " + std::to_string(state->file_size));
    out[wire::kHolePunchStatus] = STATUS_EIO;
    return response;
  }
  std::string hashes_failure;
  if (!invalidate_stored_hashes(offset, length, &hashes_failure)) {
    TLOG(ERROR) << hashes_failure;
    out[wire::kHolePunchStatus] = STATUS_EIO;
    return response;
  }
  if (punch_hole(state->fd, offset, length) != 0) {
    TLOG(ERROR) << "Error deallocating space for hole punch" << " of length" << length
                << " at offset " << offset << " from file " << state->image_path()
                << " file descriptor " << state->fd << " Error: " << strerror(errno);
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

bool ServerMessageHandler::answers_together(const Message& message) const {
  return state && !state->pending_authenticate && !message.null() && message.size() >= wire::kHeaderSize &&
         static_cast<tarvelo_protocol_command_t>(message.buffer()[wire::kCommand]) == COMMAND_HASH;
}

std::vector<ServerMessageHandlerResponse> ServerMessageHandler::handle_messages(std::vector<Message> messages) {
  std::vector<ServerMessageHandlerResponse> responses;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    // Anything else may change the image, or the connection, under digests made before it.
    if (!answers_together(messages[i]))
      precomputed_hashes.clear();
    else if (precomputed_hashes.empty() && !state->block_hashing)
      hash_requests_together(messages, i);
    responses.push_back(handle_message(std::move(messages[i])));
    if (responses.back().close_after_send) break;
  }
  precomputed_hashes.clear();
  return responses;
}

void ServerMessageHandler::hash_requests_together(const std::vector<Message>& messages, std::size_t first) {
  // Fewer than this gain nothing; more than kTogetherBytes are read in later runs.
  constexpr std::size_t kFewest = 4;
  constexpr long kTogetherBytes = 32L << 20;
  const long length = decode_range(messages[first]).length;
  if (length <= 0 || length > kTogetherBytes) return;
  std::vector<long> offsets;
  for (std::size_t i = first; i < messages.size() && answers_together(messages[i]); ++i) {
    auto [offset, size] = decode_range(messages[i]);
    if (size != length || offset < 0 || static_cast<long>(offsets.size() + 1) * length > kTogetherBytes) break;
    offsets.push_back(offset);
  }
  if (offsets.size() < kFewest) return;
  const auto bytes = static_cast<std::size_t>(length);
  std::unique_ptr<char[]> buffer(new char[offsets.size() * bytes]);
  std::vector<bool> whole(offsets.size(), false);
  for (std::size_t k = 0; k < offsets.size(); ++k)
    whole[k] = seek(state->fd, offsets[k], SEEK_SET) == offsets[k] &&
               readFully(state->fd, buffer.get() + k * bytes, length) == length;
  std::vector<unsigned char> digests(offsets.size() * crypto::kBlake2bHashSize);
  if (!crypto::Blake2b::hash_each(digests.data(), buffer.get(), bytes, offsets.size())) return;
  // A range that could not be read whole is left to the request itself, which reports it.
  for (std::size_t k = 0; k < offsets.size(); ++k) {
    if (!whole[k]) continue;
    auto& digest = precomputed_hashes[{offsets[k], length}];
    std::memcpy(digest.data(), digests.data() + k * crypto::kBlake2bHashSize, crypto::kBlake2bHashSize);
  }
}

ServerMessageHandlerResponse ServerMessageHandler::default_command_hash(
    const Message& request, ServerMessageHandlerResponse& response) {
  auto [offset, length] = decode_range(request);
  if (length < 0 || offset < 0 || length > kMaxRequestLength) {
    TLOG(ERROR) << "Refusing hash of length " << length << " at offset " << offset << " on "
                << state->image_path() << ": at most " << kMaxRequestLength
                << " bytes at a non-negative offset";
    return response;
  }
  crypto::blake2b_hash_t digest;
  auto precomputed = precomputed_hashes.find({offset, length});
  if (precomputed != precomputed_hashes.end()) {
    std::memcpy(digest, precomputed->second.data(), sizeof digest);
    precomputed_hashes.erase(precomputed);
    if (on_read) on_read(static_cast<unsigned long>(length));
  } else {
    std::unique_ptr<char[]> buffer(new char[static_cast<std::size_t>(length) + 1]);
    long position = seek(state->fd, offset, SEEK_SET);
    if (position < 0 || position != offset) {
      TLOG(ERROR) << "Error seeking for hash to offset " << offset << " on " << state->image_path()
                  << " Actual offset " << position << " Error: " << strerror(errno);
      return response;
    }
    long count = readFully(state->fd, buffer.get(), length);
    if (count < 0 || count != length) {
      TLOG(ERROR) << "Error reading for hash length " << length << " at offset " << offset
                  << " from " << state->image_path() << " Actually read " << count << " bytes"
                  << " Error: " << strerror(errno);
      return response;
    }
    if (on_read) on_read(static_cast<unsigned long>(count));
    if (!crypto::Blake2b::hash(digest, buffer.get(), length)) {
      response.error = "Cannot hash buffer";
      TLOG(ERROR) << "Cannot hash buffer" << " at offset " << offset << " length " << length
                  << " from " << state->image_path();
      return response;
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
  TLOG(ERROR) << "Error deallocating space for hole punch" << " of length" << length
              << " at offset " << offset << " from file " << state->image_path()
              << " file descriptor " << state->fd << " Error: " << strerror(errno);
  return false;
}

}  // namespace tarvelo
