// The listener, the client slots, and the lifetime of both loops.

#include <tarveloftp/TarveloFTPServer.h>

#include <tarvelo/BasicSocket.h>
#include <tarveloftp/Logger.h>

#include "AdminChannel.h"
#include "WorkerPool.h"

namespace tarvelo {

TarveloFTPServer::TarveloFTPServer(std::unique_ptr<SocketImpl> socket, std::string address,
                                   unsigned short port, config::Endpoints&& endpoints)
    : m_socket(std::move(socket)),
      m_admin_socket(std::make_unique<BasicSocket>(std::make_unique<TCPTransport>())),
      m_address(std::move(address)),
      m_port(port),
      m_endpoints(std::move(endpoints)) {}

TarveloFTPServer::~TarveloFTPServer() {
  close();
  // Clients refer to the table; they go first.
  for (auto& client : m_clients) client.reset();
}

long TarveloFTPServer::find_free_slot() {
  for (std::size_t i = 0; i < m_clients.size(); ++i)
    if (!m_clients[i] || !m_clients[i]->in_use()) return static_cast<long>(i);
  return -1;
}

Transport::StatusCode TarveloFTPServer::run() {
  {
    std::lock_guard lock(m_loop_mutex);
    if (m_close_requested) return {"Server closed before it ran", Transport::kClosed};
    m_loop_active = true;
    m_loop_thread = std::this_thread::get_id();
  }
  auto finish = [this](Transport::StatusCode status) {
    std::lock_guard lock(m_loop_mutex);
    m_loop_active = false;
    m_loop_finished.notify_all();
    return status;
  };

  // The administration channel takes the next port; 65535 has none.
  if (m_port == UINT16_MAX)
    return finish({"Port 65535 leaves no port for the administration channel (port + 1)", Transport::kError});
  Transport::StatusCode status = m_socket->listen(m_port, m_address);
  if (status.code < 0) return finish(status);
  status = m_admin_socket->listen(admin_port(), "127.0.0.1");
  if (status.code < 0) {
    status.text = "Administration channel (port + 1): " + status.text;
    return finish(status);
  }

  // Lives until both loops have returned: the administration thread is
  // joined below before it goes.
  AdminChannel admin(m_endpoints, *m_admin_socket);
  m_socket->async_accept([this](SocketImpl& listener, std::unique_ptr<SocketImpl> connection,
                                Transport::StatusCode accepted) {
    accept_client(listener, std::move(connection), std::move(accepted));
  });
  admin.start();
  std::thread admin_thread([this] { m_admin_socket->run(); });

  // Workers hand their replies back through the listener's loop; a socket
  // without one is served on this thread alone.
  m_stopping = false;
  if (m_worker_threads > 1) {
    if (m_socket->post([] {}))
      m_pool = std::make_unique<detail::WorkerPool>(m_worker_threads);
    else
      TLOG(WARNING) << "This listener cannot take work from other threads: serving on one thread";
  }

  m_running = true;
  status = m_socket->run();
  if (status.code < 0) m_running = false;

  // The client loop has returned: once the workers are done, nothing else
  // touches the clients.
  stop_workers();
  close_clients();
  m_pool.reset();
  m_admin_socket->close();
  m_admin_socket->stop();
  admin_thread.join();
  m_running = false;
  return finish(status);
}

void TarveloFTPServer::accept_client(SocketImpl& listener, std::unique_ptr<SocketImpl> connection,
                                     Transport::StatusCode status) {
  auto rearm = [this, &listener] {
    listener.async_accept([this](SocketImpl& self, std::unique_ptr<SocketImpl> next,
                                 Transport::StatusCode next_status) {
      accept_client(self, std::move(next), std::move(next_status));
    });
  };
  if (status.code < 0) {
    TLOG(ERROR) << "Accept error: " << status.text;
    if (status.code != Transport::kAcceptCancelled) rearm();
    return;
  }
  TLOG(INFO) << "Accepting client.";
  long slot = find_free_slot();
  if (slot < 0) {
    // Refuse this one only; the listener stays open for when a slot frees.
    TLOG(ERROR) << "Refusing client, no slots available.";
    connection->close();
    rearm();
    return;
  }
  m_clients[static_cast<std::size_t>(slot)] =
      std::make_unique<RemoteClient>(*this, std::move(connection));
  m_clients[static_cast<std::size_t>(slot)]->start();
  rearm();
}

void TarveloFTPServer::stop_workers() {
  m_stopping = true;
  if (m_pool) m_pool->wait_idle();
}

void TarveloFTPServer::close_clients() {
  for (auto& client : m_clients)
    if (client) client->close();
}

Transport::StatusCode TarveloFTPServer::close() {
  m_admin_socket->close();
  m_admin_socket->stop();
  Transport::StatusCode status = m_socket->close();
  std::unique_lock lock(m_loop_mutex);
  m_close_requested = true;
  if (m_loop_active && m_loop_thread != std::this_thread::get_id()) {
    // run() closes the clients itself once its loop has returned.
    m_socket->stop();
    m_loop_finished.wait(lock, [this] { return !m_loop_active; });
  } else {
    lock.unlock();
    stop_workers();
    close_clients();
    m_socket->stop();
  }
  m_running = false;
  return status;
}

}  // namespace tarvelo
