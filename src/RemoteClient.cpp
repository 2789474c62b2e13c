// One accepted connection: receive a request, hand it to the handler, send
// the response, and close when the handler says so.

#include <tarveloftp/TarveloFTPServer.h>

#include <tarveloftp/Logger.h>

namespace tarvelo {
namespace {

// Replies gathered from requests already read ahead before they are sent:
// as many as one write of the socket takes, and small ones only.
constexpr std::size_t kMostRepliesTogether = 64;
constexpr std::size_t kReplyBytesTogether = 64 * 1024;

}  // namespace

TarveloFTPServer::RemoteClient::RemoteClient(TarveloFTPServer& server,
                                             std::unique_ptr<SocketImpl> socket)
    : m_socket(std::move(socket)), m_server(server), m_handler(server.endpoints()) {
  m_handler.setBlockHashStorage(server.isBlockHashStorageEnabled());
  m_handler.setMessageDebugLogging(server.m_message_debug_logging);
}

TarveloFTPServer::RemoteClient::~RemoteClient() { (void)close(); }

void TarveloFTPServer::RemoteClient::start() {
  if (!m_in_use) return;
  m_on_recv = [this](SocketImpl& socket, Message message, Transport::StatusCode status) {
    on_receive(socket, std::move(message), std::move(status));
  };
  m_socket->async_receive(m_on_recv);
}

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

  // Requests already read ahead are answered in this pass and their replies
  // handed to the socket as one batch, which it writes together: a peer
  // that sends many small requests at once gets its answers in few writes.
  // Hashes among them are answered in one go, without a trip through the
  // loop for each; without block hashing the handler also hashes them side
  // by side.
  std::vector<Message> replies;
  std::size_t reply_bytes = 0;
  bool closing = false;
  Message next = std::move(message);
  for (;;) {
    std::vector<Message> requests;
    requests.push_back(std::move(next));
    while (requests.size() < kMaxRequestsTogether && m_handler.answers_together(requests.back())) {
      Message more;
      if (!socket.take_ready(more)) break;
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
        close_after_send = response.close_after_send;
        if (close_after_send)
          TLOG(DEBUG) << "Setting the close_after_send flag for this remoteclient: "
                      << static_cast<const void*>(this);
        reply_bytes += response.message.size();
        replies.push_back(std::move(response.message));
      }
      if (response.close_after_send) {
        closing = true;
        break;
      }
    }
    // A large reply, or many, go out now rather than wait for more work.
    if (closing || replies.size() >= kMostRepliesTogether || reply_bytes > kReplyBytesTogether ||
        m_bytes_in_flight + reply_bytes > kMaxBytesInFlight)
      break;
    next = Message();
    if (!socket.take_ready(next)) break;
  }

  if (closing && !close_after_send) {
    (void)close();  // the request ends the connection without an answer
    return;
  }
  if (!replies.empty()) {
    m_bytes_in_flight += reply_bytes;
    socket.async_send_all(replies, [this, reply_bytes](SocketImpl& sent, Transport::StatusCode sent_status) {
      on_send(sent, std::move(sent_status), reply_bytes);
    });
  }
  if (!closing) receive_next(socket);
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

}  // namespace tarvelo
