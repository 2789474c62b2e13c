#include "BlockingCalls.h"

#include <tarvelo/Coding.h>

#include "ConnectionHello.h"
#include "SendQueue.h"
#include "SocketStatus.h"

namespace tarvelo::detail {
namespace {

using StatusCode = Transport::StatusCode;

StatusCode timed_out(int milliseconds) {
  return {"Receive: nothing arrived for " + std::to_string(milliseconds / 1000.0).substr(0, 5) + " s",
          Transport::kError};
}

// The stream to use, or null when the connection is closed or its hello not
// yet answered.
Stream* open_stream(SocketState& state) {
  std::lock_guard lock(state.mutex);
  return !state.closed && state.layers_ready ? state.stream.get() : nullptr;
}

// The message as it goes on the wire, in the first `length` bytes of
// `frame`; a failure to encode closes the connection.
StatusCode encode(const std::shared_ptr<SocketState>& state, Message& message, Message& frame,
                  std::size_t& length) {
  frame = message;
  length = message.size();
  if (!state->codec) return success("Encoded");
  StatusCode encoded = state->codec->encode(message, frame, length);
  if (!encoded.ok()) close_now(state);
  return encoded;
}

}  // namespace

Message read_frame(SocketState& state, Stream& stream, StatusCode& status, bool* placed) {
  const int timeout = state.receive_timeout_ms;
  for (;;) {
    Message frame;
    switch (state.read_ahead.next(frame, placed)) {
      case ReadAhead::Next::kFrame:
        status = success("Received");
        return frame;
      case ReadAhead::Next::kTooLarge:
        status = frame_too_large(state.read_ahead.declared_length(), state.read_ahead.maximum());
        return Message();
      case ReadAhead::Next::kRead:
        break;
    }
    if (timeout > 0 && !stream.wait_readable(timeout)) {
      status = timed_out(timeout);
      return Message();
    }
    ReadAhead::Space space = state.read_ahead.space();
    asio::error_code error;
    std::size_t count = stream.read_some(asio::buffer(space.data, space.size), error);
    if (error) {
      status = failure(error, "Receive");
      return Message();
    }
    state.read_ahead.filled(count);
  }
}

StatusCode write_frame(Stream& stream, const Message& frame, std::size_t length) {
  Buffers buffers{asio::const_buffer(), asio::buffer(frame.buffer(), length)};
  return write_frame(stream, buffers, length);
}

StatusCode write_frame(Stream& stream, Buffers& buffers, std::size_t length) {
  char header[kFrameHeaderSize];
  EncodeFixed64BE(header, length);
  buffers.front() = asio::buffer(header);
  asio::error_code error;
  stream.write(buffers, error);
  return error ? failure(error, "Send") : success("Sent");
}

Message receive(const std::shared_ptr<SocketState>& state, const SocketImpl::Placement* placement, bool& placed,
                StatusCode* status) {
  placed = false;
  auto report = [status](StatusCode value) {
    if (status) *status = std::move(value);
  };
  Stream* stream = nullptr;
  bool answer_hello = false;
  {
    std::lock_guard lock(state->mutex);
    if (!state->closed) stream = state->stream.get();
    answer_hello = !state->layers_ready;
  }
  if (!stream) {
    report({"Receive: not connected", Transport::kClosed});
    return Message();
  }
  if (answer_hello) {
    StatusCode answered = exchange_hello(*state, *stream).status;
    if (!answered.ok()) {
      close_now(state);
      report(answered);
      return Message();
    }
    std::lock_guard lock(state->mutex);
    state->layers_ready = true;
    flush_sends_locked(state);
  }
  // Encoded frames are decoded whole, never placed.
  if (placement && !state->codec) state->read_ahead.place(placement->head, placement->tail, placement->size);
  StatusCode result;
  Message frame = read_frame(*state, *stream, result, &placed);
  if (result.ok() && state->codec) result = decode_frame(*state, frame);
  if (!result.ok()) {
    if (result.code != Transport::kClosed) close_now(state);
    // A frame cut short may have been going to the caller's memory: no
    // later byte may follow it there.
    if (placement) state->read_ahead.reset(state->read_ahead.maximum());
    placed = false;
    report(result);
    return Message();
  }
  report(result);
  return frame;
}

StatusCode send(const std::shared_ptr<SocketState>& state, Message& message) {
  if (message.size() > kMaxMessageSize) return frame_too_large(message.size(), kMaxMessageSize);
  Stream* stream = open_stream(*state);
  if (!stream) return {"Send: not connected", Transport::kClosed};
  Message frame;
  std::size_t length = 0;
  StatusCode encoded = encode(state, message, frame, length);
  if (!encoded.ok()) return encoded;
  return write_frame(*stream, frame, length);
}

StatusCode send_pieces(const std::shared_ptr<SocketState>& state, const SocketImpl::Piece* pieces,
                       std::size_t count) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < count; ++i) length += pieces[i].size;
  if (length > kMaxMessageSize) return frame_too_large(length, kMaxMessageSize);
  Stream* stream = open_stream(*state);
  if (!stream) return {"Send: not connected", Transport::kClosed};
  Buffers buffers(1);
  buffers.reserve(count + 1);
  for (std::size_t i = 0; i < count; ++i) buffers.push_back(asio::buffer(pieces[i].data, pieces[i].size));
  return write_frame(*stream, buffers, length);
}

StatusCode send_all(const std::shared_ptr<SocketState>& state, std::vector<Message>& messages) {
  // Small frames go out together, large ones on their own (kCopiedFrameSize).
  Stream* stream = open_stream(*state);
  if (!stream) return {"Send: not connected", Transport::kClosed};
  std::vector<char> batch;
  auto flush = [&]() -> StatusCode {
    if (batch.empty()) return success("Sent");
    asio::error_code error;
    stream->write({asio::buffer(batch), asio::const_buffer()}, error);
    batch.clear();
    return error ? failure(error, "Send") : success("Sent");
  };
  for (Message& message : messages) {
    if (message.size() > kMaxMessageSize) return frame_too_large(message.size(), kMaxMessageSize);
    Message frame;
    std::size_t length = 0;
    StatusCode encoded = encode(state, message, frame, length);
    if (!encoded.ok()) return encoded;
    if (length > kCopiedFrameSize) {
      StatusCode status = flush();
      if (status.ok()) status = write_frame(*stream, frame, length);
      if (!status.ok()) return status;
      continue;
    }
    append_frame(batch, frame.buffer(), length);
  }
  return flush();
}

}  // namespace tarvelo::detail
