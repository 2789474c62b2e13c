#include <tarvelo/BasicSocket.h>

#include <atomic>
#include <deque>
#include <mutex>

#include "Stream.h"

namespace tarvelo {
namespace detail {

inline constexpr std::size_t kFrameHeaderSize = 8;  // big-endian length of the message that follows

struct PendingSend {
  Message message;
  SocketImpl::SendHandler handler;
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
  // Guards stream, acceptor, closed and the send queue against close() from
  // another thread; never held while a user handler runs.
  std::mutex mutex;
  std::deque<PendingSend> send_queue;
  unsigned char receive_header[kFrameHeaderSize] = {};
  // Destroyed before the queue and header that pending operations write from.
  std::unique_ptr<Stream> stream;
  std::unique_ptr<Acceptor> acceptor;
  SocketImpl* owner = nullptr;
  bool closed = false;
  std::atomic<bool> receiving{false};
  std::atomic<bool> sending{false};
};

}  // namespace detail

namespace {

using detail::SocketState;
using StatusCode = Transport::StatusCode;

StatusCode success(std::string text) { return {std::move(text), 0}; }

StatusCode failure(const asio::error_code& error, const char* what) {
  if (error == asio::error::eof || error == asio::error::connection_reset ||
      error == asio::error::broken_pipe)
    return {std::string(what) + ": connection closed by peer", Transport::kClosed};
  if (error == asio::error::operation_aborted || error == asio::error::bad_descriptor)
    return {std::string(what) + ": connection closed", Transport::kClosed};
  return {std::string(what) + ": " + error.message(), Transport::kError};
}

void encode_length(unsigned char* out, uint64_t value) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<unsigned char>(value & 0xff);
    value >>= 8;
  }
}

uint64_t decode_length(const unsigned char* in) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < detail::kFrameHeaderSize; ++i) value = (value << 8) | in[i];
  return value;
}

StatusCode frame_too_large(uint64_t length) {
  return {"Frame of " + std::to_string(length) + " bytes exceeds the maximum of " +
              std::to_string(kMaxMessageSize),
          Transport::kFrameTooLarge};
}

// Calls a handler later on the io thread, so that a failure reported at once
// does not re-enter the caller.
template <typename Call>
void post_failure(const std::shared_ptr<SocketState>& state, Call call) {
    asio::post(*state->io, [state, call = std::move(call)]() mutable {
    if (state->owner) call(*state->owner);
  });
}

void finish_receive(const std::shared_ptr<SocketState>& state, SocketImpl::ReceiveHandler& handler,
                    Message message, StatusCode status) {
  state->receiving = false;
  if (state->owner) handler(*state->owner, std::move(message), std::move(status));
}

void close_locked(SocketState& state) {
  state.closed = true;
  if (state.stream) state.stream->close();
  if (state.acceptor) state.acceptor->close();
}

void on_receive_header(const std::shared_ptr<SocketState>& state,
                       SocketImpl::ReceiveHandler handler) {
  uint64_t length = decode_length(state->receive_header);
  if (length > kMaxMessageSize) {
    {
      std::lock_guard lock(state->mutex);
      close_locked(*state);
    }
    finish_receive(state, handler, Message(), frame_too_large(length));
    return;
  }
  Message message(static_cast<long>(length));
  if (length == 0) {
    finish_receive(state, handler, std::move(message), success("Received"));
    return;
  }
  std::unique_lock lock(state->mutex);
  if (state->closed || !state->stream) {
    lock.unlock();
    finish_receive(state, handler, Message(), {"Receive: connection closed", Transport::kClosed});
    return;
  }
    state->stream->async_read(
      asio::buffer(message.buffer(), length),
      [state, handler = std::move(handler), message](const asio::error_code& error,
                                                    std::size_t) mutable {
        if (error)
          finish_receive(state, handler, Message(), failure(error, "Receive"));
        else
          finish_receive(state, handler, std::move(message), success("Received"));
      });
}

// Starts writing the oldest queued message; the mutex is held by the caller.
void start_next_send(const std::shared_ptr<SocketState>& state) {
  detail::PendingSend& next = state->send_queue.front();
  state->sending = true;
    detail::Buffers buffers{asio::buffer(next.header),
                          asio::buffer(next.message.buffer(), next.message.size())};
  state->stream->async_write(buffers, [state](const asio::error_code& error, std::size_t) {
    std::unique_lock lock(state->mutex);
    detail::PendingSend done = std::move(state->send_queue.front());
    state->send_queue.pop_front();
    if (!state->send_queue.empty() && !state->closed && state->stream)
      start_next_send(state);
    else
      state->sending = false;
    // Sends left behind on a closed socket fail now rather than never.
    std::deque<detail::PendingSend> abandoned;
    if (state->closed || !state->stream) abandoned.swap(state->send_queue);
    lock.unlock();
    if (!state->owner) return;
    done.handler(*state->owner, error ? failure(error, "Send") : success("Sent"));
    for (auto& pending : abandoned)
      if (state->owner) pending.handler(*state->owner, {"Send: connection closed", Transport::kClosed});
  });
}

}  // namespace

