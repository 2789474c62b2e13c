#pragma once

// The asynchronous receive of a BasicSocket connection, and the frames a
// receive handler takes that were already read ahead. Internal to the
// transport library.

#include <functional>
#include <memory>

#include "SocketState.h"

namespace tarvelo::detail {

// `decoded`: the message layers were already taken off the frame (by the
// receive helper, for a message after the hello).
using FrameHandler = std::function<void(Transport::StatusCode, Message, bool decoded)>;

// Reads the next frame; the mutex is held by the caller and the stream is
// open. `done` runs later, on the loop, never inside. `wait_first`: on the
// loop, after the receive helper found nothing to copy, waits for more
// before handing the copying back.
void read_frame_locked(const std::shared_ptr<SocketState>& state, FrameHandler done, bool wait_first = false);

// As SocketImpl::async_receive and take_ready.
void async_receive(const std::shared_ptr<SocketState>& state, SocketImpl::ReceiveHandler handler);
bool take_ready(const std::shared_ptr<SocketState>& state, Message& message);

}  // namespace tarvelo::detail
