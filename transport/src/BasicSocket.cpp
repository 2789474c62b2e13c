#include <tarvelo/BasicSocket.h>
#include <tarvelo/Coding.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>

#include "MessageCodec.h"
#include "Stream.h"

namespace tarvelo {
namespace detail {

inline constexpr std::size_t kFrameHeaderSize = 8;  // big-endian length of the message that follows

struct PendingSend {
  Message message;
  SocketImpl::SendHandler handler;
  // What goes on the wire: the message itself, or its encoding by the layers
  // (made when the send starts, so that nonces follow the order of writes).
  Message frame;
  std::size_t length = 0;
  bool encoded = false;
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
  // Guards stream, acceptor, closed and the send queue against close() from
  // another thread; never held while a user handler runs.
  std::mutex mutex;
  std::deque<PendingSend> send_queue;
  // Bytes read ahead of the frames handed out: one read can bring many
  // small frames. Allocated for a read and released once a frame has taken
  // its last byte.
  std::unique_ptr<char[]> inbox;
  std::size_t inbox_begin = 0;
  std::size_t inbox_end = 0;
  // Longest wait for data in a blocking receive; 0: no limit.
  int receive_timeout_ms = 0;
  unsigned char hello_header[kFrameHeaderSize] = {};
  // False on an accepted connection until its hello is answered; sends wait.
  bool layers_ready = true;
  // Destroyed before the queue and header that pending operations write from.
  std::unique_ptr<Stream> stream;
  std::unique_ptr<Acceptor> acceptor;
  SocketImpl* owner = nullptr;
  bool closed = false;
  // A frame taken from the inbox has its completion posted but not run: the
  // replies queued so far wait for its handler to add its own.
  bool frame_posted = false;
  std::atomic<bool> receiving{false};
  std::atomic<bool> sending{false};
};

}  // namespace detail

namespace {

using detail::SocketState;
using StatusCode = Transport::StatusCode;
using FrameHandler = std::function<void(StatusCode, Message)>;

StatusCode success(std::string text) { return {std::move(text), 0}; }

StatusCode failure(const asio::error_code& error, const char* what) {
  if (error == asio::error::eof || error == asio::error::connection_reset ||
      error == asio::error::broken_pipe)
    return {std::string(what) + ": connection closed by peer", Transport::kClosed};
  if (error == asio::error::operation_aborted || error == asio::error::bad_descriptor)
    return {std::string(what) + ": connection closed", Transport::kClosed};
  return {std::string(what) + ": " + error.message(), Transport::kError};
}

StatusCode closed_status(const char* what) {
  return {std::string(what) + ": connection closed", Transport::kClosed};
}

void encode_length(unsigned char* out, uint64_t value) {
  EncodeFixed64BE(reinterpret_cast<char*>(out), value);
}

uint64_t decode_length(const unsigned char* in) {
  return DecodeFixed64BE(reinterpret_cast<const char*>(in));
}

StatusCode frame_too_large(uint64_t length, std::size_t maximum) {
  return {"Frame of " + std::to_string(length) + " bytes exceeds the maximum of " +
              std::to_string(maximum),
          Transport::kFrameTooLarge};
}

std::size_t max_frame_size(const SocketState& state) {
  return state.codec ? detail::MessageCodec::max_frame_size() : kMaxMessageSize;
}

// Calls a handler later on the io thread, so that a failure reported at once
// does not re-enter the caller.
template <typename Call>
void post_failure(const std::shared_ptr<SocketState>& state, Call call) {
  asio::post(*state->io, [state, call = std::move(call)]() mutable {
    if (state->owner) call(*state->owner);
  });
}

void start_next_send(const std::shared_ptr<SocketState>& state);

// The socket whose receive handler runs on this thread: small replies it
// queues are not written one by one but together once it returns, so that a
// peer that sends many requests at once gets its answers in few writes.
thread_local const SocketState* t_replying_socket = nullptr;

// Starts writing what is queued, unless a write is under way (its
// completion goes on with the queue) or the socket cannot send; the mutex
// is held by the caller.
void flush_sends_locked(const std::shared_ptr<SocketState>& state) {
  if (!state->sending && !state->send_queue.empty() && state->layers_ready && !state->closed &&
      state->stream)
    start_next_send(state);
}

void finish_receive(const std::shared_ptr<SocketState>& state, SocketImpl::ReceiveHandler& handler,
                    Message message, StatusCode status) {
  state->receiving = false;
  if (!state->owner) return;
  {
    struct Replying {
      const SocketState* outer = t_replying_socket;
      explicit Replying(const SocketState* socket) { t_replying_socket = socket; }
      ~Replying() { t_replying_socket = outer; }
    } replying(state.get());
    handler(*state->owner, std::move(message), std::move(status));
  }
  std::lock_guard lock(state->mutex);
  if (!state->frame_posted) flush_sends_locked(state);
}

// Sends that never started fail later, on the io thread; a started one
// fails through its own completion.
void close_locked(const std::shared_ptr<SocketState>& state) {
  state->closed = true;
  if (state->stream) state->stream->close();
  if (state->acceptor) state->acceptor->close();
  if (state->sending || state->send_queue.empty()) return;
  auto abandoned = std::make_shared<std::deque<detail::PendingSend>>();
  abandoned->swap(state->send_queue);
  post_failure(state, [abandoned](SocketImpl& self) {
    for (auto& pending : *abandoned) pending.handler(self, closed_status("Send"));
  });
}

// Closes on a failure of the receiving side. Replies still held back to be
// written together start first, as they would have one by one; the mutex is
// held by the caller.
void close_after_replies_locked(const std::shared_ptr<SocketState>& state) {
  flush_sends_locked(state);
  close_locked(state);
}

void close_now(const std::shared_ptr<SocketState>& state) {
  std::lock_guard lock(state->mutex);
  close_after_replies_locked(state);
}

// Size of the read-ahead buffer; frames larger than it are read straight
// into their message. A hundred small requests fit; 16 KiB was measured to
// make 8 MiB writes from two connections three times slower on loopback.
constexpr std::size_t kInboxSize = 4 * 1024;

enum class Inbox { kFrame, kTooLarge, kLarge, kMore };

// Takes the next frame from the bytes read ahead when they hold all of it
// (kFrame). kLarge: a frame too big for the buffer, returned with the bytes
// at hand copied in and `have` set; the rest is to be read into it. kMore:
// more bytes are needed, and the buffer has room for them from inbox_end.
Inbox take_frame(SocketState& state, std::size_t maximum, Message& frame, uint64_t& length,
                 std::size_t& have) {
  std::size_t available = state.inbox_end - state.inbox_begin;
  if (available >= detail::kFrameHeaderSize) {
    const char* at = state.inbox.get() + state.inbox_begin;
    length = decode_length(reinterpret_cast<const unsigned char*>(at));
    if (length > maximum) return Inbox::kTooLarge;
    std::size_t body = available - detail::kFrameHeaderSize;
    if (body >= length || length + detail::kFrameHeaderSize > kInboxSize) {
      frame = Message::uninitialized(static_cast<long>(length));  // returned only once full
      have = static_cast<std::size_t>(std::min<uint64_t>(body, length));
      if (have > 0) std::memcpy(frame.buffer(), at + detail::kFrameHeaderSize, have);
      state.inbox_begin += detail::kFrameHeaderSize + have;
      if (state.inbox_begin == state.inbox_end) {
        state.inbox.reset();
        state.inbox_begin = state.inbox_end = 0;
      }
      return have == length ? Inbox::kFrame : Inbox::kLarge;
    }
  }
  if (!state.inbox) {
    state.inbox.reset(new char[kInboxSize]);
    state.inbox_begin = state.inbox_end = 0;
  } else if (state.inbox_begin > 0) {
    std::memmove(state.inbox.get(), state.inbox.get() + state.inbox_begin, available);
    state.inbox_begin = 0;
    state.inbox_end = available;
  }
  return Inbox::kMore;
}

// Reads the next frame, of at most `maximum` bytes; the mutex is held by
// the caller and the stream is open. `done` runs later, never inside.
void read_frame_locked(const std::shared_ptr<SocketState>& state, std::size_t maximum,
                       FrameHandler done) {
  Message frame;
  uint64_t length = 0;
  std::size_t have = 0;
  switch (take_frame(*state, maximum, frame, length, have)) {
    case Inbox::kFrame:
      state->frame_posted = true;
      asio::post(*state->io, [state, done = std::move(done), frame]() mutable {
        {
          std::lock_guard lock(state->mutex);
          state->frame_posted = false;
        }
        done(success("Received"), std::move(frame));
      });
      return;
    case Inbox::kTooLarge:
      close_after_replies_locked(state);
      asio::post(*state->io, [done = std::move(done), length, maximum]() mutable {
        done(frame_too_large(length, maximum), Message());
      });
      return;
    case Inbox::kLarge:
      state->stream->async_read(
          asio::buffer(frame.buffer() + have, length - have),
          [done = std::move(done), frame](const asio::error_code& error, std::size_t) mutable {
            if (error)
              done(failure(error, "Receive"), Message());
            else
              done(success("Received"), std::move(frame));
          });
      return;
    case Inbox::kMore:
      break;
  }
  state->stream->async_read_some(
      asio::buffer(state->inbox.get() + state->inbox_end, kInboxSize - state->inbox_end),
      [state, maximum, done = std::move(done)](const asio::error_code& error, std::size_t count) mutable {
        if (error) {
          done(failure(error, "Receive"), Message());
          return;
        }
        std::unique_lock lock(state->mutex);
        if (state->closed || !state->stream || !state->inbox) {
          lock.unlock();
          done(closed_status("Receive"), Message());
          return;
        }
        state->inbox_end += count;
        read_frame_locked(state, maximum, std::move(done));
      });
}

// Reads one message, decoding it when layers are on; the mutex is held by
// the caller and the stream is open.
void receive_message_locked(const std::shared_ptr<SocketState>& state,
                            SocketImpl::ReceiveHandler handler) {
  read_frame_locked(state, max_frame_size(*state),
                    [state, handler = std::move(handler)](StatusCode status, Message frame) mutable {
                      if (status.ok() && state->codec) {
                        Message message;
                        status = state->codec->decode(frame, message);
                        frame = std::move(message);
                        if (!status.ok()) close_now(state);
                      }
                      finish_receive(state, handler, status.ok() ? std::move(frame) : Message(),
                                     std::move(status));
                    });
}

// An accepted connection with layers: read the client's hello, answer it,
// then go on to the first message. Sends queued meanwhile start after.
void answer_hello_locked(const std::shared_ptr<SocketState>& state,
                         SocketImpl::ReceiveHandler handler) {
  read_frame_locked(state, max_frame_size(*state), [state, handler = std::move(handler)](
                                                       StatusCode status, Message hello) mutable {
    if (!status.ok()) {
      finish_receive(state, handler, Message(), std::move(status));
      return;
    }
    Message answer;
    StatusCode answered = state->codec->answer_hello(hello, answer);
    std::unique_lock lock(state->mutex);
    if (answer.null() || state->closed || !state->stream) {
      close_locked(state);
      lock.unlock();
      finish_receive(state, handler, Message(),
                     answered.ok() ? closed_status("Receive") : std::move(answered));
      return;
    }
    encode_length(state->hello_header, answer.size());
    detail::Buffers buffers{asio::buffer(state->hello_header),
                            asio::buffer(answer.buffer(), answer.size())};
    state->stream->async_write(buffers, [state, handler = std::move(handler), answer,
                                         answered](const asio::error_code& error,
                                                   std::size_t) mutable {
      std::unique_lock lock(state->mutex);
      if (error || !answered.ok() || state->closed || !state->stream) {
        close_locked(state);
        lock.unlock();
        finish_receive(state, handler, Message(),
                       !answered.ok() ? std::move(answered)
                       : error        ? failure(error, "Receive")
                                      : closed_status("Receive"));
        return;
      }
      state->layers_ready = true;
      if (!state->send_queue.empty() && !state->sending) start_next_send(state);
      receive_message_locked(state, std::move(handler));
    });
  });
}

// Starts writing the oldest queued messages, small ones gathered into one
// write; the mutex is held by the caller.
void start_next_send(const std::shared_ptr<SocketState>& state) {
  constexpr std::size_t kMostGathered = 64;
  constexpr std::size_t kGatherBytes = 256 * 1024;
  detail::Buffers buffers;
  std::size_t count = 0;
  std::size_t bytes = 0;
  for (detail::PendingSend& next : state->send_queue) {
    if (count > 0 && (count == kMostGathered || bytes + next.message.size() > kGatherBytes)) break;
    if (!next.encoded) {
      next.encoded = true;
      StatusCode encoded = state->codec->encode(next.message, next.frame, next.length);
      if (!encoded.ok()) {
        close_locked(state);
        return;
      }
      encode_length(next.header, next.length);
    }
    buffers.push_back(asio::buffer(next.header));
    buffers.push_back(asio::buffer(next.frame.buffer(), next.length));
    ++count;
    bytes += next.length;
  }
  state->sending = true;
  state->stream->async_write(buffers, [state, count](const asio::error_code& error, std::size_t) {
    std::unique_lock lock(state->mutex);
    std::vector<detail::PendingSend> done;
    done.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      done.push_back(std::move(state->send_queue.front()));
      state->send_queue.pop_front();
    }
    // While queued frames are being answered, what they queue goes out when
    // they are done (finish_receive), not a reply or two at a time.
    if (!state->send_queue.empty() && !state->closed && state->stream && !state->frame_posted)
      start_next_send(state);
    else
      state->sending = false;
    // Sends left behind on a closed socket fail now rather than never.
    std::deque<detail::PendingSend> abandoned;
    if (state->closed || !state->stream) abandoned.swap(state->send_queue);
    lock.unlock();
    for (auto& sent : done)
      if (state->owner) sent.handler(*state->owner, error ? failure(error, "Send") : success("Sent"));
    for (auto& pending : abandoned)
      if (state->owner) pending.handler(*state->owner, closed_status("Send"));
  });
}

StatusCode timed_out(int milliseconds) {
  return {"Receive: nothing arrived for " + std::to_string(milliseconds / 1000.0).substr(0, 5) + " s",
          Transport::kError};
}

// Blocking frame I/O for clients.
Message read_frame(SocketState& state, detail::Stream& stream, std::size_t maximum, StatusCode& status) {
  const int timeout = state.receive_timeout_ms;
  for (;;) {
    Message frame;
    uint64_t length = 0;
    std::size_t have = 0;
    asio::error_code error;
    switch (take_frame(state, maximum, frame, length, have)) {
      case Inbox::kFrame:
        status = success("Received");
        return frame;
      case Inbox::kTooLarge:
        status = frame_too_large(length, maximum);
        return Message();
      case Inbox::kLarge:
        while (have < length) {
          if (timeout > 0 && !stream.wait_readable(timeout)) {
            status = timed_out(timeout);
            return Message();
          }
          have += stream.read_some(asio::buffer(frame.buffer() + have, length - have), error);
          if (error) {
            status = failure(error, "Receive");
            return Message();
          }
        }
        status = success("Received");
        return frame;
      case Inbox::kMore:
        break;
    }
    if (timeout > 0 && !stream.wait_readable(timeout)) {
      status = timed_out(timeout);
      return Message();
    }
    std::size_t count =
        stream.read_some(asio::buffer(state.inbox.get() + state.inbox_end, kInboxSize - state.inbox_end), error);
    if (error) {
      status = failure(error, "Receive");
      return Message();
    }
    state.inbox_end += count;
  }
}

StatusCode write_frame(detail::Stream& stream, const Message& frame, std::size_t length) {
  unsigned char header[detail::kFrameHeaderSize];
  encode_length(header, length);
  asio::error_code error;
  stream.write({asio::buffer(header), asio::buffer(frame.buffer(), length)}, error);
  return error ? failure(error, "Send") : success("Sent");
}

}  // namespace

