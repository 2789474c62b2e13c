#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <tarvelo/Export.h>
#include <tarvelo/Message.h>
#include <tarvelo/Transport.h>

namespace tarvelo {

// A message socket: whole messages in, whole messages out. Blocking calls
// serve clients; asynchronous calls complete inside the listener's run().
// No operation throws; failures come back as negative status codes.
class TARVELO_TRANSPORT_EXPORT SocketImpl {
 public:
  using ReceiveHandler = std::function<void(SocketImpl&, Message, Transport::StatusCode)>;
  using SendHandler = std::function<void(SocketImpl&, Transport::StatusCode)>;
  using AcceptHandler =
      std::function<void(SocketImpl&, std::unique_ptr<SocketImpl>, Transport::StatusCode)>;

  virtual ~SocketImpl();

  virtual Transport::StatusCode connect(std::string address, uint16_t port) = 0;
  virtual Transport::StatusCode listen(uint16_t port, std::string address) = 0;
  // The handler is called once, with the next connection or a failure
  // (code -24 when the listener is closed meanwhile).
  virtual void async_accept(AcceptHandler handler) = 0;
  // Blocks for the next whole message; a null message on failure.
  virtual Message receive(Transport::StatusCode* status) = 0;
  // The handler is called once, with the next message or a failure.
  virtual void async_receive(ReceiveHandler handler) = 0;
  // Blocks until the message is sent.
  virtual Transport::StatusCode send(Message& message) = 0;
  // Return at once; the message is queued behind earlier sends and the
  // handler is called when it has gone out.
  virtual void async_send(Message& message, SendHandler handler) = 0;
  virtual void async_reply(Message& message, SendHandler handler) = 0;
  // Closes the connection or listener; pending operations complete with a
  // failure. May be repeated and called from any thread.
  virtual Transport::StatusCode close() = 0;
  // Dispatches completions until stop(); called on listeners only.
  virtual Transport::StatusCode run() = 0;
  // Makes run() return; callable from any thread.
  virtual void stop() = 0;
  virtual bool is_receiving() = 0;
  virtual bool is_sending() = 0;

  // Additions come after the operations above, whose slot order programs
  // built against this library rely on.
  // True, with the next message in `message`, when it already arrived
  // whole with bytes read earlier; false otherwise. Never waits or reads.
  // For a receive handler, before its next async_receive, to take requests
  // a peer sent together. A message that cannot be decoded closes the
  // connection, and the next receive reports it. Sockets without
  // read-ahead take none.
  virtual bool take_ready(Message& message);
  // Blocks until all the messages are sent, in order; a socket may put them
  // on the wire together. Stops at the first failure.
  virtual Transport::StatusCode send_all(std::vector<Message>& messages);
  // The user id owning the socket at the other end of this connection, for
  // a peer on this host. Fails when that cannot be told for certain: a peer
  // elsewhere or already gone, or a socket that has no way to tell.
  [[nodiscard]] virtual Transport::StatusCode peer_uid(uint32_t& uid);
  // As async_send for several messages, queued in order before any of them
  // starts, so that a socket may put them on the wire together: for a
  // server answering requests a peer sent together. The handler is called
  // once, after the last message, with the first failure if any; an empty
  // list completes at once. By default they go one by one through
  // async_reply.
  virtual void async_send_all(std::vector<Message>& messages, SendHandler handler);
  // Queues `work` to run inside run(), on the thread that dispatches the
  // completions of this socket (a listener's, for the sockets it accepted):
  // for other threads handing results back to that loop. Callable from any
  // thread; work queued after stop() waits for the next run() and is
  // destroyed unrun with the loop. False, with nothing queued, for sockets
  // that have no such loop.
  [[nodiscard]] virtual bool post(std::function<void()> work);
  // One piece of a message that send_pieces puts together.
  struct Piece {
    const void* data;
    std::size_t size;
  };
  // As send for the message made of `count` pieces one after the other,
  // which the socket may write from where they are instead of copying them
  // into one message first: for a large payload that is already in memory.
  // The pieces are no longer used once the call returns. By default they
  // are joined and go through send.
  virtual Transport::StatusCode send_pieces(const Piece* pieces, std::size_t count);
  // Where the bytes of a frame past its first `head` bytes go, if it has
  // exactly head + size of them: a reply whose payload has a home already.
  struct Placement {
    std::size_t head;
    char* tail;
    std::size_t size;
  };
  // As receive(), but a frame of exactly placement.head + placement.size
  // bytes leaves its bytes past the head in placement.tail, and `placed`
  // says so; the message then holds the head, and perhaps a copy of those
  // bytes after it. Any other frame comes whole, as from receive(). By
  // default the frame is received and its bytes copied; a socket that can
  // reads them straight into place.
  virtual Message receive_placed(const Placement& placement, bool& placed, Transport::StatusCode* status);
  // As async_send_all, from any thread (a worker that answered requests
  // sends the replies itself, instead of leaving every copy to the loop):
  // when nothing is queued before the messages, as much as the connection
  // takes goes out on the calling thread, which waits for room while
  // `keep_waiting` says so (asked every few milliseconds); the loop writes
  // the rest. The handler is called on the loop. Calls on one socket must
  // not overlap each other or other sends. By default the loop sends them
  // all.
  virtual void send_now(std::vector<Message>& messages, SendHandler handler,
                        const std::function<bool()>& keep_waiting);
  // Runs a job on another thread (a worker pool's).
  using Helper = std::function<void(std::function<void()>)>;
  // The receive's counterpart of send_now: the bytes of a large message are
  // copied by jobs handed to `helper` as they arrive, instead of on the
  // loop, so that one loop serving many connections does not make every
  // copy itself; the handler still runs on the loop. Set before the first
  // receive. By default, and for sockets that cannot, the loop reads all.
  virtual void set_receive_helper(Helper helper);
};

}  // namespace tarvelo
