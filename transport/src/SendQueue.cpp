#include "SendQueue.h"

#include <algorithm>
#include <array>

#include <tarvelo/Coding.h>

#include "SocketStatus.h"

namespace tarvelo::detail {
namespace {

using StatusCode = Transport::StatusCode;

void start_next_send(const std::shared_ptr<SocketState>& state);

// How long send_now waits for room at a time before it asks whether to go
// on waiting.
constexpr int kSendWaitSliceMs = 2;

// The buffers without their first `bytes` bytes.
Buffers drop_front(const Buffers& buffers, std::size_t bytes) {
  Buffers rest;
  for (const asio::const_buffer& buffer : buffers) {
    if (bytes >= buffer.size()) {
      bytes -= buffer.size();
      continue;
    }
    rest.push_back(asio::buffer(static_cast<const char*>(buffer.data()) + bytes, buffer.size() - bytes));
    bytes = 0;
  }
  return rest;
}

// The write chain: a finished write hands its messages' handlers the result
// and starts the next write while anything is queued.
void finish_send(const std::shared_ptr<SocketState>& state, std::size_t count,
                 const asio::error_code& error) {
  std::unique_lock lock(state->mutex);
  std::vector<PendingSend> done;
  done.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    done.push_back(std::move(state->send_queue.front()));
    state->send_queue.pop_front();
  }
  if (!state->send_queue.empty() && !state->closed && state->stream)
    start_next_send(state);
  else
    state->sending = false;
  // Sends left behind on a closed socket fail now rather than never.
  std::deque<PendingSend> abandoned;
  if (state->closed || !state->stream) abandoned.swap(state->send_queue);
  lock.unlock();
  for (auto& sent : done)
    if (state->owner) sent.handler(*state->owner, error ? failure(error, "Send") : success("Sent"));
  for (auto& pending : abandoned)
    if (state->owner) pending.handler(*state->owner, closed_status("Send"));
}

// Starts writing the oldest queued messages, small ones gathered into one
// write; the mutex is held by the caller.
void start_next_send(const std::shared_ptr<SocketState>& state) {
  constexpr std::size_t kMostGathered = 64;
  constexpr std::size_t kGatherBytes = 256 * 1024;
  // Where each buffer lies: in `gathered` (small frames, copied: an offset,
  // as the vector grows) or in place.
  struct Piece {
    const void* at;
    std::size_t offset;
    std::size_t size;
  };
  std::vector<Piece> pieces;
  std::vector<char>& gathered = state->gathered;
  gathered.clear();
  std::size_t count = 0;
  std::size_t bytes = 0;
  for (PendingSend& next : state->send_queue) {
    if (count > 0 && (count == kMostGathered || bytes + next.message.size() > kGatherBytes)) break;
    if (!next.encoded) {
      next.encoded = true;
      StatusCode encoded = state->codec->encode(next.message, next.frame, next.length);
      if (!encoded.ok()) {
        close_locked(state);
        return;
      }
      EncodeFixed64BE(reinterpret_cast<char*>(next.header), next.length);
    }
    if (next.sent > 0) {
      // The rest of a frame whose start send_now wrote.
      if (next.sent < sizeof next.header)
        pieces.push_back({next.header + next.sent, 0, sizeof next.header - next.sent});
      const std::size_t past = next.sent > sizeof next.header ? next.sent - sizeof next.header : 0;
      pieces.push_back({next.frame.buffer() + past, 0, next.length - past});
    } else if (next.length <= kCopiedFrameSize) {
      if (pieces.empty() || pieces.back().at != nullptr) pieces.push_back({nullptr, gathered.size(), 0});
      const std::size_t before = gathered.size();
      append_frame(gathered, next.frame.buffer(), next.length);
      pieces.back().size += gathered.size() - before;
    } else {
      pieces.push_back({next.header, 0, sizeof next.header});
      pieces.push_back({next.frame.buffer(), 0, next.length});
    }
    ++count;
    bytes += next.length;
  }
  Buffers buffers;
  for (const Piece& piece : pieces)
    buffers.push_back(piece.at ? asio::buffer(piece.at, piece.size)
                               : asio::buffer(gathered.data() + piece.offset, piece.size));
  state->sending = true;
  state->stream->async_write(buffers, [state, count](const asio::error_code& error, std::size_t) {
    finish_send(state, count, error);
  });
}

// Queues one message behind the others; the mutex is held by the caller and
// the socket is open.
void queue_locked(SocketState& state, Message& message, SocketImpl::SendHandler handler) {
  PendingSend& pending = state.send_queue.emplace_back();
  pending.message = message;
  pending.handler = std::move(handler);
  if (!state.codec) {
    pending.frame = message;
    pending.length = message.size();
    pending.encoded = true;
    EncodeFixed64BE(reinterpret_cast<char*>(pending.header), message.size());
  }
}

// Fails the sends at once when nothing can be queued; the mutex is held by
// the caller.
bool refused_locked(const std::shared_ptr<SocketState>& state, std::size_t largest,
                    const SocketImpl::SendHandler& handler) {
  if (largest <= kMaxMessageSize && !state->closed && state->stream) return false;
  StatusCode status =
      largest > kMaxMessageSize ? frame_too_large(largest, kMaxMessageSize) : closed_status("Send");
  post_failure(state, [handler, status](SocketImpl& self) { handler(self, status); });
  return true;
}

// Refuses the sends as refused_locked does, and completes an empty list at
// once; the mutex is held by the caller.
bool refused_or_none_locked(const std::shared_ptr<SocketState>& state, const std::vector<Message>& messages,
                            const SocketImpl::SendHandler& handler) {
  std::size_t largest = 0;
  for (const Message& message : messages) largest = std::max(largest, message.size());
  if (refused_locked(state, largest, handler)) return true;
  if (!messages.empty()) return false;
  post_failure(state, [handler](SocketImpl& self) { handler(self, success("Sent")); });
  return true;
}

// Queues messages[first...] in order, the handler called once after the
// last with the first failure if any; the mutex is held by the caller.
void queue_all_locked(SocketState& state, std::vector<Message>& messages, std::size_t first,
                      SocketImpl::SendHandler handler) {
  auto first_failure = std::make_shared<StatusCode>(success("Sent"));
  for (std::size_t i = first; i + 1 < messages.size(); ++i)
    queue_locked(state, messages[i], [first_failure](SocketImpl&, StatusCode status) {
      if (!status.ok() && first_failure->ok()) *first_failure = std::move(status);
    });
  queue_locked(state, messages.back(),
               [first_failure, handler = std::move(handler)](SocketImpl& self, StatusCode status) {
                 if (!first_failure->ok()) status = *first_failure;
                 handler(self, std::move(status));
               });
}

}  // namespace