BasicSocket::BasicSocket(std::unique_ptr<Transport> transport, const SocketOptions& options)
    : m_io(std::make_shared<asio::io_context>(1)), m_state(std::make_shared<SocketState>()) {
  m_state->io = m_io.get();
  m_state->transport = transport ? std::move(transport) : std::make_unique<TCPTransport>();
  m_state->options = options;
  m_state->owner = this;
}

BasicSocket::BasicSocket(std::shared_ptr<asio::io_context> io,
                         std::shared_ptr<detail::SocketState> state)
    : m_io(std::move(io)), m_state(std::move(state)) {
  m_state->owner = this;
}

BasicSocket::~BasicSocket() {
  std::lock_guard lock(m_state->mutex);
  m_state->owner = nullptr;
  close_locked(m_state);
}

StatusCode BasicSocket::connect(std::string address, uint16_t port) {
  std::lock_guard lock(m_state->mutex);
  if (m_state->stream) m_state->stream->close();
  m_state->stream = m_state->transport->create_stream(*m_state->io);
  m_state->closed = false;
  m_state->codec.reset();
  m_state->layers_ready = true;
  std::string where = address + ":" + std::to_string(port);
  asio::error_code error;
  // Nothing read ahead on an earlier connection belongs to this one.
  m_state->inbox.reset();
  m_state->inbox_begin = m_state->inbox_end = 0;
  m_state->stream->connect(address, port, error);
  if (error) {
    std::string detail = m_state->stream->error_detail();
    close_locked(m_state);
    return {"Could not connect to " + where + ": " + (detail.empty() ? error.message() : detail),
            Transport::kError};
  }
  if (m_state->options.layered()) {
    m_state->codec = std::make_unique<detail::MessageCodec>(m_state->options,
                                                            detail::MessageCodec::Role::kClient);
    Message hello = m_state->codec->client_hello();
    StatusCode status = write_frame(*m_state->stream, hello, hello.size());
    Message answer;
    if (status.ok()) answer = read_frame(*m_state, *m_state->stream, max_frame_size(*m_state), status);
    if (!status.ok()) {
      close_locked(m_state);
      return {"Could not connect to " + where + ": the server ended the connection hello (" +
                  status.text + "); does it use the same compression and encryption settings?",
              Transport::kError};
    }
    status = m_state->codec->finish_client_hello(answer);
    if (!status.ok()) {
      close_locked(m_state);
      return {"Could not connect to " + where + ": " + status.text, Transport::kError};
    }
  }
  return success("Connected");
}

