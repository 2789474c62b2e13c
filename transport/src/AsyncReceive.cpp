#include "AsyncReceive.h"

#include <algorithm>

#include "ConnectionHello.h"
#include "SendQueue.h"
#include "SocketStatus.h"

namespace tarvelo::detail {
namespace {

using StatusCode = Transport::StatusCode;

// The rest of a frame this large is copied by the receive helper, when the
// socket has one; a smaller rest is not worth the hand-over.
constexpr std::size_t kHelpedReadSize = 64 * 1024;
// At most this much is copied at a time with the mutex held, so that the
// loop, wanting this connection's state, never waits long.
constexpr std::size_t kHelpedReadSlice = 256 * 1024;
// A job copies at most this much before it hands the rest of the frame to
// a job of its own, behind the others waiting: a 64 MiB request does not
// hold a worker from other connections' small ones for its whole length.
constexpr std::size_t kHelpedReadTurn = 2 * 1024 * 1024;

// On the loop, once a read has ended: the state's lock, or none when the
// socket closed meanwhile, which `done` has then been told.
std::unique_lock<std::mutex> lock_if_open(const std::shared_ptr<SocketState>& state, FrameHandler& done) {
  std::unique_lock lock(state->mutex);
  if (state->closed || !state->stream) {
    lock.unlock();
    done(closed_status("Receive"), Message(), false);
  }
  return lock;
}

// A received frame into its message; one that cannot be decoded ends the
// connection. One receive at a time.
StatusCode decode_or_close(const std::shared_ptr<SocketState>& state, Message& frame) {
  StatusCode status = decode_frame(*state, frame);
  if (!status.ok()) close_now(state);
  return status;
}

// On the helper's thread: copies what has arrived of the frame's rest. A
// whole frame goes to `done` on the loop; when the peer has sent no more
// yet, the loop waits for it and hands the copying back.
void read_elsewhere(const std::shared_ptr<SocketState>& state, FrameHandler done) {
  std::unique_lock lock(state->mutex);
  asio::error_code error;
  std::size_t copied = 0;
  while (!state->closed && state->stream) {
    if (copied >= kHelpedReadTurn) {
      state->receive_helper([state, done = std::move(done)]() mutable { read_elsewhere(state, std::move(done)); });
      return;
    }
    ReadAhead::Space space = state->read_ahead.space();
    const std::size_t count =
        state->stream->read_now(asio::buffer(space.data, std::min(space.size, kHelpedReadSlice)), error);
    if (error) break;
    if (count == 0) {
      asio::post(*state->io, [state, done = std::move(done)]() mutable {
        if (auto loop_lock = lock_if_open(state, done)) read_frame_locked(state, std::move(done), true);
      });
      return;
    }
    state->read_ahead.filled(count);
    copied += count;
    Message frame;
    if (count < space.size) {
      lock.unlock();
      lock.lock();
    } else if (!state->codec || !state->layers_ready || state->read_ahead.next(frame) != ReadAhead::Next::kFrame) {
      read_frame_locked(state, std::move(done));
      return;
    } else {
      // A message's layers are taken off here too: decrypting is most of
      // what an encrypted frame costs. No other receive decodes meanwhile.
      lock.unlock();
      StatusCode status = decode_or_close(state, frame);
      asio::post(*state->io, [done = std::move(done), status, frame = std::move(frame)]() mutable {
        done(status, status.ok() ? std::move(frame) : Message(), true);
      });
      return;
    }
  }
  lock.unlock();
  StatusCode status = error ? failure(error, "Receive") : closed_status("Receive");
  asio::post(*state->io, [done = std::move(done), status]() mutable { done(status, Message(), false); });
}

void finish_receive(const std::shared_ptr<SocketState>& state, SocketImpl::ReceiveHandler& handler,
                    Message message, StatusCode status) {
  state->receiving = false;
  if (state->owner) handler(*state->owner, std::move(message), std::move(status));
}

// Reads one message, decoding it when layers are on; the mutex is held by
// the caller and the stream is open.
void receive_message_locked(const std::shared_ptr<SocketState>& state,
                            SocketImpl::ReceiveHandler handler) {
  read_frame_locked(state, [state, handler = std::move(handler)](StatusCode status, Message frame, bool decoded) mutable {
    if (status.ok() && !decoded) status = decode_or_close(state, frame);
    finish_receive(state, handler, status.ok() ? std::move(frame) : Message(), std::move(status));
  });
}

}  // namespace

void read_frame_locked(const std::shared_ptr<SocketState>& state, FrameHandler done, bool wait_first) {
  Message frame;
  switch (state->read_ahead.next(frame)) {
    case ReadAhead::Next::kFrame:
      asio::post(*state->io, [done = std::move(done), frame]() mutable {
        done(success("Received"), std::move(frame), false);
      });
      return;
    case ReadAhead::Next::kTooLarge: {
      StatusCode status = frame_too_large(state->read_ahead.declared_length(), state->read_ahead.maximum());
      close_locked(state);
      asio::post(*state->io, [done = std::move(done), status]() mutable { done(status, Message(), false); });
      return;
    }
    case ReadAhead::Next::kRead:
      break;
  }
  ReadAhead::Space space = state->read_ahead.space();
  const bool helped = space.exact && space.size >= kHelpedReadSize && state->receive_helper &&
                      state->stream->native_handle() >= 0;
  if (helped && !wait_first) {
    state->receive_helper([state, done = std::move(done)]() mutable { read_elsewhere(state, std::move(done)); });
    return;
  }
  auto on_read = [state, done = std::move(done)](const asio::error_code& error, std::size_t count) mutable {
    if (error) {
      done(failure(error, "Receive"), Message(), false);
      return;
    }
    auto lock = lock_if_open(state, done);
    if (!lock) return;
    state->read_ahead.filled(count);
    read_frame_locked(state, std::move(done));
  };
  if (helped)
    state->stream->async_wait_readable(std::move(on_read));
  else if (space.exact)
    state->stream->async_read(asio::buffer(space.data, space.size), std::move(on_read));
  else
    state->stream->async_read_some(asio::buffer(space.data, space.size), std::move(on_read));
}

void async_receive(const std::shared_ptr<SocketState>& state, SocketImpl::ReceiveHandler handler) {
  std::lock_guard lock(state->mutex);
  if (state->closed || !state->stream) {
    post_failure(state, [handler](SocketImpl& self) {
      handler(self, Message(), closed_status("Receive"));
    });
    return;
  }
  state->receiving = true;
  if (state->layers_ready) {
    receive_message_locked(state, std::move(handler));
    return;
  }
  // An accepted connection with layers answers the hello first; sends
  // queued meanwhile start after it.
  async_exchange_hello(state, [state, handler = std::move(handler)](StatusCode status) mutable {
    std::unique_lock lock(state->mutex);
    if (status.ok() && (state->closed || !state->stream)) status = closed_status("Receive");
    if (!status.ok()) {
      lock.unlock();
      finish_receive(state, handler, Message(), std::move(status));
      return;
    }
    state->layers_ready = true;
    flush_sends_locked(state);
    receive_message_locked(state, std::move(handler));
  });
}

bool take_ready(const std::shared_ptr<SocketState>& state, Message& message) {
  Message frame;
  {
    std::lock_guard lock(state->mutex);
    // A receive under way reads into the read-ahead and comes first.
    if (state->closed || !state->stream || !state->layers_ready || state->receiving) return false;
    if (state->read_ahead.next(frame) != ReadAhead::Next::kFrame) return false;
  }
  if (!decode_or_close(state, frame).ok()) return false;
  message = std::move(frame);
  return true;
}

}  // namespace tarvelo::detail
