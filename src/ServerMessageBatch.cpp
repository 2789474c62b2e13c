// Batch dispatch: handle_messages answers the messages received together in
// order, reading and hashing each run of equal-length direct HASH requests
// in one go before answering them one by one.

#include <tarveloftp/ServerMessageHandler.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include <tarvelo/Crypto.h>
#include <tarveloftp/FileSystem.h>

#include "ImageHoles.h"
#include "ImageRequests.h"

namespace tarvelo {

namespace {

using detail::decode_range;

}  // namespace

bool ServerMessageHandler::answers_together(const Message& message) const {
  return state && !state->pending_authenticate && !message.null() && message.size() >= wire::kHeaderSize &&
         static_cast<tarvelo_protocol_command_t>(message.buffer()[wire::kCommand]) == COMMAND_HASH;
}

std::vector<ServerMessageHandlerResponse> ServerMessageHandler::handle_messages(std::vector<Message> messages) {
  std::vector<ServerMessageHandlerResponse> responses;
  // Each run is looked at once: a run of holes leaves nothing precomputed,
  // and looking again from every one of its requests cost a quadratic
  // number of hole lookups.
  std::size_t looked_at = 0;
  std::optional<detail::HoleFinder> holes;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    // Anything else may change the image, or the connection, under digests
    // made before it, and under holes found before it.
    if (!answers_together(messages[i])) {
      precomputed_hashes.clear();
      holes.reset();
    } else if (i >= looked_at && !state->block_hashing) {
      if (!holes) holes.emplace(state->fd, state->file_size);
      looked_at = hash_requests_together(messages, i, *holes);
    }
    responses.push_back(handle_message(std::move(messages[i])));
    if (responses.back().close_after_send) break;
  }
  precomputed_hashes.clear();
  return responses;
}

std::size_t ServerMessageHandler::hash_requests_together(const std::vector<Message>& messages, std::size_t first,
                                                         detail::HoleFinder& holes) {
  // Fewer than this gain nothing; more than kTogetherBytes are read in later runs.
  constexpr std::size_t kFewest = 4;
  constexpr long kTogetherBytes = 32L << 20;
  const long length = decode_range(messages[first]).length;
  if (length <= 0 || length > kTogetherBytes) return first + 1;
  std::vector<long> offsets;
  std::vector<detail::HoleExtent> first_holes;  // of each range
  std::size_t end = first;
  for (; end < messages.size() && answers_together(messages[end]); ++end) {
    auto [offset, size] = decode_range(messages[end]);
    // A range not inside the image is left to its own request, which fails it.
    if (size != length || !detail::inside_image({offset, size}, state->file_size) ||
        static_cast<long>(offsets.size() + 1) * length > kTogetherBytes)
      break;
    const detail::HoleExtent hole = holes.next_hole(offset, offset + length);
    // A hole needs no read: the digest of zeros.
    if (detail::whole_hole(hole, offset, length)) {
      precomputed_hashes[{offset, length}] = {detail::zero_digest(length), 0};
      continue;
    }
    offsets.push_back(offset);
    first_holes.push_back(hole);
  }
  if (offsets.size() < kFewest) return std::max(end, first + 1);
  const auto bytes = static_cast<std::size_t>(length);
  std::unique_ptr<char[]> buffer(new char[offsets.size() * bytes]);
  std::vector<long> data_read(offsets.size());
  for (std::size_t k = 0; k < offsets.size(); ++k)
    data_read[k] = detail::read_over_holes(holes, offsets[k], length, first_holes[k], buffer.get() + k * bytes);
  std::vector<unsigned char> digests(offsets.size() * crypto::kBlake2bHashSize);
  if (!crypto::Blake2b::hash_each(digests.data(), buffer.get(), bytes, offsets.size())) return end;
  // A range that could not be read whole is left to the request itself, which reports it.
  for (std::size_t k = 0; k < offsets.size(); ++k) {
    if (data_read[k] < 0) continue;
    PrecomputedHash& precomputed = precomputed_hashes[{offsets[k], length}];
    std::memcpy(precomputed.digest.data(), digests.data() + k * crypto::kBlake2bHashSize, crypto::kBlake2bHashSize);
    precomputed.read = data_read[k];
  }
  return end;
}

}  // namespace tarvelo