StatusCode BasicSocket::listen(uint16_t port, std::string address) {
  std::lock_guard lock(m_state->mutex);
  m_state->acceptor = m_state->transport->create_acceptor(*m_state->io);
  m_state->closed = false;
  asio::error_code error;
  m_state->acceptor->listen(address, port, error);
  if (error) {
    std::string detail = m_state->acceptor->error_detail();
    close_locked(m_state);
    return {"Could not listen on " + address + ":" + std::to_string(port) + ": " +
                (detail.empty() ? error.message() : detail),
            Transport::kError};
  }
  return success("Listening");
}

void BasicSocket::async_accept(AcceptHandler handler) {
  auto state = m_state;
  std::lock_guard lock(state->mutex);
  if (state->closed || !state->acceptor) {
    post_failure(state, [handler](SocketImpl& self) {
      handler(self, nullptr, {"Accept: listener closed", Transport::kAcceptCancelled});
    });
    return;
  }
  // Weak: a pending accept must not keep the io_context that holds it alive.
  std::weak_ptr<asio::io_context> weak_io = m_io;
  state->acceptor->async_accept([state, weak_io, handler = std::move(handler)](
                                    const asio::error_code& error,
                                    std::unique_ptr<detail::Stream> stream) {
    if (!state->owner) return;
    if (error) {
      bool cancelled = error == asio::error::operation_aborted ||
                       error == asio::error::bad_descriptor;
      handler(*state->owner, nullptr,
              cancelled ? StatusCode{"Accept: listener closed", Transport::kAcceptCancelled}
                        : failure(error, "Accept"));
      return;
    }
    auto io = weak_io.lock();
    if (!io) return;
    auto accepted = std::make_shared<SocketState>();
    accepted->io = state->io;
    accepted->transport = state->transport->clone();
    accepted->options = state->options;
    if (state->options.layered()) {
      accepted->codec = std::make_unique<detail::MessageCodec>(state->options,
                                                               detail::MessageCodec::Role::kServer);
      accepted->layers_ready = false;
    }
    accepted->stream = std::move(stream);
    std::unique_ptr<SocketImpl> socket(new BasicSocket(io, std::move(accepted)));
    handler(*state->owner, std::move(socket), success("Accepted"));
  });
}

