// Data operations of the client: read, write, hole punch and the collection
// of write acknowledgements. All lengths are clamped at the end of the image
// here, so no request ever reaches past it.

#include <tarveloftp/TarveloFTPClient.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include <tarveloftp/Coding.h>

#include "TarveloFTPClientInternal.h"

namespace tarvelo {

using client_detail::make_status;
using client_detail::report;

long TarveloFTPClient::read(void* buffer, long count, Transport::StatusCode* status) {
  if (m_closed) {
    report(status, "", kClientClosed);
    return -1;
  }
  long n = m_file.io(count);
  if (n <= 0) return n;
  // One reply carries at most kMaxRequestLength bytes, so longer reads take
  // several exchanges; a failure part-way reports what arrived before it.
  auto* out = static_cast<char*>(buffer);
  long done = 0;
  while (done < n) {
    long part = std::min(n - done, kMaxRequestLength);
    long got = read_once(out + done, part, status);
    if (got < 0) return done > 0 ? done : -1;
    done += got;
    if (got < part) break;
  }
  return done;
}

long TarveloFTPClient::read_once(char* buffer, long count, Transport::StatusCode* status) {
  // The server reads only the request's first 24 bytes, so the request goes
  // out as a bare front instead of carrying `count` unused bytes.
  Message request = new_request(COMMAND_READ, wire::kHeaderSize);
  EncodeFixed64BE(request.buffer() + wire::kOffset, static_cast<uint64_t>(tell()));
  EncodeFixed64BE(request.buffer() + wire::kLength, static_cast<uint64_t>(count));
  // The bytes go straight into the caller's buffer where the connection allows.
  const SocketImpl::Placement placement{wire::kReadData, buffer, static_cast<std::size_t>(count)};
  bool placed = false;
  Message reply = exchange(request, COMMAND_READ, wire::kReadData, status, nullptr, &placement, &placed);
  if (reply.null()) return -1;
  const char* bytes = reply.buffer();
  auto reply_status = static_cast<tarvelo_protocol_status_t>(bytes[wire::kReadStatus]);
  if (reply_status != STATUS_SUCCESS) {
    report(status, "Error during read: " + Protocol::to_string(reply_status), kNoResponse);
    return -1;
  }
  // The reported count is checked against what was asked and what arrived,
  // so a faulty reply never writes past the caller's buffer.
  auto got = static_cast<int64_t>(DecodeFixed64BE(bytes + wire::kReadCount));
  const uint64_t arrived = placed ? static_cast<uint64_t>(count) : reply.size() - wire::kReadData;
  if (got < 0 || got > count || static_cast<uint64_t>(got) > arrived) {
    report(status,
           "Read reply reports " + std::to_string(got) + " bytes for a request of " + std::to_string(count) +
               " bytes with " + std::to_string(arrived) + " bytes of data",
           kProtocolError);
    return -1;
  }
  if (!placed) std::memcpy(buffer, bytes + wire::kReadData, static_cast<std::size_t>(got));
  // The position follows the bytes handed out, so a short reply can never
  // make a caller skip data it did not get.
  m_file.seek(got, TARVELO_SEEK_CUR);
  return got;
}

long TarveloFTPClient::write(void* data, long count, bool* sent, Transport::StatusCode* status) {
  // A closed client leaves *sent as it was.
  if (m_closed) {
    report(status, "", kClientClosed);
    return -1;
  }
  if (sent) *sent = false;
  long n = clamp_write(count, status);
  if (n <= 0) return n;
  if (get_differential_merge() && compare(data, n, status)) {
    m_file.seek(n, TARVELO_SEEK_CUR);
    return n;
  }
  return send_in_place(n, data, sent, status);
}

long TarveloFTPClient::write_from(long count, const WriteSource& fill, Transport::StatusCode* status) {
  long n = clamp_write(count, status);
  if (n <= 0) return n;
  return send_write(n, fill, nullptr, status);
}

long TarveloFTPClient::write_in_place(const void* data, long count, Transport::StatusCode* status) {
  long n = clamp_write(count, status);
  if (n <= 0) return n;
  return send_in_place(n, data, nullptr, status);
}

long TarveloFTPClient::send_in_place(long n, const void* data, bool* sent, Transport::StatusCode* status) {
  char front[wire::kWriteData];
  const char trailer[wire::kHeaderSize - wire::kWriteData] = {};
  write_front(front, n);
  const SocketImpl::Piece pieces[] = {
      {front, sizeof front}, {data, static_cast<std::size_t>(n)}, {trailer, sizeof trailer}};
  return sent_write(m_socket->send_pieces(pieces, 3), n, sent, status);
}

void TarveloFTPClient::write_front(char* front, long n) const {
  std::memset(front, 0, wire::kWriteData);
  stamp(front, COMMAND_WRITE);
  EncodeFixed64BE(front + wire::kOffset, static_cast<uint64_t>(tell()));
  EncodeFixed64BE(front + wire::kLength, static_cast<uint64_t>(n));
}

long TarveloFTPClient::sent_write(Transport::StatusCode send_status, long n, bool* sent,
                                  Transport::StatusCode* status) {
  const bool ok = send_status.code >= 0;
  if (status) *status = std::move(send_status);
  if (!ok) return -1;
  if (sent) *sent = true;
  m_file.seek(n, TARVELO_SEEK_CUR);
  return n;
}

long TarveloFTPClient::clamp_write(long count, Transport::StatusCode* status) {
  if (m_closed) {
    report(status, "", kClientClosed);
    return -1;
  }
  long n = m_file.io(count);
  if (n <= 0) {
    report(status, "Request is out of bounds", kOutOfBounds);
    return n;
  }
  // A write travels in one frame; splitting it would turn one outcome into
  // several acknowledgements, so an oversized one is refused instead.
  if (n > kMaxRequestLength) {
    report(status,
           "Write of " + std::to_string(n) + " bytes exceeds the largest request of " +
               std::to_string(kMaxRequestLength) + " bytes",
           kOutOfBounds);
    return -1;
  }
  return n;
}

long TarveloFTPClient::send_write(long n, const WriteSource& fill, bool* sent, Transport::StatusCode* status) {
  // `fill` writes every byte of the data: zeroing them first would cost a
  // pass over all that is written.
  Message request = Message::uninitialized(static_cast<long>(wire::kHeaderSize) + n);
  write_front(request.buffer(), n);
  std::memset(request.buffer() + wire::kWriteData + n, 0, wire::kHeaderSize - wire::kWriteData);
  if (!fill(request.buffer() + wire::kWriteData, n)) {
    report(status, "Write cancelled by its source", kProtocolError);
    return -1;
  }
  return sent_write(m_socket->send(request), n, sent, status);
}

bool TarveloFTPClient::old_server_lacks(uint32_t feature) const {
  return (m_server_id & 0xffff) == 0 && ((m_server_id >> 24) & 0xff) == 0xA5 &&
         (m_server_features & feature) == 0;
}

Transport::StatusCode TarveloFTPClient::hole_punch(long length) {
  if (m_closed) return make_status("", kClientClosed);
  long n = m_file.io(length);
  if (n <= 0) return make_status("Hole is out of bounds", kOutOfBounds);
  if (old_server_lacks(FEATURE_HOLE_PUNCH)) return make_status("Feature not remotely available", kNotAvailable);
  Message request = new_request(COMMAND_HOLE_PUNCH, wire::kHeaderSize);
  EncodeFixed64BE(request.buffer() + wire::kOffset, static_cast<uint64_t>(tell()));
  EncodeFixed64BE(request.buffer() + wire::kLength, static_cast<uint64_t>(n));
  if (m_server_features & FEATURE_BLOCK_HASH_STORAGE) {
    // Deferred on the server; the outcome arrives as an acknowledgement.
    Transport::StatusCode status = m_socket->send(request);
    if (status.code >= 0) m_file.seek(n, TARVELO_SEEK_CUR);
    return status;
  }
  Transport::StatusCode status;
  Message reply = exchange(request, COMMAND_HOLE_PUNCH, wire::kHeaderSize, &status);
  if (reply.null()) return status;
  auto reply_status = static_cast<tarvelo_protocol_status_t>(reply.buffer()[wire::kHolePunchStatus]);
  if (reply_status != STATUS_SUCCESS)
    return make_status("Error during hole punch: " + Protocol::to_string(reply_status), kNotAvailable);
  m_file.seek(n, TARVELO_SEEK_CUR);
  return status;
}

Transport::StatusCode TarveloFTPClient::hole_punch_ranges(const std::vector<HashRange>& ranges, std::size_t depth,
                                                          std::vector<HashRange>& refused) {
  if (m_closed || !m_socket) return make_status("", kClientClosed);
  for (const HashRange& range : ranges)
    if (range.offset < 0 || range.length <= 0 || range.offset > size() || range.length > size() - range.offset)
      return make_status("Hole is out of bounds: " + std::to_string(range.offset) + "+" + std::to_string(range.length),
                         kOutOfBounds);
  if (old_server_lacks(FEATURE_HOLE_PUNCH)) {
    refused.insert(refused.end(), ranges.begin(), ranges.end());
    return make_status("Feature not remotely available", kNotAvailable);
  }
  auto make_request = [&](std::size_t i) {
    Message request = new_request(COMMAND_HOLE_PUNCH, wire::kHeaderSize);
    EncodeFixed64BE(request.buffer() + wire::kOffset, static_cast<uint64_t>(ranges[i].offset));
    EncodeFixed64BE(request.buffer() + wire::kLength, static_cast<uint64_t>(ranges[i].length));
    return request;
  };
  if (m_server_features & FEATURE_BLOCK_HASH_STORAGE) {
    // Deferred on the server: no replies to wait for.
    std::vector<Message> batch;
    for (std::size_t i = 0; i < ranges.size(); ++i) batch.push_back(make_request(i));
    return batch.empty() ? make_status("Sent", 0) : m_socket->send_all(batch);
  }
  return pipeline(COMMAND_HOLE_PUNCH, ranges.size(), depth, make_request,
                  [&](std::size_t i, const Message& reply, Transport::StatusCode& failure) {
                    const char* bytes = reply.buffer();
                    if (reply.size() < wire::kHeaderSize ||
                        DecodeFixed64BE(bytes + wire::kOffset) != static_cast<uint64_t>(ranges[i].offset) ||
                        DecodeFixed64BE(bytes + wire::kLength) != static_cast<uint64_t>(ranges[i].length)) {
                      failure = make_status("Hole punch reply is malformed or for another range", kProtocolError);
                      return false;
                    }
                    if (static_cast<tarvelo_protocol_status_t>(bytes[wire::kHolePunchStatus]) != STATUS_SUCCESS)
                      refused.push_back(ranges[i]);
                    return true;
                  });
}

std::vector<tarvelo_write_acknowledgement_t> TarveloFTPClient::write_acknowledgement(
    bool& has_failures, Transport::StatusCode* status) {
  std::vector<tarvelo_write_acknowledgement_t> records;
  if (m_closed) {
    report(status, "", kClientClosed);
    return records;
  }
  if (old_server_lacks(FEATURE_WRITE_ACKNOWLEDGEMENT)) {
    report(status, "Feature not remotely available", kNotAvailable);
    return records;
  }
  Message request = new_request(COMMAND_WRITE_ACKNOWLEDGE, wire::kHeaderSize);
  Transport::StatusCode received;
  Message reply = exchange(request, COMMAND_WRITE_ACKNOWLEDGE, wire::kAcknowledgeRecords, &received);
  if (reply.null()) {
    if (status) *status = std::move(received);
    return records;
  }
  const char* bytes = reply.buffer();
  uint64_t count = DecodeFixed64BE(bytes + wire::kAcknowledgeCount);
  // The count must fit the bytes that arrived; it is never trusted further.
  uint64_t room = (reply.size() - wire::kAcknowledgeRecords) / wire::kAcknowledgeRecordSize;
  if (count > room) {
    report(status,
           "Acknowledgement reply declares " + std::to_string(count) + " records but holds " +
               std::to_string(room),
           kProtocolError);
    return records;
  }
  // A record that failed counts even if the reply's tally says otherwise.
  has_failures = DecodeFixed64BE(bytes + wire::kAcknowledgeFailures) != 0;
  records.reserve(count);
  const char* record = bytes + wire::kAcknowledgeRecords;
  for (uint64_t i = 0; i < count; ++i, record += wire::kAcknowledgeRecordSize) {
    tarvelo_write_acknowledgement_t ack;
    ack.offset = static_cast<int64_t>(DecodeFixed64BE(record));
    ack.length = static_cast<int64_t>(DecodeFixed64BE(record + 8));
    ack.status = static_cast<tarvelo_protocol_status_t>(record[16]);
    if (ack.status != STATUS_SUCCESS) has_failures = true;
    records.push_back(ack);
  }
  if (status) *status = std::move(received);
  return records;
}

Transport::StatusCode TarveloFTPClient::pipeline(tarvelo_protocol_command_t command, std::size_t count,
                                                 std::size_t depth,
                                                 const std::function<Message(std::size_t)>& make_request,
                                                 const ReplyCheck& on_reply) {
  return stream(
      command, depth,
      [&](std::size_t i, Message& request, SocketImpl::Placement&, Transport::StatusCode&) {
        if (i >= count) return false;
        request = make_request(i);
        return true;
      },
      [&](std::size_t i, const Message& reply, bool, Transport::StatusCode& failure) {
        return on_reply(i, reply, failure);
      });
}

Transport::StatusCode TarveloFTPClient::stream(
    tarvelo_protocol_command_t command, std::size_t depth,
    const std::function<bool(std::size_t, Message&, SocketImpl::Placement&, Transport::StatusCode&)>& produce,
    const std::function<bool(std::size_t, const Message&, bool, Transport::StatusCode&)>& on_reply) {
  if (m_closed || !m_socket) return make_status("", kClientClosed);
  depth = std::max<std::size_t>(depth, 1);
  std::size_t sent = 0;
  std::size_t received = 0;
  // Replies still in flight when something goes wrong would be taken for
  // the replies of later requests: the connection cannot be used again.
  auto fail = [&](Transport::StatusCode failure) {
    if (sent > received) {
      (void)m_socket->close();
      m_closed = true;
      failure.text += " (connection closed: replies were still in flight)";
    }
    return failure;
  };
  // Requests go out in batches (refilled when half the window is answered)
  // so that a batch costs the socket one write.
  std::vector<Message> batch;
  // Where the replies in flight go, in order.
  std::deque<SocketImpl::Placement> placements;
  for (;;) {
    if (sent - received <= depth / 2) {
      batch.clear();
      Transport::StatusCode refused;
      try {
        for (Message request; sent + batch.size() - received < depth;) {
          SocketImpl::Placement placement{0, nullptr, 0};
          if (!produce(sent + batch.size(), request, placement, refused)) break;
          batch.push_back(std::move(request));
          placements.push_back(placement);
        }
      } catch (...) {
        (void)fail(make_status("", kProtocolError));
        throw;
      }
      if (refused.code < 0) return fail(std::move(refused));
      if (!batch.empty()) {
        Transport::StatusCode send_status = m_socket->send_all(batch);
        sent += batch.size();  // on failure some may be out: the connection is unusable
        if (send_status.code < 0) return fail(std::move(send_status));
      }
    }
    if (sent == received) break;
    Transport::StatusCode receive_status;
    const SocketImpl::Placement placement = placements.front();
    placements.pop_front();
    bool placed = false;
    Message reply = placement.tail ? m_socket->receive_placed(placement, placed, &receive_status)
                                   : m_socket->receive(&receive_status);
    if (reply.null()) {
      if (receive_status.code >= 0)
        receive_status = make_status("No response to " + Protocol::to_string(command), kNoResponse);
      return fail(std::move(receive_status));
    }
    auto actual = static_cast<uint8_t>(reply.buffer()[wire::kCommand]);
    if (actual != command)
      return fail(make_status(client_detail::wrong_command_text(command, actual), kProtocolError));
    Transport::StatusCode failure;
    bool accepted = false;
    try {
      accepted = on_reply(received, reply, placed, failure);
    } catch (...) {
      (void)fail(make_status("", kProtocolError));
      throw;
    }
    if (!accepted) return fail(std::move(failure));
    ++received;
  }
  return make_status("Received", 0);
}

Transport::StatusCode TarveloFTPClient::read_ranges(const std::vector<HashRange>& ranges, std::size_t depth,
                                                    const ReadSink& sink) {
  // All are checked before any is sent, so a bad one costs no connection.
  for (const HashRange& range : ranges)
    if (!readable(range)) return out_of_bounds(range);
  std::size_t next = 0;
  return read_stream(
      depth,
      [&](HashRange& range, char*&) {
        if (next == ranges.size()) return false;
        range = ranges[next++];
        return true;
      },
      sink);
}

bool TarveloFTPClient::readable(const HashRange& range) const {
  return range.offset >= 0 && range.length > 0 && range.length <= kMaxRequestLength && range.offset <= size() &&
         range.length <= size() - range.offset;
}

Transport::StatusCode TarveloFTPClient::out_of_bounds(const HashRange& range) {
  return make_status("Request is out of bounds: " + std::to_string(range.offset) + "+" + std::to_string(range.length),
                     kOutOfBounds);
}

Transport::StatusCode TarveloFTPClient::read_stream(std::size_t depth, const RangeSource& next,
                                                    const ReadSink& sink) {
  struct Asked {
    HashRange range;
    char* destination;
  };
  // The ranges in flight, in the order their replies come.
  std::deque<Asked> asked;
  return stream(
      COMMAND_READ, depth,
      [&](std::size_t, Message& request, SocketImpl::Placement& placement, Transport::StatusCode& failure) {
        HashRange range;
        char* destination = nullptr;
        if (!next(range, destination)) return false;
        if (!readable(range)) {
          failure = out_of_bounds(range);
          return false;
        }
        request = new_request(COMMAND_READ, wire::kHeaderSize);
        EncodeFixed64BE(request.buffer() + wire::kOffset, static_cast<uint64_t>(range.offset));
        EncodeFixed64BE(request.buffer() + wire::kLength, static_cast<uint64_t>(range.length));
        if (destination) placement = {wire::kReadData, destination, static_cast<std::size_t>(range.length)};
        asked.push_back({range, destination});
        return true;
      },
      [&](std::size_t, const Message& reply, bool placed, Transport::StatusCode& failure) {
        const HashRange range = asked.front().range;
        char* const destination = asked.front().destination;
        asked.pop_front();
        const char* bytes = reply.buffer();
        if (reply.size() < wire::kReadData) {
          failure = make_status("Response to COMMAND_READ too short: " + std::to_string(reply.size()) + " bytes",
                                kProtocolError);
          return false;
        }
        auto reply_status = static_cast<tarvelo_protocol_status_t>(bytes[wire::kReadStatus]);
        if (reply_status != STATUS_SUCCESS) {
          failure = make_status("Error during read: " + Protocol::to_string(reply_status), kNoResponse);
          return false;
        }
        // Every range is inside the image, so anything but all of it, at
        // the place asked for, is a fault.
        auto position = static_cast<int64_t>(DecodeFixed64BE(bytes + wire::kReadPosition));
        auto got = static_cast<int64_t>(DecodeFixed64BE(bytes + wire::kReadCount));
        if (position != range.offset || got != range.length ||
            (!placed && reply.size() - wire::kReadData < static_cast<uint64_t>(range.length))) {
          failure = make_status("Read reply at " + std::to_string(position) + " with " + std::to_string(got) +
                                    " bytes does not answer the request for " + std::to_string(range.length) +
                                    " bytes at " + std::to_string(range.offset),
                                kProtocolError);
          return false;
        }
        if (!sink(range.offset, placed ? destination : bytes + wire::kReadData, range.length)) {
          failure = make_status("Read stopped by the receiver", kProtocolError);
          return false;
        }
        return true;
      });
}

}  // namespace tarvelo