void flush_sends_locked(const std::shared_ptr<SocketState>& state) {
  if (!state->sending && !state->send_queue.empty() && state->layers_ready && !state->closed &&
      state->stream)
    start_next_send(state);
}

void async_send(const std::shared_ptr<SocketState>& state, Message& message,
                SocketImpl::SendHandler handler) {
  std::lock_guard lock(state->mutex);
  if (refused_locked(state, message.size(), handler)) return;
  queue_locked(*state, message, std::move(handler));
  flush_sends_locked(state);
}

void async_send_all(const std::shared_ptr<SocketState>& state, std::vector<Message>& messages,
                    SocketImpl::SendHandler handler) {
  std::lock_guard lock(state->mutex);
  if (refused_or_none_locked(state, messages, handler)) return;
  // Every message is queued before the first write starts, so that the
  // write gathers as many of them as it may.
  queue_all_locked(*state, messages, 0, std::move(handler));
  flush_sends_locked(state);
}

void send_now(const std::shared_ptr<SocketState>& state, std::vector<Message>& messages,
              SocketImpl::SendHandler handler, const std::function<bool()>& keep_waiting) {
  std::unique_lock lock(state->mutex);
  if (refused_or_none_locked(state, messages, handler)) return;
  // On this thread only when nothing is queued before the messages; layers
  // encode frames in the order of the writes, on the loop, so a layered
  // connection always queues.
  std::size_t written = 0;
  if (!state->codec && !state->sending && state->send_queue.empty() && state->layers_ready) {
    std::vector<std::array<unsigned char, kFrameHeaderSize>> headers(messages.size());
    Buffers rest;
    std::size_t total = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
      EncodeFixed64BE(reinterpret_cast<char*>(headers[i].data()), messages[i].size());
      rest.push_back(asio::buffer(headers[i]));
      rest.push_back(asio::buffer(messages[i].buffer(), messages[i].size()));
      total += kFrameHeaderSize + messages[i].size();
    }
    Stream* stream = state->stream.get();
    for (;;) {
      asio::error_code error;
      const std::size_t now = stream->write_now(rest, error);
      if (error) {
        close_locked(state);
        post_failure(state, [handler, error](SocketImpl& self) { handler(self, failure(error, "Send")); });
        return;
      }
      written += now;
      if (written == total) break;
      rest = drop_front(rest, now);
      const int fd = stream->native_handle();
      if (fd < 0) break;
      // Nothing else sends on this socket while the call runs, so the queue
      // stays empty without the lock, which the loop's receives need.
      lock.unlock();
      const bool waiting = keep_waiting();
      if (waiting) poll_writable(fd, kSendWaitSliceMs);
      lock.lock();
      if (!waiting || state->closed) break;
      if (state->stream.get() != stream) {
        // Connected anew meanwhile: what is left belonged to the old one.
        post_failure(state, [handler](SocketImpl& self) { handler(self, closed_status("Send")); });
        return;
      }
    }
  }
  std::size_t first = 0;  // the first message not written whole
  std::size_t sent = 0;   // and how much of it was
  for (std::size_t before = 0; first < messages.size(); ++first) {
    const std::size_t size = kFrameHeaderSize + messages[first].size();
    if (written < before + size) {
      sent = written - before;
      break;
    }
    before += size;
  }
  if (first == messages.size()) {
    post_failure(state, [handler](SocketImpl& self) { handler(self, success("Sent")); });
    return;
  }
  if (refused_locked(state, 0, handler)) return;
  queue_all_locked(*state, messages, first, std::move(handler));
  state->send_queue[state->send_queue.size() - (messages.size() - first)].sent = sent;
  // The loop writes the rest: a stream's asynchronous calls are its own.
  asio::post(*state->io, [state] {
    std::lock_guard flush_lock(state->mutex);
    flush_sends_locked(state);
  });
}

void abandon_sends_locked(const std::shared_ptr<SocketState>& state) {
  if (state->sending || state->send_queue.empty()) return;
  auto abandoned = std::make_shared<std::deque<PendingSend>>();
  abandoned->swap(state->send_queue);
  post_failure(state, [abandoned](SocketImpl& self) {
    for (auto& pending : *abandoned) pending.handler(self, closed_status("Send"));
  });
}

}  // namespace tarvelo::detail