Message BasicSocket::receive(StatusCode* status) {
  auto report = [status](StatusCode value) {
    if (status) *status = std::move(value);
  };
  detail::Stream* stream = nullptr;
  bool answer_hello = false;
  {
    std::lock_guard lock(m_state->mutex);
    if (!m_state->closed) stream = m_state->stream.get();
    answer_hello = !m_state->layers_ready;
  }
  if (!stream) {
    report({"Receive: not connected", Transport::kClosed});
    return Message();
  }
  StatusCode result;
  if (answer_hello) {
    Message hello = read_frame(*m_state, *stream, max_frame_size(*m_state), result);
    Message answer;
    if (result.ok()) result = m_state->codec->answer_hello(hello, answer);
    if (!answer.null()) {
      StatusCode sent = write_frame(*stream, answer, answer.size());
      if (result.ok()) result = sent;
    }
    if (!result.ok()) {
      close_now(m_state);
      report(result);
      return Message();
    }
    std::lock_guard lock(m_state->mutex);
    m_state->layers_ready = true;
    if (!m_state->send_queue.empty() && !m_state->sending && !m_state->closed)
      start_next_send(m_state);
  }
  Message frame = read_frame(*m_state, *stream, max_frame_size(*m_state), result);
  if (result.ok() && m_state->codec) {
    Message message;
    result = m_state->codec->decode(frame, message);
    frame = std::move(message);
  }
  if (!result.ok()) {
    if (result.code != Transport::kClosed) close();
    report(result);
    return Message();
  }
  report(result);
  return frame;
}

