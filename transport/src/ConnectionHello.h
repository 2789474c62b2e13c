#pragma once

// The hello that starts a connection with message layers: the client sends
// its hello and reads the answer; an accepted connection reads the hello
// and answers it. One set of steps, taken from the codec's role, is run
// blocking or asynchronously. Internal to the transport library.

#include <functional>
#include <memory>

#include "SocketState.h"

namespace tarvelo::detail {

struct HelloOutcome {
  Transport::StatusCode status;
  // False when the hello frames could not be written or read, as opposed to
  // a peer whose answer did not agree.
  bool exchanged = false;
};

// Blocking; the stream is connected (client) or accepted (server).
HelloOutcome exchange_hello(SocketState& state, Stream& stream);

// Asynchronous, for an accepted connection; the mutex is held by the caller
// and the stream is open. `done` runs later, without the mutex. The
// connection is closed when the hello fails after it was read.
void async_exchange_hello(const std::shared_ptr<SocketState>& state,
                          std::function<void(Transport::StatusCode)> done);

}  // namespace tarvelo::detail
