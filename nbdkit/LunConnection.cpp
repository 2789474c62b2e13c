#include "LunConnection.h"

#include <cerrno>
#include <cstring>
#include <thread>

namespace tarvelo::nbd {

namespace {

// Bytes per READ request of a pipeline; NBD requests above it are split,
// which also lets several sessions share a large one.
constexpr uint64_t kReadPiece = 1 << 20;
// READ requests of a pipeline in flight at once: a batch of nbdkit's
// largest requests is megabytes, which need not all wait on the server.
constexpr std::size_t kReadDepth = 64;
// Bytes per WRITE request, of data or of zeros.
constexpr uint64_t kWritePiece = 4 << 20;
// The server keeps the outcomes of the last 200000 writes; collect them
// well before older ones would be dropped unread.
constexpr uint64_t kCollectEvery = 100000;

std::string failed_writes_text(const std::vector<std::string>& failed) {
  std::string text = std::to_string(failed.size()) + " write(s) failed on the server:";
  for (std::size_t i = 0; i < failed.size() && i < 8; ++i) text += " " + failed[i];
  if (failed.size() > 8) text += " ...";
  return text;
}

}  // namespace

LunConnection::LunConnection(tools::Remote remote, int sessions) : m_remote(std::move(remote)) {
  m_clients = tools::open_sessions(m_remote, tools::open_remote(m_remote), std::max(1, sessions));
  m_size = m_clients[0]->size();
  m_features = m_clients[0]->server_features();
  m_carrier = std::thread([this] { carry_all(); });
}

LunConnection::~LunConnection() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_queued.notify_one();
  m_carrier.join();
  for (auto& client : m_clients)
    if (client && !client->is_closed()) (void)client->close();
}

int LunConnection::read(void* buffer, uint32_t count, uint64_t offset, std::string& error) {
  return submit(Kind::Read, static_cast<char*>(buffer), offset, count, false, error);
}

int LunConnection::write(const void* buffer, uint32_t count, uint64_t offset, std::string& error) {
  // Only read; the request type is shared with reads.
  return submit(Kind::Write, static_cast<char*>(const_cast<void*>(buffer)), offset, count, false, error);
}

int LunConnection::punch(uint32_t count, uint64_t offset, bool zeros_otherwise, std::string& error) {
  return submit(Kind::Punch, nullptr, offset, count, zeros_otherwise, error);
}

int LunConnection::write_zeros(uint32_t count, uint64_t offset, std::string& error) {
  return submit(Kind::Zeros, nullptr, offset, count, false, error);
}

int LunConnection::flush(std::string& error) { return submit(Kind::Flush, nullptr, 0, 0, false, error); }

int LunConnection::submit(Kind kind, char* buffer, uint64_t offset, uint64_t count, bool zeros_otherwise,
                          std::string& error) {
  Request request;
  request.kind = kind;
  request.buffer = buffer;
  request.offset = offset;
  request.count = count;
  request.zeros_otherwise = zeros_otherwise;
  request.unread = count;
  std::unique_lock lock(m_mutex);
  m_waiting.push_back(&request);
  // The carrier waits only when nothing else is queued.
  if (m_waiting.size() == 1) m_queued.notify_one();
  request.wake.wait(lock, [&] { return request.done; });
  error = std::move(request.error);
  return request.error_number;
}

void LunConnection::complete(Request& request) {
  std::lock_guard lock(m_mutex);
  request.done = true;
  request.wake.notify_one();
}

void LunConnection::fail(Request& request, const std::string& what, const Transport::StatusCode& status) {
  request.error_number = EIO;
  request.error = what + ": " +
                  (status.code == TarveloFTPClient::kClientClosed ? "the session ended after an earlier failure"
                                                                  : status.text);
}

void LunConnection::carry_all() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_queued.wait(lock, [&] { return m_stopping || !m_waiting.empty(); });
    if (m_waiting.empty()) return;
    Request& request = *m_waiting.front();
    m_waiting.pop_front();
    lock.unlock();
    if (request.kind == Kind::Read) {
      carry_reads(request);
    } else {
      // Nothing may end this thread but the destructor.
      try {
        carry_change(request);
      } catch (const std::exception& thrown) {
        request.error_number = EIO;
        request.error = thrown.what();
      }
      complete(request);
    }
    lock.lock();
  }
}

void LunConnection::carry_change(Request& request) {
  if (request.kind == Kind::Flush) {
    carry_flush(request);
    return;
  }
  // A write lost earlier spoils what follows until a flush reports it.
  if (!m_failed_writes.empty()) {
    request.error_number = EIO;
    request.error = failed_writes_text(m_failed_writes);
    return;
  }
  if (request.kind == Kind::Punch)
    carry_punch(request);
  else
    carry_write(request);
  if (request.error_number == 0 && m_unacknowledged >= kCollectEvery) collect(request);
}