void BasicSocket::async_receive(ReceiveHandler handler) {
  auto state = m_state;
  std::lock_guard lock(state->mutex);
  if (state->closed || !state->stream) {
    post_failure(state, [handler](SocketImpl& self) {
      handler(self, Message(), closed_status("Receive"));
    });
    return;
  }
  state->receiving = true;
  if (!state->layers_ready)
    answer_hello_locked(state, std::move(handler));
  else
    receive_message_locked(state, std::move(handler));
}

bool BasicSocket::take_ready(Message& message) {
  auto state = m_state;
  Message frame;
  {
    std::lock_guard lock(state->mutex);
    // A receive under way, or a frame handed to one, comes first.
    if (state->closed || !state->stream || !state->layers_ready || state->receiving ||
        state->frame_posted || !state->inbox)
      return false;
    std::size_t available = state->inbox_end - state->inbox_begin;
    if (available < detail::kFrameHeaderSize) return false;
    std::size_t maximum = max_frame_size(*state);
    uint64_t length =
        decode_length(reinterpret_cast<const unsigned char*>(state->inbox.get() + state->inbox_begin));
    if (length > maximum || available - detail::kFrameHeaderSize < length) return false;
    std::size_t have = 0;
    if (take_frame(*state, maximum, frame, length, have) != Inbox::kFrame) return false;
  }
  if (!state->codec) {
    message = std::move(frame);
    return true;
  }
  if (!state->codec->decode(frame, message).ok()) {
    close_now(state);
    return false;
  }
  return true;
}

