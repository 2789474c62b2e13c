// Block hashes of the client: local hashes computed the way the server
// computes its own (plain BLAKE2b of the range, or against block-hash
// storage the aggregate of the range's block hashes over the server's block
// grid), remote hashes, compare, and the pipelined batch of remote hashes.

#include <tarveloftp/TarveloFTPClient.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include <tarveloftp/Coding.h>

#include "TarveloFTPClientInternal.h"

namespace tarvelo {

using client_detail::make_status;
using client_detail::report;

namespace {

bool in_image(long offset, long length, long image_size) {
  return offset >= 0 && length > 0 && offset <= image_size && length <= image_size - offset;
}

}  // namespace

std::vector<unsigned char> TarveloFTPClient::get_block_hash_local(void* data, long length,
                                                                  Transport::StatusCode* status) {
  long n = m_file.io(length);
  if (n <= 0) {
    report(status, "Request is out of bounds", kOutOfBounds);
    return {};
  }
  if (m_server_features & FEATURE_BLOCK_HASH_STORAGE)
    return get_aggregate_block_hash_local(data, n, status);
  return get_default_block_hash_local(data, n, status);
}

std::vector<unsigned char> TarveloFTPClient::get_default_block_hash_local(
    void* data, long length, Transport::StatusCode* status) const {
  std::vector<unsigned char> hash;
  if (m_hash_function && length >= 0) hash = m_hash_function->get_hash(data, length);
  if (hash.empty()) report(status, "Error performing local hash", kOutOfBounds);
  return hash;
}

std::vector<unsigned char> TarveloFTPClient::get_aggregate_block_hash_local(
    void* data, long length, Transport::StatusCode* status) const {
  return aggregate_hash(tell(), data, length, m_block_buffer.get(), status);
}

std::vector<unsigned char> TarveloFTPClient::aggregate_hash(long offset, const void* data,
                                                            long length,
                                                            unsigned char* block_buffer,
                                                            Transport::StatusCode* status) const {
  std::vector<unsigned char> concatenated = block_hashes(offset, data, length, block_buffer, status);
  if (concatenated.empty()) return {};
  std::vector<unsigned char> result =
      m_hash_function->get_hash(concatenated.data(), static_cast<long>(concatenated.size()));
  if (result.empty()) report(status, "Error generating concatenated block hashes", kOutOfBounds);
  return result;
}

std::vector<unsigned char> TarveloFTPClient::block_hashes(long offset, const void* data, long length,
                                                          unsigned char* block_buffer,
                                                          Transport::StatusCode* status) const {
  // Without the hash handshake's block size and buffer, or below the
  // partition, there is no block grid to hash over.
  if (!m_hash_function || !block_buffer || m_block_size <= 0) {
    report(status, "No block hashing set up: the hash handshake did not complete", kOutOfBounds);
    return {};
  }
  if (offset < m_partition_offset) {
    report(status,
           "Position " + std::to_string(offset) + " is below the partition offset " +
               std::to_string(m_partition_offset),
           kOutOfBounds);
    return {};
  }
  if (length <= 0) {
    report(status, "Request is out of bounds", kOutOfBounds);
    return {};
  }
  const auto block = static_cast<unsigned long>(m_block_size);
  const auto internal = static_cast<unsigned long>(offset - m_partition_offset);
  const unsigned long ulength = static_cast<unsigned long>(length);
  const unsigned long start = roundDownToNearestBlock(internal, block);
  const unsigned long head = internal - start;
  const unsigned long end = roundUpToNearestBlock(internal + ulength, block);
  const unsigned long tail = end - (internal + ulength);
  const unsigned long blocks = (end - start) / block;
  const std::size_t hash_bytes = m_hash_function->hash_size_in_bytes();

  std::vector<unsigned char> concatenated(blocks * hash_bytes);
  auto failed = [&] {
    report(status, "Error generating concatenated block hashes", kOutOfBounds);
    return std::vector<unsigned char>();
  };
  // A partial first or last block is hashed with zeros around its bytes.
  auto hash_partial = [&](unsigned long s, unsigned long at, const unsigned char* bytes, unsigned long count) {
    std::memset(block_buffer, 0, block);
    std::memcpy(block_buffer + at, bytes, count);
    std::vector<unsigned char> hash = m_hash_function->get_hash(block_buffer, static_cast<long>(block));
    if (hash.size() != hash_bytes) return false;
    std::memcpy(concatenated.data() + s * hash_bytes, hash.data(), hash_bytes);
    return true;
  };
  const auto* p = static_cast<const unsigned char*>(data);
  unsigned long first_whole = 0;
  unsigned long end_whole = blocks;
  if (head != 0 || block > ulength) {
    unsigned long count = std::min(block - head, ulength);
    if (!hash_partial(0, head, p, count)) return failed();
    p += count;
    first_whole = 1;
  }
  if (tail != 0 && end_whole > first_whole) {
    --end_whole;
    if (!hash_partial(end_whole, 0, p + (end_whole - first_whole) * block, block - tail)) return failed();
  }
  // The whole blocks between, all at once.
  if (end_whole > first_whole &&
      !m_hash_function->get_hashes(concatenated.data() + first_whole * hash_bytes, p, static_cast<long>(block),
                                   static_cast<long>(end_whole - first_whole)))
    return failed();
  return concatenated;
}

std::vector<unsigned char> TarveloFTPClient::get_block_hash_local_at(
    long offset, const void* data, long length, Transport::StatusCode* status) const {
  if (!in_image(offset, length, size())) {
    report(status, "Request is out of bounds", kOutOfBounds);
    return {};
  }
  if (m_server_features & FEATURE_BLOCK_HASH_STORAGE) {
    if (m_block_size <= 0 || m_block_size > kMaxBlockSize) {
      report(status, "No block hashing set up: the hash handshake did not complete", kOutOfBounds);
      return {};
    }
    // Its own scratch block, so that it can run beside the client's thread.
    std::vector<unsigned char> scratch(static_cast<std::size_t>(m_block_size));
    return aggregate_hash(offset, data, length, m_block_buffer ? scratch.data() : nullptr, status);
  }
  return get_default_block_hash_local(const_cast<void*>(data), length, status);
}

std::vector<unsigned char> TarveloFTPClient::get_default_block_hashes_local(
    const void* data, long length, long count, Transport::StatusCode* status) const {
  if (count < 0 || length < 0 || (length > 0 && count > LONG_MAX / length) || (data == nullptr && length > 0)) {
    report(status, "Request is out of bounds", kOutOfBounds);
    return {};
  }
  std::vector<unsigned char> hashes(static_cast<std::size_t>(count) * hash_size());
  if (!m_hash_function || !m_hash_function->get_hashes(hashes.data(), data, length, count)) {
    report(status, "Error performing local hash", kOutOfBounds);
    return {};
  }
  return hashes;
}

std::vector<unsigned char> TarveloFTPClient::get_block_hashes_local_at(
    long offset, const void* data, long length, Transport::StatusCode* status) const {
  if (!in_image(offset, length, size())) {
    report(status, "Request is out of bounds", kOutOfBounds);
    return {};
  }
  if (!stored_block_hashes()) {
    report(status, "No block hashing set up: the hash handshake did not complete", kOutOfBounds);
    return {};
  }
  std::vector<unsigned char> scratch(static_cast<std::size_t>(m_block_size));
  return block_hashes(offset, data, length, m_block_buffer ? scratch.data() : nullptr, status);
}

bool TarveloFTPClient::stored_block_hashes() const {
  return (m_server_features & FEATURE_BLOCK_HASH_STORAGE) && m_block_size > 0 && m_block_size <= kMaxBlockSize;
}

std::vector<unsigned char> TarveloFTPClient::remote_hash(long offset, long length,
                                                         Transport::StatusCode* status) const {
  // A range past the end gets no reply from the server at all, and a huge
  // one makes it read the whole range into memory; neither is sent.
  if (!in_image(offset, length, size())) {
    report(status, "Request is out of bounds", kOutOfBounds);
    return {};
  }
  if (length > kMaxRequestLength && !stored_block_hashes()) {
    report(status,
           "Hash of " + std::to_string(length) + " bytes exceeds the largest request of " +
               std::to_string(kMaxRequestLength) + " bytes",
           kOutOfBounds);
    return {};
  }
  const std::size_t hash_bytes = hash_size();
  if (hash_bytes == 0) {
    report(status, "No local hash function", kOutOfBounds);
    return {};
  }
  Message request = new_request(COMMAND_HASH, wire::kHeaderSize);
  EncodeFixed64BE(request.buffer() + wire::kOffset, static_cast<uint64_t>(offset));
  EncodeFixed64BE(request.buffer() + wire::kLength, static_cast<uint64_t>(length));
  Message reply = exchange(request, COMMAND_HASH, wire::kHashData + hash_bytes, status);
  if (reply.null()) return {};
  const char* bytes = reply.buffer();
  if (DecodeFixed64BE(bytes + wire::kOffset) != static_cast<uint64_t>(offset) ||
      DecodeFixed64BE(bytes + wire::kLength) != static_cast<uint64_t>(length)) {
    report(status, "Hash reply is for another range", kProtocolError);
    return {};
  }
  const auto* digest = reinterpret_cast<const unsigned char*>(bytes + wire::kHashData);
  return std::vector<unsigned char>(digest, digest + hash_bytes);
}

std::vector<unsigned char> TarveloFTPClient::get_block_hash_remote(long length,
                                                                   Transport::StatusCode* status) {
  long n = m_file.io(length);
  if (n <= 0) {
    report(status, "Request is out of bounds", kOutOfBounds);
    return {};
  }
  return remote_hash(tell(), n, status);
}

std::vector<unsigned char> TarveloFTPClient::get_default_block_hash_remote(
    long length, Transport::StatusCode* status) const {
  return remote_hash(tell(), length, status);
}

std::vector<unsigned char> TarveloFTPClient::get_aggregate_block_hash_remote(
    long length, Transport::StatusCode* status) const {
  return remote_hash(tell(), length, status);
}

bool TarveloFTPClient::compare(void* data, long length, Transport::StatusCode* status) {
  long n = m_file.io(length);
  if (n <= kMaxRequestLength || stored_block_hashes()) {
    std::vector<unsigned char> local = get_block_hash_local(data, length, status);
    if (local.empty()) return false;
    std::vector<unsigned char> remote = get_block_hash_remote(length, status);
    return !remote.empty() && local == remote;
  }
  // Too long for one hash of a server that reads the range: the range holds
  // `data` exactly when every piece does. The position comes back to where
  // it was.
  const long start = tell();
  bool equal = true;
  for (long done = 0; equal && done < n; done += kMaxRequestLength) {
    const long piece = std::min(kMaxRequestLength, n - done);
    void* bytes = static_cast<char*>(data) + done;
    m_file.seek(start + done, TARVELO_SEEK_SET);
    std::vector<unsigned char> local = get_block_hash_local(bytes, piece, status);
    std::vector<unsigned char> remote;
    if (!local.empty()) remote = get_block_hash_remote(piece, status);
    equal = !remote.empty() && local == remote;
  }
  m_file.seek(start, TARVELO_SEEK_SET);
  return equal;
}

std::vector<unsigned char> TarveloFTPClient::get_block_hashes_remote(
    const std::vector<HashRange>& ranges, Transport::StatusCode* status) {
  if (m_closed || !m_socket) {
    report(status, "", kClientClosed);
    return {};
  }
  const std::size_t hash_bytes = hash_size();
  if (hash_bytes == 0) {
    report(status, "No local hash function", kOutOfBounds);
    return {};
  }
  for (const HashRange& range : ranges) {
    if (!in_image(range.offset, range.length, size()) ||
        (range.length > kMaxRequestLength && !stored_block_hashes())) {
      report(status,
             "Request is out of bounds: " + std::to_string(range.offset) + "+" +
                 std::to_string(range.length),
             kOutOfBounds);
      return {};
    }
  }

  std::vector<unsigned char> hashes(ranges.size() * hash_bytes);
  Transport::StatusCode result = pipeline(
      COMMAND_HASH, ranges.size(), kHashPipelineDepth,
      [&](std::size_t i) {
        Message request = new_request(COMMAND_HASH, wire::kHeaderSize);
        EncodeFixed64BE(request.buffer() + wire::kOffset, static_cast<uint64_t>(ranges[i].offset));
        EncodeFixed64BE(request.buffer() + wire::kLength, static_cast<uint64_t>(ranges[i].length));
        return request;
      },
      [&](std::size_t i, const Message& reply, Transport::StatusCode& failure) {
        const char* bytes = reply.buffer();
        if (reply.size() < wire::kHashData + hash_bytes) {
          failure = make_status("Response to COMMAND_HASH too short: " + std::to_string(reply.size()) +
                                    " bytes, expected at least " +
                                    std::to_string(wire::kHashData + hash_bytes),
                                kProtocolError);
          return false;
        }
        if (DecodeFixed64BE(bytes + wire::kOffset) != static_cast<uint64_t>(ranges[i].offset) ||
            DecodeFixed64BE(bytes + wire::kLength) != static_cast<uint64_t>(ranges[i].length)) {
          failure = make_status("Hash reply is for another range", kProtocolError);
          return false;
        }
        std::memcpy(hashes.data() + i * hash_bytes, bytes + wire::kHashData, hash_bytes);
        return true;
      });
  if (status) *status = result;
  if (result.code < 0) return {};
  return hashes;
}

}  // namespace tarvelo