void LunConnection::carry_reads(Request& first) {
  bool shared = !m_unseen && m_clients.size() > 1;
  if (!shared) {
    stream_reads(first);
  } else {
    // The reads queued behind it go with it.
    std::vector<Request*> reads{&first};
    {
      std::lock_guard lock(m_mutex);
      while (!m_waiting.empty() && m_waiting.front()->kind == Kind::Read) {
        reads.push_back(m_waiting.front());
        m_waiting.pop_front();
      }
    }
    try {
      share_reads(reads);
    } catch (const std::exception& thrown) {
      for (Request* read : reads) fail(*read, "reading failed", {thrown.what(), TarveloFTPClient::kProtocolError});
    }
    for (Request* read : reads) complete(*read);
  }
  // Answered behind the writes, which a server writing directly has done.
  if ((m_features & FEATURE_BLOCK_HASH_STORAGE) == 0) m_unseen = false;
}

void LunConnection::stream_reads(Request& first) {
  struct Piece {
    Request* request;
    char* destination;
  };
  std::deque<Piece> in_flight;          // in the order of their replies
  std::deque<Request*> unsent{&first};  // reads with pieces not yet asked for
  uint64_t asked = 0;                   // bytes asked for of unsent.front()
  Transport::StatusCode status;
  try {
    status = m_clients[0]->read_stream(
        kReadDepth,
        [&](TarveloFTPClient::HashRange& range, char*& destination) {
          for (;;) {
            if (unsent.empty()) {
              std::lock_guard lock(m_mutex);
              if (m_waiting.empty() || m_waiting.front()->kind != Kind::Read) return false;
              unsent.push_back(m_waiting.front());
              m_waiting.pop_front();
            }
            Request& read = *unsent.front();
            if (read.count == 0) {  // nothing to ask for
              unsent.pop_front();
              complete(read);
              continue;
            }
            uint64_t length = std::min(kReadPiece, read.count - asked);
            range = {static_cast<long>(read.offset + asked), static_cast<long>(length)};
            destination = read.buffer + asked;
            in_flight.push_back({&read, destination});
            asked += length;
            if (asked == read.count) {
              unsent.pop_front();
              asked = 0;
            }
            return true;
          }
        },
        [&](long, const char* data, long length) {
          Piece piece = in_flight.front();
          in_flight.pop_front();
          if (data != piece.destination) std::memcpy(piece.destination, data, static_cast<std::size_t>(length));
          piece.request->unread -= static_cast<uint64_t>(length);
          if (piece.request->unread == 0) complete(*piece.request);
          return true;
        });
  } catch (const std::exception& thrown) {
    // The client closed the session: what is in flight is lost.
    status = {thrown.what(), TarveloFTPClient::kProtocolError};
  }
  if (status.code >= 0) return;
  // Every read not done: those in flight, then those not yet sent in full
  // (the first of which may be the last in flight).
  std::vector<Request*> broken;
  for (const Piece& piece : in_flight)
    if (broken.empty() || broken.back() != piece.request) broken.push_back(piece.request);
  for (Request* read : unsent)
    if (broken.empty() || broken.back() != read) broken.push_back(read);
  for (Request* read : broken) {
    fail(*read, "reading failed", status);
    complete(*read);
  }
}

void LunConnection::share_reads(const std::vector<Request*>& reads) {
  // Every read in pieces, each piece knowing where its bytes go.
  std::vector<TarveloFTPClient::HashRange> ranges;
  std::vector<char*> destinations;
  for (Request* request : reads)
    for (uint64_t done = 0; done < request->count; done += kReadPiece) {
      uint64_t length = std::min(kReadPiece, request->count - done);
      ranges.push_back({static_cast<long>(request->offset + done), static_cast<long>(length)});
      destinations.push_back(request->buffer + done);
    }
  // Sessions that broke are left out; the first is always asked, so that
  // its failure is reported.
  std::vector<TarveloFTPClient*> sessions{m_clients[0].get()};
  for (std::size_t i = 1; i < m_clients.size(); ++i)
    if (!m_clients[i]->is_closed()) sessions.push_back(m_clients[i].get());
  std::size_t share = (ranges.size() + sessions.size() - 1) / sessions.size();
  std::vector<Transport::StatusCode> statuses(sessions.size());
  std::vector<std::thread> helpers;
  for (std::size_t i = sessions.size(); i-- > 0;) {
    std::size_t first = std::min(ranges.size(), i * share), last = std::min(ranges.size(), first + share);
    auto run = [&, i, first, last] {
      statuses[i] = read_on(*sessions[i], {ranges.begin() + first, ranges.begin() + last},
                            {destinations.begin() + first, destinations.begin() + last});
    };
    if (i == 0)
      run();
    else if (first < last)
      helpers.emplace_back(run);
  }
  for (std::thread& helper : helpers) helper.join();
  for (const Transport::StatusCode& status : statuses)
    if (status.code < 0) {
      for (Request* request : reads) fail(*request, "reading failed", status);
      return;
    }
}