StatusCode BasicSocket::send(Message& message) {
  if (message.size() > kMaxMessageSize) return frame_too_large(message.size(), kMaxMessageSize);
  detail::Stream* stream = nullptr;
  {
    std::lock_guard lock(m_state->mutex);
    if (!m_state->closed && m_state->layers_ready) stream = m_state->stream.get();
  }
  if (!stream) return {"Send: not connected", Transport::kClosed};
  if (!m_state->codec) return write_frame(*stream, message, message.size());
  Message frame;
  std::size_t length = 0;
  StatusCode encoded = m_state->codec->encode(message, frame, length);
  if (!encoded.ok()) {
    close();
    return encoded;
  }
  return write_frame(*stream, frame, length);
}

void BasicSocket::set_receive_timeout(std::chrono::milliseconds timeout) {
  m_state->receive_timeout_ms = static_cast<int>(std::clamp<int64_t>(timeout.count(), 0, INT32_MAX));
}

StatusCode BasicSocket::send_all(std::vector<Message>& messages) {
  // Frames of small messages are copied back to back and written at once:
  // a system call per message costs more than the copy. Large ones go out
  // on their own, uncopied.
  constexpr std::size_t kCopyLimit = 4096;
  detail::Stream* stream = nullptr;
  {
    std::lock_guard lock(m_state->mutex);
    if (!m_state->closed && m_state->layers_ready) stream = m_state->stream.get();
  }
  if (!stream) return {"Send: not connected", Transport::kClosed};
  std::vector<unsigned char> batch;
  auto flush = [&]() -> StatusCode {
    if (batch.empty()) return success("Sent");
    asio::error_code error;
    stream->write({asio::buffer(batch), asio::const_buffer()}, error);
    batch.clear();
    return error ? failure(error, "Send") : success("Sent");
  };
  for (Message& message : messages) {
    if (message.size() > kMaxMessageSize) return frame_too_large(message.size(), kMaxMessageSize);
    Message frame = message;
    std::size_t length = message.size();
    if (m_state->codec) {
      StatusCode encoded = m_state->codec->encode(message, frame, length);
      if (!encoded.ok()) {
        close();
        return encoded;
      }
    }
    if (length > kCopyLimit) {
      StatusCode status = flush();
      if (status.ok()) status = write_frame(*stream, frame, length);
      if (!status.ok()) return status;
      continue;
    }
    unsigned char header[detail::kFrameHeaderSize];
    encode_length(header, length);
    batch.insert(batch.end(), header, header + detail::kFrameHeaderSize);
    const auto* bytes = reinterpret_cast<const unsigned char*>(frame.buffer());
    batch.insert(batch.end(), bytes, bytes + length);
  }
  return flush();
}

