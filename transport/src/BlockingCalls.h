#pragma once

// The blocking receive and sends of a BasicSocket connection, for clients.
// Internal to the transport library.

#include <memory>
#include <vector>

#include "SocketState.h"

namespace tarvelo::detail {

// The next frame, each wait for data bounded by the receive time-out;
// `placed` as from ReadAhead::next().
Message read_frame(SocketState& state, Stream& stream, Transport::StatusCode& status, bool* placed = nullptr);
Transport::StatusCode write_frame(Stream& stream, const Message& frame, std::size_t length);
// The frame of `length` payload bytes in buffers[1...]; buffers[0] is left
// for the frame's header.
Transport::StatusCode write_frame(Stream& stream, Buffers& buffers, std::size_t length);

// As SocketImpl::receive, receive_placed (a null placement for receive), send and send_all.
Message receive(const std::shared_ptr<SocketState>& state, const SocketImpl::Placement* placement, bool& placed,
                Transport::StatusCode* status);
Transport::StatusCode send(const std::shared_ptr<SocketState>& state, Message& message);
Transport::StatusCode send_all(const std::shared_ptr<SocketState>& state, std::vector<Message>& messages);
// As SocketImpl::send_pieces on a connection without message layers.
Transport::StatusCode send_pieces(const std::shared_ptr<SocketState>& state, const SocketImpl::Piece* pieces,
                                  std::size_t count);

}  // namespace tarvelo::detail
