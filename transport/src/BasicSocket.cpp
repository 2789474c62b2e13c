#include <tarvelo/BasicSocket.h>

#include <algorithm>

#include "AsyncReceive.h"
#include "BlockingCalls.h"
#include "ConnectionHello.h"
#include "SendQueue.h"
#include "SocketState.h"
#include "SocketStatus.h"

namespace tarvelo {
namespace detail {

void close_locked(const std::shared_ptr<SocketState>& state) {
  state->closed = true;
  if (state->stream) state->stream->close();
  if (state->acceptor) state->acceptor->close();
  abandon_sends_locked(state);
}

void close_now(const std::shared_ptr<SocketState>& state) {
  std::lock_guard lock(state->mutex);
  if (!state->closed) close_locked(state);
}

}  // namespace detail

using detail::SocketState;
using detail::success;
using StatusCode = Transport::StatusCode;

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
  detail::close_locked(m_state);
}

StatusCode BasicSocket::connect(std::string address, uint16_t port) {
  std::lock_guard lock(m_state->mutex);
  if (m_state->stream) m_state->stream->close();
  m_state->stream = m_state->transport->create_stream(*m_state->io);
  m_state->closed = false;
  m_state->codec.reset();
  if (m_state->options.layered())
    m_state->codec = std::make_unique<detail::MessageCodec>(m_state->options,
                                                            detail::MessageCodec::Role::kClient);
  m_state->layers_ready = true;
  std::string where = address + ":" + std::to_string(port);
  asio::error_code error;
  // Nothing read ahead on an earlier connection belongs to this one.
  m_state->read_ahead.reset(detail::max_frame_size(*m_state));
  m_state->stream->connect(address, port, error);
  if (error) {
    std::string detail = m_state->stream->error_detail();
    detail::close_locked(m_state);
    return {"Could not connect to " + where + ": " + (detail.empty() ? error.message() : detail),
            Transport::kError};
  }
  if (m_state->codec) {
    detail::HelloOutcome hello = detail::exchange_hello(*m_state, *m_state->stream);
    if (!hello.status.ok()) {
      detail::close_locked(m_state);
      if (!hello.exchanged)
        return {"Could not connect to " + where + ": the server ended the connection hello (" +
                    hello.status.text + "); does it use the same compression and encryption settings?",
                Transport::kError};
      return {"Could not connect to " + where + ": " + hello.status.text, Transport::kError};
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
    detail::close_locked(m_state);
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
    detail::post_failure(state, [handler](SocketImpl& self) {
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
                        : detail::failure(error, "Accept"));
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
    accepted->read_ahead.reset(detail::max_frame_size(*accepted));
    accepted->stream = std::move(stream);
    std::unique_ptr<SocketImpl> socket(new BasicSocket(io, std::move(accepted)));
    handler(*state->owner, std::move(socket), success("Accepted"));
  });
}

Message BasicSocket::receive(StatusCode* status) {
  bool placed = false;
  return detail::receive(m_state, nullptr, placed, status);
}

Message BasicSocket::receive_placed(const Placement& placement, bool& placed, StatusCode* status) {
  return detail::receive(m_state, &placement, placed, status);
}

void BasicSocket::async_receive(ReceiveHandler handler) {
  detail::async_receive(m_state, std::move(handler));
}

bool BasicSocket::take_ready(Message& message) { return detail::take_ready(m_state, message); }

StatusCode BasicSocket::send(Message& message) { return detail::send(m_state, message); }

void BasicSocket::set_receive_timeout(std::chrono::milliseconds timeout) {
  m_state->receive_timeout_ms = static_cast<int>(std::clamp<int64_t>(timeout.count(), 0, INT32_MAX));
}

StatusCode BasicSocket::send_all(std::vector<Message>& messages) {
  return detail::send_all(m_state, messages);
}

StatusCode BasicSocket::send_pieces(const Piece* pieces, std::size_t count) {
  if (m_state->options.layered()) return SocketImpl::send_pieces(pieces, count);
  return detail::send_pieces(m_state, pieces, count);
}

void BasicSocket::async_send(Message& message, SendHandler handler) {
  detail::async_send(m_state, message, std::move(handler));
}

void BasicSocket::async_reply(Message& message, SendHandler handler) {
  async_send(message, std::move(handler));
}

void BasicSocket::async_send_all(std::vector<Message>& messages, SendHandler handler) {
  detail::async_send_all(m_state, messages, std::move(handler));
}

void BasicSocket::send_now(std::vector<Message>& messages, SendHandler handler,
                           const std::function<bool()>& keep_waiting) {
  detail::send_now(m_state, messages, std::move(handler), keep_waiting);
}

StatusCode BasicSocket::close() {
  std::lock_guard lock(m_state->mutex);
  if (m_state->closed) return success("Already closed");
  detail::close_locked(m_state);
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

bool BasicSocket::post(std::function<void()> work) {
  asio::post(*m_io, std::move(work));
  return true;
}

void BasicSocket::set_receive_helper(Helper helper) {
  std::lock_guard lock(m_state->mutex);
  m_state->receive_helper = std::move(helper);
}

bool BasicSocket::is_receiving() { return m_state->receiving; }

bool BasicSocket::is_sending() { return m_state->sending; }

StatusCode BasicSocket::peer_uid(uint32_t& uid) {
  // Held so that a close from another thread cannot free the descriptor
  // under the lookup.
  std::lock_guard lock(m_state->mutex);
  if (m_state->closed || !m_state->stream) return {"Peer owner: not connected", Transport::kClosed};
  return m_state->stream->peer_uid(uid);
}

}  // namespace tarvelo