Transport::StatusCode LunConnection::read_on(TarveloFTPClient& client,
                                             const std::vector<TarveloFTPClient::HashRange>& ranges,
                                             const std::vector<char*>& destinations) {
  std::size_t asked = 0, arrived = 0;
  return client.read_stream(
      kReadDepth,
      [&](TarveloFTPClient::HashRange& range, char*& destination) {
        if (asked == ranges.size()) return false;
        range = ranges[asked];
        destination = destinations[asked++];
        return true;
      },
      [&](long, const char* data, long length) {
        char* destination = destinations[arrived++];
        if (data != destination) std::memcpy(destination, data, static_cast<std::size_t>(length));
        return true;
      });
}

void LunConnection::carry_write(Request& request) {
  for (uint64_t done = 0; done < request.count; done += kWritePiece) {
    uint64_t length = std::min(kWritePiece, request.count - done);
    const char* data = request.kind == Kind::Write ? request.buffer + done : nullptr;
    Transport::StatusCode status;
    if (m_clients[0]->seek(static_cast<long>(request.offset + done), TARVELO_SEEK_SET) < 0) {
      request.error_number = EINVAL;
      request.error = "write outside the image at " + std::to_string(request.offset + done);
      return;
    }
    long sent = data ? m_clients[0]->write_in_place(data, static_cast<long>(length), &status)
                     : m_clients[0]->write_from(
                           static_cast<long>(length),
                           [](char* buffer, long n) {
                             std::memset(buffer, 0, static_cast<std::size_t>(n));
                             return true;
                           },
                           &status);
    if (sent != static_cast<long>(length)) {
      if (status.code >= 0) status = {"the write was cut short", TarveloFTPClient::kOutOfBounds};
      fail(request, "writing " + std::to_string(length) + " bytes at " + std::to_string(request.offset + done) +
                        " failed", status);
      return;
    }
    ++m_unacknowledged;
    m_changed = true;
    m_unseen = true;
  }
}

void LunConnection::carry_punch(Request& request) {
  if (can_punch()) {
    m_clients[0]->seek(static_cast<long>(request.offset), TARVELO_SEEK_SET);
    Transport::StatusCode status = m_clients[0]->hole_punch(static_cast<long>(request.count));
    if (status.code >= 0) {
      ++m_unacknowledged;
      m_changed = true;
      m_unseen = true;
      return;
    }
    // Refused (a file system or device that cannot punch): the session is
    // still good. Anything else broke it.
    if (status.code != TarveloFTPClient::kNotAvailable) {
      fail(request, "punching a hole failed", status);
      return;
    }
  }
  if (request.zeros_otherwise) carry_write(request);
}

bool LunConnection::collect(Request& request) {
  bool has_failures = false;
  Transport::StatusCode status;
  auto records = m_clients[0]->write_acknowledgement(has_failures, &status);
  if (status.code < 0) {
    fail(request, "collecting write acknowledgements failed", status);
    return false;
  }
  m_unacknowledged = 0;
  m_unseen = false;
  for (const auto& record : records)
    if (record.status != STATUS_SUCCESS) m_failed_writes.push_back(tools::describe_write_outcome(record));
  return true;
}

std::string LunConnection::finish() {
  // The carrier is idle; taking the lock orders what it did before this,
  // without holding it across the exchange below.
  { std::lock_guard idle(m_mutex); }
  Request request;
  if (m_unacknowledged > 0 && !m_clients[0]->is_closed() && !collect(request)) return request.error;
  return m_failed_writes.empty() ? std::string() : failed_writes_text(m_failed_writes);
}

void LunConnection::carry_flush(Request& request) {
  if (!collect(request)) return;
  // Against block-hash storage, collecting the outcomes committed the
  // writes, syncs included. A server writing directly syncs the image only
  // when a session ends; so end this one and open another.
  if (m_changed && (m_features & FEATURE_BLOCK_HASH_STORAGE) == 0) {
    Transport::StatusCode status = m_clients[0]->close();
    if (status.code < 0) {
      fail(request, "closing the session to sync the image failed", status);
      return;
    }
    try {
      m_clients[0] = tools::open_remote(m_remote);
    } catch (const tools::ToolError& reopen) {
      request.error_number = EIO;
      request.error = std::string("the image was synced, but reopening the session failed: ") + reopen.what();
      return;
    }
  }
  m_changed = false;
  if (!m_failed_writes.empty()) {
    request.error_number = EIO;
    request.error = failed_writes_text(m_failed_writes);
    m_failed_writes.clear();
  }
}

}  // namespace tarvelo::nbd
