// One accepted connection: receive requests, hand them to the handler,
// send the responses in order, and close when the handler says so. Without
// workers everything runs on the loop thread; with them, the handler runs
// in jobs on the pool, one job of a connection at a time, and hands its
// replies back to the loop to send.

#include <tarveloftp/TarveloFTPServer.h>

#include <algorithm>
#include <chrono>

#include <tarveloftp/Logger.h>

#include "WorkerPool.h"

namespace tarvelo {
namespace {

// Replies gathered from requests already read ahead before they are sent:
// as many as one write of the socket takes, and small ones only.
constexpr std::size_t kMostRepliesTogether = 64;
constexpr std::size_t kReplyBytesTogether = 64 * 1024;
// How long a worker sending replies waits for a slow client while other
// jobs wait for a worker.
constexpr auto kSlowClientGrace = std::chrono::milliseconds(5);

}  // namespace

TarveloFTPServer::RemoteClient::RemoteClient(TarveloFTPServer& server,
                                             std::unique_ptr<SocketImpl> socket)
    : m_socket(std::move(socket)), m_server(server), m_handler(server.endpoints()) {
  m_handler.setBlockHashStorage(server.isBlockHashStorageEnabled());
  m_handler.setHashDirectory(server.hashDirectory());
  m_handler.setMessageDebugLogging(server.m_message_debug_logging);
}

TarveloFTPServer::RemoteClient::~RemoteClient() { (void)close(); }

void TarveloFTPServer::RemoteClient::start() {
  if (!m_in_use) return;
  if (m_server.m_pool) {
    m_on_recv = [this](SocketImpl& socket, Message message, Transport::StatusCode status) {
      queue_requests(socket, std::move(message), std::move(status));
    };
    // The bytes of large writes, most of what the loop would copy, are
    // copied by the workers, as they copy the replies of large reads.
    m_socket->set_receive_helper(
        [pool = m_server.m_pool.get()](std::function<void()> job) { pool->post(std::move(job)); });
  } else {
    m_on_recv = [this](SocketImpl& socket, Message message, Transport::StatusCode status) {
      on_receive(socket, std::move(message), std::move(status));
    };
  }
  m_socket->async_receive(m_on_recv);
}

TarveloFTPServer::RemoteClient::Answers TarveloFTPServer::RemoteClient::answer(
    Message first, const std::function<bool(Message&)>& take_next, std::size_t bytes_in_flight) {
  // Requests already read ahead are answered in this pass and their replies
  // handed to the socket as one batch, which it writes together: a peer
  // that sends many small requests at once gets its answers in few writes.
  // Hashes among them are answered in one go; without block hashing the
  // handler also hashes them side by side.
  Answers answers;
  Message next = std::move(first);
  for (;;) {
    std::vector<Message> requests;
    requests.push_back(std::move(next));
    while (requests.size() < kMaxRequestsTogether && m_handler.answers_together(requests.back())) {
      Message more;
      if (!take_next(more)) break;
      requests.push_back(std::move(more));
    }
    std::vector<ServerMessageHandlerResponse> responses;
    if (requests.size() == 1)
      responses.push_back(m_handler.handle_message(std::move(requests.front())));
    else
      responses = m_handler.handle_messages(std::move(requests));

    for (ServerMessageHandlerResponse& response : responses) {
      if (!response.error.empty())
        TLOG(ERROR) << "RemoteClient encountered an error handling the message. Error: "
                    << response.error;
      if (response.send_response) {
        answers.send_then_close = response.close_after_send;
        if (response.close_after_send)
          TLOG(DEBUG) << "Setting the close_after_send flag for this remoteclient: "
                      << static_cast<const void*>(this);
        answers.bytes += response.message.size();
        answers.replies.push_back(std::move(response.message));
      }
      if (response.close_after_send) {
        answers.closing = true;
        break;
      }
    }
    // A large reply, or many, go out now rather than wait for more work.
    if (answers.closing || answers.replies.size() >= kMostRepliesTogether ||
        answers.bytes > kReplyBytesTogether || bytes_in_flight + answers.bytes > kMaxBytesInFlight)
      return answers;
    next = Message();
    if (!take_next(next)) return answers;
  }
}

// ---- on the loop thread alone ----

void TarveloFTPServer::RemoteClient::receive_next(SocketImpl& socket) {
  if (m_bytes_in_flight > kMaxBytesInFlight) {
    m_receive_waiting_for_send = true;
    return;
  }
  m_receive_waiting_for_send = false;
  socket.async_receive(m_on_recv);
}

void TarveloFTPServer::RemoteClient::on_receive(SocketImpl& socket, Message message,
                                                Transport::StatusCode status) {
  if (status.code < 0) {
    if (!m_socket) {
      TLOG(ERROR) << "RemoteClient m_on_recv but m_socket was nullptr";
      return;
    }
    if (m_socket->is_sending()) {
      TLOG(ERROR) << "Error on receive but send is pending, deferring close to send callback.";
      return;
    }
    TLOG(ERROR) << "RemoteClient start got called with an error: " << status.code << " "
                << status.text;
    (void)socket.close();
    (void)close();
    TLOG(ERROR) << "Hanging up on client.";
    return;
  }

  Answers answers = answer(
      std::move(message), [&socket](Message& next) { return socket.take_ready(next); }, m_bytes_in_flight);
  if (answers.send_then_close) close_after_send = true;
  if (answers.closing && !close_after_send) {
    (void)close();  // the request ends the connection without an answer
    return;
  }
  if (!answers.replies.empty()) {
    std::size_t bytes = answers.bytes;
    m_bytes_in_flight += bytes;
    socket.async_send_all(answers.replies, [this, bytes](SocketImpl& sent, Transport::StatusCode sent_status) {
      on_send(sent, std::move(sent_status), bytes);
    });
  }
  if (!answers.closing) receive_next(socket);
}

void TarveloFTPServer::RemoteClient::on_send(SocketImpl& socket, Transport::StatusCode status,
                                             std::size_t size) {
  m_bytes_in_flight -= size;
  if (status.code >= 0 && !close_after_send) {
    if (m_receive_waiting_for_send && m_socket) receive_next(socket);
    return;
  }
  if (!m_socket) {
    TLOG(ERROR) << "RemoteClient m_on_send but m_socket was nullptr";
    return;
  }
  if (m_socket->is_receiving()) {
    TLOG(DEBUG) << "After send callback completed, the status shows not ok, but an error "
                << status.code << " but there is a receive pending, not closing socket yet.";
    return;
  }
  if (close_after_send)
    TLOG(DEBUG) << "After send callback completed, we found the close_after_send flag set, so "
                   "we're going to close the socket now.";
  else
    TLOG(DEBUG) << "After send callback completed, the status shows not ok, but an error "
                << status.code << " closing the socket now.";
  (void)socket.close();
  (void)close();
}

Transport::StatusCode TarveloFTPServer::RemoteClient::close() {
  TLOG(DEBUG) << "RemoteClient close start.";
  Transport::StatusCode result{"", 0};
  if (!m_socket) {
    TLOG(DEBUG) << "RemoteClient close socket was already closed.";
  } else {
    TLOG(DEBUG) << "RemoteClient closing socket.";
    result = m_socket->close();
    m_socket.reset();
  }
  if (m_in_use) {
    TLOG(DEBUG) << "RemoteClient close marking this remoteclient no longer in use "
                << static_cast<const void*>(this);
    m_in_use = false;
    m_handler.cleanup();
  }
  return result;
}

// ---- with workers: the loop's side ----

void TarveloFTPServer::RemoteClient::queue_requests(SocketImpl& socket, Message message,
                                                    Transport::StatusCode status) {
  if (status.code < 0) {
    TLOG(ERROR) << "RemoteClient start got called with an error: " << status.code << " "
                << status.text;
    // What arrived before is still handled: a client may hang up right
    // after its last writes.
    schedule_end(true);
    return;
  }
  std::vector<Message> arrived;
  arrived.push_back(std::move(message));
  for (Message more; socket.take_ready(more); more = Message()) arrived.push_back(std::move(more));
  bool schedule = false;
  bool room = false;
  {
    std::lock_guard lock(m_mutex);
    if (m_stop_taking) return;
    for (Message& request : arrived) {
      m_request_bytes += request.size();
      m_requests.push_back(std::move(request));
    }
    schedule = !m_job_scheduled;
    m_job_scheduled = true;
    room = m_request_bytes <= kMaxRequestBytesWaiting;
  }
  if (schedule) m_server.m_pool->post([this] { work(); });
  if (room && m_bytes_in_flight <= kMaxBytesInFlight)
    socket.async_receive(m_on_recv);
  else
    m_receive_waiting_for_send = true;
}

void TarveloFTPServer::RemoteClient::resume_receiving() {
  if (!m_receive_waiting_for_send || !m_socket || m_bytes_in_flight > kMaxBytesInFlight) return;
  {
    std::lock_guard lock(m_mutex);
    if (m_stop_taking || m_peer_done || m_request_bytes > kMaxRequestBytesWaiting) return;
  }
  m_receive_waiting_for_send = false;
  m_socket->async_receive(m_on_recv);
}

// The connection ends: with `handle_queued_first`, after the requests
// already received; otherwise at once. Either way the handler's clean-up
// (a commit, the image's sync) runs on a worker, not on the loop.
void TarveloFTPServer::RemoteClient::schedule_end(bool handle_queued_first) {
  bool schedule = false;
  {
    std::lock_guard lock(m_mutex);
    if (handle_queued_first)
      m_peer_done = true;
    else
      m_stop_taking = true;
    schedule = !m_job_scheduled;
    m_job_scheduled = true;
  }
  if (schedule) m_server.m_pool->post([this] { work(); });
}

void TarveloFTPServer::RemoteClient::deliver(bool silent_close, bool finished) {
  if (!finished) {
    resume_receiving();
    return;
  }
  m_finished = true;
  if (silent_close || m_bytes_in_flight == 0 || !m_socket) release();
}

void TarveloFTPServer::RemoteClient::on_delivered(Transport::StatusCode status, std::size_t size) {
  m_bytes_in_flight -= size;
  if (!m_in_use) return;
  if (m_finished) {
    if (m_bytes_in_flight == 0 || status.code < 0) release();
    return;
  }
  if (status.code < 0) {
    TLOG(DEBUG) << "After send callback completed, the status shows not ok, but an error "
                << status.code << " closing the socket now.";
    if (m_socket) (void)m_socket->close();
    schedule_end(false);
    return;
  }
  resume_receiving();
}

void TarveloFTPServer::RemoteClient::release() {
  if (m_socket) {
    (void)m_socket->close();
    m_socket.reset();
  }
  TLOG(DEBUG) << "RemoteClient close marking this remoteclient no longer in use "
              << static_cast<const void*>(this);
  m_in_use = false;
}

// ---- with workers: a job ----

void TarveloFTPServer::RemoteClient::send_replies(Answers& answers) {
  if (answers.replies.empty() || !m_socket) return;
  const std::size_t bytes = answers.bytes;
  m_bytes_in_flight += bytes;
  // The copies into the socket are most of a large read's cost: made here,
  // they are spread over the workers instead of all falling to the loop.
  // A client slower than the server is waited for while no other job needs
  // the thread, and a little while when one does: the replies left to the
  // loop make every later one of this connection wait for the loop too.
  m_socket->send_now(
      answers.replies,
      [this, bytes](SocketImpl&, Transport::StatusCode status) { on_delivered(std::move(status), bytes); },
      [this, since = std::chrono::steady_clock::now()] {
        if (m_server.m_stopping) return false;
        return !m_server.m_pool->jobs_waiting() || std::chrono::steady_clock::now() - since < kSlowClientGrace;
      });
}

void TarveloFTPServer::RemoteClient::work() {
  // A pass ends after this much, so that a connection that keeps sending
  // does not keep a worker from the others, and the loop hears of the room
  // it made.
  std::size_t budget_bytes = kMaxRequestBytesWaiting;
  std::size_t budget_requests = 2 * kMaxRequestsTogether;
  auto take = [&](Message& request) {
    std::lock_guard lock(m_mutex);
    if (m_requests.empty() || m_stop_taking || m_server.m_stopping || budget_requests == 0 ||
        budget_bytes == 0)
      return false;
    request = std::move(m_requests.front());
    m_requests.pop_front();
    m_request_bytes -= request.size();
    budget_bytes -= std::min(budget_bytes, request.size());
    --budget_requests;
    return true;
  };
  Answers answers;
  Message first;
  bool took = take(first);
  if (took) answers = answer(std::move(first), take, 0);

  bool finished = false;
  {
    std::lock_guard lock(m_mutex);
    if (answers.closing) m_stop_taking = true;
    finished = m_stop_taking || m_server.m_stopping || (m_peer_done && m_requests.empty());
  }
  const bool silent_close = answers.closing && !answers.send_then_close;
  if (!silent_close) send_replies(answers);
  // Still this connection's only job: what it posts reaches the loop before
  // anything a later job posts.
  if (finished) m_handler.cleanup();
  if (took || finished) {
    bool posted = m_server.m_socket->post([this, silent_close, finished] { deliver(silent_close, finished); });
    if (!posted) TLOG(ERROR) << "Replies of a connection could not be handed to the network loop";
  }
  if (finished) return;  // the slot is released by the loop, after the last reply

  bool more = false;
  {
    std::lock_guard lock(m_mutex);
    more = !m_requests.empty() || m_peer_done || m_stop_taking || m_server.m_stopping;
    if (!more) m_job_scheduled = false;
  }
  // Behind the other connections' jobs, so that none waits for a busy one.
  if (more) m_server.m_pool->post([this] { work(); });
}

}  // namespace tarvelo
