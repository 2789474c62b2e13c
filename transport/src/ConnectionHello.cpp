#include "ConnectionHello.h"

#include <optional>

#include <tarvelo/Coding.h>

#include "AsyncReceive.h"
#include "BlockingCalls.h"
#include "SocketStatus.h"

namespace tarvelo::detail {
namespace {

using StatusCode = Transport::StatusCode;
using HelloDone = std::function<void(StatusCode)>;

// One side's next move: write `send` when it is not null, then read the
// peer's frame and take the step after it, or end with `status`.
struct HelloStep {
  Message send;
  bool read = false;
  StatusCode status{"Connection hello done", 0};
};

HelloStep first_step(MessageCodec& codec) {
  HelloStep step;
  if (codec.role() == MessageCodec::Role::kClient) step.send = codec.client_hello();
  step.read = true;
  return step;
}

HelloStep step_after(MessageCodec& codec, const Message& frame) {
  HelloStep step;
  if (codec.role() == MessageCodec::Role::kClient)
    step.status = codec.finish_client_hello(frame);
  else
    step.status = codec.answer_hello(frame, step.send);  // a refusal is sent too
  return step;
}

// Takes `step` on the io thread; the mutex is held by the caller. Returns
// the outcome when the exchange ends here, for the caller to hand to `done`
// once it released the mutex.
std::optional<StatusCode> async_step_locked(const std::shared_ptr<SocketState>& state,
                                            HelloStep step, HelloDone done) {
  if (state->closed || !state->stream) {
    close_locked(state);
    return step.status.ok() ? closed_status("Receive") : step.status;
  }
  if (!step.send.null()) {
    EncodeFixed64BE(reinterpret_cast<char*>(state->hello_header), step.send.size());
    Buffers buffers{asio::buffer(state->hello_header),
                    asio::buffer(step.send.buffer(), step.send.size())};
    state->stream->async_write(buffers, [state, step, done = std::move(done)](
                                            const asio::error_code& error, std::size_t) mutable {
      std::unique_lock lock(state->mutex);
      std::optional<StatusCode> finished;
      if (error || !step.status.ok()) {
        close_locked(state);
        finished = !step.status.ok() ? step.status : failure(error, "Receive");
      } else {
        step.send = Message();
        finished = async_step_locked(state, std::move(step), done);
      }
      lock.unlock();
      if (finished) done(std::move(*finished));
    });
    return std::nullopt;
  }
  if (!step.read) {
    if (!step.status.ok()) close_locked(state);
    return step.status;
  }
  read_frame_locked(state, [state, done = std::move(done)](StatusCode status, Message frame, bool) mutable {
    if (!status.ok()) {
      done(std::move(status));
      return;
    }
    HelloStep next = step_after(*state->codec, frame);
    std::unique_lock lock(state->mutex);
    std::optional<StatusCode> finished = async_step_locked(state, std::move(next), done);
    lock.unlock();
    if (finished) done(std::move(*finished));
  });
  return std::nullopt;
}

}  // namespace

HelloOutcome exchange_hello(SocketState& state, Stream& stream) {
  HelloStep step = first_step(*state.codec);
  for (;;) {
    if (!step.send.null()) {
      StatusCode sent = write_frame(stream, step.send, step.send.size());
      // A refusal says more than a failure to send it.
      if (!sent.ok() && step.status.ok()) return {sent, false};
    }
    if (!step.read) return {step.status, true};
    StatusCode received;
    Message frame = read_frame(state, stream, received);
    if (!received.ok()) return {received, false};
    step = step_after(*state.codec, frame);
  }
}

void async_exchange_hello(const std::shared_ptr<SocketState>& state, HelloDone done) {
  std::optional<StatusCode> finished = async_step_locked(state, first_step(*state->codec), done);
  if (finished) post_failure(state, [done, status = *finished](SocketImpl&) { done(status); });
}

}  // namespace tarvelo::detail