BasicSocket::BasicSocket(std::unique_ptr<Transport> transport)
    : m_io(std::make_shared<asio::io_context>(1)), m_state(std::make_shared<SocketState>()) {
  m_state->io = m_io.get();
  m_state->transport = transport ? std::move(transport) : std::make_unique<TCPTransport>();
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
  close_locked(*m_state);
}

StatusCode BasicSocket::connect(std::string address, uint16_t port) {
  std::lock_guard lock(m_state->mutex);
  if (m_state->stream) m_state->stream->close();
  m_state->stream = m_state->transport->create_stream(*m_state->io);
  m_state->closed = false;
  asio::error_code error;
  m_state->stream->connect(address, port, error);
  if (error) {
    close_locked(*m_state);
    return {"Could not connect to " + address + ":" + std::to_string(port) + ": " +
                error.message(),
            Transport::kError};
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
    close_locked(*m_state);
    return {"Could not listen on " + address + ":" + std::to_string(port) + ": " +
                error.message(),
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
  {
    std::lock_guard lock(m_state->mutex);
    if (!m_state->closed) stream = m_state->stream.get();
  }
  if (!stream) {
    report({"Receive: not connected", Transport::kClosed});
    return Message();
  }
  asio::error_code error;
  unsigned char header[detail::kFrameHeaderSize];
  stream->read(asio::buffer(header), error);
  if (error) {
    report(failure(error, "Receive"));
    return Message();
  }
  uint64_t length = decode_length(header);
  if (length > kMaxMessageSize) {
    close();
    report(frame_too_large(length));
    return Message();
  }
  Message message(static_cast<long>(length));
  if (length > 0) stream->read(asio::buffer(message.buffer(), length), error);
  if (error) {
    report(failure(error, "Receive"));
    return Message();
  }
  report(success("Received"));
  return message;
}

void BasicSocket::async_receive(ReceiveHandler handler) {
  auto state = m_state;
  std::lock_guard lock(state->mutex);
  if (state->closed || !state->stream) {
    post_failure(state, [handler](SocketImpl& self) {
      handler(self, Message(), {"Receive: connection closed", Transport::kClosed});
    });
    return;
  }
  state->receiving = true;
    state->stream->async_read(asio::buffer(state->receive_header),
                            [state, handler = std::move(handler)](const asio::error_code& error,
                                                                 std::size_t) mutable {
                              if (error)
                                finish_receive(state, handler, Message(),
                                               failure(error, "Receive"));
                              else
                                on_receive_header(state, std::move(handler));
                            });
}

StatusCode BasicSocket::send(Message& message) {
  if (message.size() > kMaxMessageSize) return frame_too_large(message.size());
  detail::Stream* stream = nullptr;
  {
    std::lock_guard lock(m_state->mutex);
    if (!m_state->closed) stream = m_state->stream.get();
  }
  if (!stream) return {"Send: not connected", Transport::kClosed};
  unsigned char header[detail::kFrameHeaderSize];
  encode_length(header, message.size());
  asio::error_code error;
  stream->write({asio::buffer(header), asio::buffer(message.buffer(), message.size())}, error);
  return error ? failure(error, "Send") : success("Sent");
}

void BasicSocket::async_send(Message& message, SendHandler handler) {
  auto state = m_state;
  std::lock_guard lock(state->mutex);
  if (message.size() > kMaxMessageSize || state->closed || !state->stream) {
    StatusCode status = message.size() > kMaxMessageSize
                            ? frame_too_large(message.size())
                            : StatusCode{"Send: connection closed", Transport::kClosed};
    post_failure(state, [handler, status](SocketImpl& self) { handler(self, status); });
    return;
  }
  detail::PendingSend& pending = state->send_queue.emplace_back();
  pending.message = message;
  pending.handler = std::move(handler);
  encode_length(pending.header, message.size());
  if (!state->sending) start_next_send(state);
}

void BasicSocket::async_reply(Message& message, SendHandler handler) {
  async_send(message, std::move(handler));
}

StatusCode BasicSocket::close() {
  std::lock_guard lock(m_state->mutex);
  if (m_state->closed) return success("Already closed");
  close_locked(*m_state);
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

SocketImpl::~SocketImpl() = default;

}  // namespace tarvelo
