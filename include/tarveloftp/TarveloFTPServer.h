#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <tarvelo/SocketImpl.h>
#include <tarveloftp/Endpoints.h>
#include <tarveloftp/Export.h>
#include <tarveloftp/ServerMessageHandler.h>

namespace tarvelo {

// Publishes a table of targets: accepts up to 1024 clients on the client
// listener and serves each through its own ServerMessageHandler on the
// thread that calls run(); a second, loopback-only listener on port + 1
// takes administration commands on a thread of its own.
class TARVELOFTP_EXPORT TarveloFTPServer {
 public:
  static constexpr std::size_t MAX_CLIENTS = 1024;

  // One accepted connection. Lives in its slot; every call runs on the
  // client loop thread.
  class TARVELOFTP_EXPORT RemoteClient {
   public:
    RemoteClient(TarveloFTPServer& server, std::unique_ptr<SocketImpl> socket);
    ~RemoteClient();
    RemoteClient(const RemoteClient&) = delete;
    RemoteClient& operator=(const RemoteClient&) = delete;

    void start();
    Transport::StatusCode close();
    bool in_use() const { return m_in_use; }
    ServerMessageHandler& handler() { return m_handler; }

   private:
    void on_receive(SocketImpl& socket, Message message, Transport::StatusCode status);
    void on_send(SocketImpl& socket, Transport::StatusCode status, std::size_t size);
    void receive_next(SocketImpl& socket);

    std::unique_ptr<SocketImpl> m_socket;
    bool m_in_use = true;
    bool close_after_send = false;
    SocketImpl::ReceiveHandler m_on_recv;
    TarveloFTPServer& m_server;
    ServerMessageHandler m_handler;
    // Bytes of responses queued but not yet sent. A client that sends
    // requests without reading the answers is not read from again until
    // they drain, so it cannot make us hold more than this.
    std::size_t m_bytes_in_flight = 0;
    bool m_receive_waiting_for_send = false;
  };

  TarveloFTPServer(std::unique_ptr<SocketImpl> socket, std::string address, unsigned short port,
                   config::Endpoints&& endpoints);
  virtual ~TarveloFTPServer();
  TarveloFTPServer(const TarveloFTPServer&) = delete;
  TarveloFTPServer& operator=(const TarveloFTPServer&) = delete;

  // Listens and serves until close(); returns the listen failure, or the
  // client loop's status.
  virtual Transport::StatusCode run();
  // Stops serving: closes both listeners and every client (committing and
  // syncing their images). Callable from any thread; returns once the
  // clients are closed.
  virtual Transport::StatusCode close();
  virtual bool is_running() const { return m_running; }
  virtual void setBlockHashStorage(bool enabled) { m_block_hash_storage = enabled; }
  virtual bool isBlockHashStorageEnabled() { return m_block_hash_storage; }

  // Debug lines for every message of clients accepted later.
  void setMessageDebugLogging(bool enabled) { m_message_debug_logging = enabled; }
  config::Endpoints& endpoints() { return m_endpoints; }
  long find_free_slot();
  uint16_t admin_port() const { return static_cast<uint16_t>(m_port + 1); }

  // Largest number of response bytes queued on one connection before the
  // server stops reading its next request.
  static constexpr std::size_t kMaxBytesInFlight = 96 * 1024 * 1024;
  // Most requests, already read ahead, handled in one go.
  static constexpr std::size_t kMaxRequestsTogether = 128;

 private:
  void accept_client(SocketImpl& listener, std::unique_ptr<SocketImpl> connection,
                     Transport::StatusCode status);
  void close_clients();

  std::unique_ptr<SocketImpl> m_socket;
  std::unique_ptr<SocketImpl> m_admin_socket;
  std::string m_address;
  uint16_t m_port;
  std::array<std::unique_ptr<RemoteClient>, MAX_CLIENTS> m_clients;
  config::Endpoints m_endpoints;
  std::atomic<bool> m_running{false};
  bool m_block_hash_storage = false;
  bool m_message_debug_logging = false;

  // Who runs the client loop, so that close() from another thread can wait
  // for it to let go of the clients instead of touching them concurrently.
  std::mutex m_loop_mutex;
  std::condition_variable m_loop_finished;
  bool m_loop_active = false;
  bool m_close_requested = false;
  std::thread::id m_loop_thread;
};

}  // namespace tarvelo
