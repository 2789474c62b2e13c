#pragma once

// What the parts of a BasicSocket connection share: its stream, layers,
// read-ahead and send queue. Internal to the transport library.

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

#include <tarvelo/BasicSocket.h>

#include "FrameParser.h"
#include "MessageCodec.h"
#include "ReadAhead.h"
#include "Stream.h"

namespace tarvelo::detail {

struct PendingSend {
  Message message;
  SocketImpl::SendHandler handler;
  // What goes on the wire: the message itself, or its encoding by the layers
  // (made when the send starts, so that nonces follow the order of writes).
  Message frame;
  std::size_t length = 0;
  bool encoded = false;
  // Bytes of the header and frame already on the wire, written by send_now
  // before the rest was queued; only the oldest queued send has any.
  std::size_t sent = 0;
  unsigned char header[kFrameHeaderSize];
};

// Everything a socket's completions touch. Pending completions keep it (and
// so the stream their operations use) alive; once the BasicSocket is gone,
// owner is null and they do nothing. The io_context is owned by the
// BasicSocket objects that share it, never by this state, so that destroying
// the io_context destroys pending completions and with them the states.
struct SocketState {
  asio::io_context* io = nullptr;
  std::unique_ptr<Transport> transport;
  SocketOptions options;
  // The layers of the current connection; null when none is on.
  std::unique_ptr<MessageCodec> codec;
  // Guards stream, acceptor, closed, the send queue and the read-ahead of
  // asynchronous receives against close() from another thread; never held
  // while a user handler runs. (Blocking calls are the client's own.)
  std::mutex mutex;
  std::deque<PendingSend> send_queue;
  // The small frames of the write under way, copied together
  // (kCopiedFrameSize).
  std::vector<char> gathered;
  ReadAhead read_ahead;
  // Copies large frames' bytes off the loop; none: the loop does.
  SocketImpl::Helper receive_helper;
  // Longest wait for data in a blocking receive; 0: no limit.
  int receive_timeout_ms = 0;
  unsigned char hello_header[kFrameHeaderSize] = {};
  // False on an accepted connection until its hello is answered; sends wait.
  bool layers_ready = true;
  // Destroyed before the queue, read-ahead and header that pending
  // operations use.
  std::unique_ptr<Stream> stream;
  std::unique_ptr<Acceptor> acceptor;
  SocketImpl* owner = nullptr;
  bool closed = false;
  std::atomic<bool> receiving{false};
  std::atomic<bool> sending{false};
};

// Largest frame a peer may send on the current connection.
inline std::size_t max_frame_size(const SocketState& state) {
  return state.codec ? MessageCodec::max_frame_size() : kMaxMessageSize;
}

// A received frame into its message, through the layers when they are on.
[[nodiscard]] inline Transport::StatusCode decode_frame(SocketState& state, Message& frame) {
  if (!state.codec) return {"Received", 0};
  Message message;
  Transport::StatusCode status = state.codec->decode(frame, message);
  frame = std::move(message);
  return status;
}

// Calls a handler later on the io thread, so that a failure reported at once
// does not re-enter the caller.
template <typename Call>
void post_failure(const std::shared_ptr<SocketState>& state, Call call) {
  asio::post(*state->io, [state, call = std::move(call)]() mutable {
    if (state->owner) call(*state->owner);
  });
}

// Closes the stream or acceptor; the mutex is held by the caller. Sends that
// never started fail later, on the io thread; a started one fails through
// its own completion.
void close_locked(const std::shared_ptr<SocketState>& state);
// As close_locked, taking the mutex; nothing when already closed.
void close_now(const std::shared_ptr<SocketState>& state);

}  // namespace tarvelo::detail
