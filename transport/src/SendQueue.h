#pragma once

// The asynchronous sends of a BasicSocket connection: a queue of messages
// and one write chain that drains it, each finished write starting the next.
// Internal to the transport library.

#include <memory>
#include <vector>

#include "SocketState.h"

namespace tarvelo::detail {

// Queue the message(s) and start writing unless a write is under way. For
// async_send_all the handler is called once, when the last message has gone
// out, with the first failure if there was one.
void async_send(const std::shared_ptr<SocketState>& state, Message& message,
                SocketImpl::SendHandler handler);
void async_send_all(const std::shared_ptr<SocketState>& state, std::vector<Message>& messages,
                    SocketImpl::SendHandler handler);

// As SocketImpl::send_now.
void send_now(const std::shared_ptr<SocketState>& state, std::vector<Message>& messages,
              SocketImpl::SendHandler handler, const std::function<bool()>& keep_waiting);

// Starts writing what is queued, unless a write is under way (its
// completion goes on with the queue) or the socket cannot send yet; the
// mutex is held by the caller.
void flush_sends_locked(const std::shared_ptr<SocketState>& state);

// Sends that never started fail later, on the io thread; the mutex is held
// by the caller, who is closing the socket.
void abandon_sends_locked(const std::shared_ptr<SocketState>& state);

}  // namespace tarvelo::detail
