#include <tarvelo/SocketImpl.h>

#include <cstring>
#include <memory>

namespace tarvelo {

SocketImpl::~SocketImpl() = default;

bool SocketImpl::take_ready(Message& /*message*/) { return false; }

Transport::StatusCode SocketImpl::send_all(std::vector<Message>& messages) {
  for (Message& message : messages) {
    Transport::StatusCode status = send(message);
    if (!status.ok()) return status;
  }
  return {"Sent", 0};
}

Transport::StatusCode SocketImpl::peer_uid(uint32_t& /*uid*/) {
  return {"Peer owner: not known for this socket", Transport::kError};
}

void SocketImpl::async_send_all(std::vector<Message>& messages, SendHandler handler) {
  if (messages.empty()) {
    handler(*this, {"Sent", 0});
    return;
  }
  // One by one, in order, through async_reply: servers sent their answers
  // that way before this call existed, so a socket that overrides only it
  // still sees every one. The handler hears the last one's result, or the
  // first failure before it.
  auto first_failure = std::make_shared<Transport::StatusCode>(Transport::StatusCode{"Sent", 0});
  for (std::size_t i = 0; i + 1 < messages.size(); ++i)
    async_reply(messages[i], [first_failure](SocketImpl&, Transport::StatusCode status) {
      if (!status.ok() && first_failure->ok()) *first_failure = std::move(status);
    });
  async_reply(messages.back(), [first_failure, handler = std::move(handler)](
                                  SocketImpl& self, Transport::StatusCode status) {
    if (!first_failure->ok()) status = *first_failure;
    handler(self, std::move(status));
  });
}

bool SocketImpl::post(std::function<void()> /*work*/) { return false; }

void SocketImpl::set_receive_helper(Helper /*helper*/) {}

void SocketImpl::send_now(std::vector<Message>& messages, SendHandler handler,
                          const std::function<bool()>& /*keep_waiting*/) {
  auto sending = std::make_shared<std::vector<Message>>(std::move(messages));
  if (!post([this, sending, handler] { async_send_all(*sending, handler); })) async_send_all(*sending, handler);
}

Message SocketImpl::receive_placed(const Placement& placement, bool& placed, Transport::StatusCode* status) {
  Message frame = receive(status);
  placed = !frame.null() && frame.size() == placement.head + placement.size;
  if (placed && placement.size > 0) std::memcpy(placement.tail, frame.buffer() + placement.head, placement.size);
  return frame;
}

Transport::StatusCode SocketImpl::send_pieces(const Piece* pieces, std::size_t count) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += pieces[i].size;
  Message message = Message::uninitialized(static_cast<long>(total));
  char* at = message.buffer();
  for (std::size_t i = 0; i < count; ++i) {
    if (pieces[i].size > 0) std::memcpy(at, pieces[i].data, pieces[i].size);
    at += pieces[i].size;
  }
  return send(message);
}

}  // namespace tarvelo