void BasicSocket::async_send(Message& message, SendHandler handler) {
  auto state = m_state;
  std::lock_guard lock(state->mutex);
  if (message.size() > kMaxMessageSize || state->closed || !state->stream) {
    StatusCode status = message.size() > kMaxMessageSize
                            ? frame_too_large(message.size(), kMaxMessageSize)
                            : closed_status("Send");
    post_failure(state, [handler, status](SocketImpl& self) { handler(self, status); });
    return;
  }
  detail::PendingSend& pending = state->send_queue.emplace_back();
  pending.message = message;
  pending.handler = std::move(handler);
  if (!state->codec) {
    pending.frame = message;
    pending.length = message.size();
    pending.encoded = true;
    encode_length(pending.header, message.size());
  }
  // A small reply from inside this socket's receive handler waits for the
  // handler to return (see finish_receive); anything else starts now.
  constexpr std::size_t kDeferredReplyLimit = 64 * 1024;
  if (t_replying_socket == state.get() && message.size() <= kDeferredReplyLimit &&
      state->send_queue.size() < 64)
    return;
  flush_sends_locked(state);
}

void BasicSocket::async_reply(Message& message, SendHandler handler) {
  async_send(message, std::move(handler));
}

StatusCode BasicSocket::close() {
  std::lock_guard lock(m_state->mutex);
  if (m_state->closed) return success("Already closed");
  close_locked(m_state);
  return success("Closed");
}

StatusCode BasicSocket::run() {
  auto io = m_io;
  auto work = asio::make_work_guard(*io);
  try {
    io->run();
  } catch (const std::exception& error) {
    // A completion handler threw: report it instead of tearing the program down.
    return {std::string("Run: ") + error.what(), Transport::kError};
  }
  return success("Stopped");
}

void BasicSocket::stop() { m_state->io->stop(); }

bool BasicSocket::is_receiving() { return m_state->receiving; }

bool BasicSocket::is_sending() { return m_state->sending; }

StatusCode BasicSocket::peer_uid(uint32_t& uid) {
  // Held so that a close from another thread cannot free the descriptor
  // under the lookup.
  std::lock_guard lock(m_state->mutex);
  if (m_state->closed || !m_state->stream) return {"Peer owner: not connected", Transport::kClosed};
  return m_state->stream->peer_uid(uid);
}

SocketImpl::~SocketImpl() = default;

bool SocketImpl::take_ready(Message& /*message*/) { return false; }

StatusCode SocketImpl::peer_uid(uint32_t& /*uid*/) {
  return {"Peer owner: not known for this socket", Transport::kError};
}

StatusCode SocketImpl::send_all(std::vector<Message>& messages) {
  for (Message& message : messages) {
    StatusCode status = send(message);
    if (!status.ok()) return status;
  }
  return success("Sent");
}

}  // namespace tarvelo
