#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <tarvelo/SocketImpl.h>
#include <tarveloftp/Endpoints.h>
#include <tarveloftp/Export.h>
#include <tarveloftp/ServerMessageHandler.h>

namespace tarvelo {

namespace detail {
class WorkerPool;
}

// Publishes a table of targets: accepts up to 1024 clients on the client
// listener and serves each through its own ServerMessageHandler; a second,
// loopback-only listener on port + 1 takes administration commands on a
// thread of its own.
//
// Threads: the thread that calls run() does all network I/O. With one
// worker thread (the default) it also handles every request itself, one at
// a time. With more, requests are handled on a pool of that many threads:
// different connections proceed side by side, while the requests of one
// connection are still handled one at a time, in the order they came, and
// their replies leave in that order.
class TARVELOFTP_EXPORT TarveloFTPServer {
 public:
  static constexpr std::size_t MAX_CLIENTS = 1024;

  // One accepted connection. Lives in its slot; its network side runs on
  // the client loop thread, its handler on one thread at a time.
  class TARVELOFTP_EXPORT RemoteClient {
   public:
    RemoteClient(TarveloFTPServer& server, std::unique_ptr<SocketImpl> socket);
    ~RemoteClient();
    RemoteClient(const RemoteClient&) = delete;
    RemoteClient& operator=(const RemoteClient&) = delete;

    void start();
    // Closes the connection and releases its image, on the calling thread:
    // for the loop thread while no worker has the connection (a stopped
    // server).
    Transport::StatusCode close();
    bool in_use() const { return m_in_use; }
    ServerMessageHandler& handler() { return m_handler; }

   private:
    // What one pass over requests produced.
    struct Answers {
      std::vector<Message> replies;
      std::size_t bytes = 0;
      // A response ended the connection; its reply, if any, goes out first
      // when send_then_close is set.
      bool closing = false;
      bool send_then_close = false;
    };
    // Handles `first` and whatever `take_next` hands out after it, until a
    // batch of replies is worth sending or the connection ends.
    Answers answer(Message first, const std::function<bool(Message&)>& take_next,
                   std::size_t bytes_in_flight);

    // Handling on the loop thread.
    void on_receive(SocketImpl& socket, Message message, Transport::StatusCode status);
    void on_send(SocketImpl& socket, Transport::StatusCode status, std::size_t size);
    void receive_next(SocketImpl& socket);

    // Handling on the workers.
    void queue_requests(SocketImpl& socket, Message message, Transport::StatusCode status);
    void work();
    // Hands the replies to the socket from the worker (see send_now).
    void send_replies(Answers& answers);
    // On the loop, once a job has sent its replies: goes on receiving, or
    // frees the slot after the connection's last job.
    void deliver(bool silent_close, bool finished);
    void on_delivered(Transport::StatusCode status, std::size_t size);
    void schedule_end(bool handle_queued_first);
    void resume_receiving();
    void release();

    std::unique_ptr<SocketImpl> m_socket;
    std::atomic<bool> m_in_use{true};
    bool close_after_send = false;
    SocketImpl::ReceiveHandler m_on_recv;
    TarveloFTPServer& m_server;
    ServerMessageHandler m_handler;
    // Bytes of responses queued but not yet sent (added to by workers,
    // taken from on the loop). A client that sends requests without reading
    // the answers is not read from again until they drain, so it cannot
    // make us hold more than this.
    std::atomic<std::size_t> m_bytes_in_flight{0};
    bool m_receive_waiting_for_send = false;

    // With workers: requests received and not yet handled, and whether a
    // job of this connection is queued or running (at most one is, which
    // keeps its requests in order). Guarded by m_mutex.
    std::mutex m_mutex;
    std::deque<Message> m_requests;
    std::size_t m_request_bytes = 0;
    bool m_job_scheduled = false;
    // No more requests are handled: the connection is ending.
    bool m_stop_taking = false;
    // The peer is gone: handle what arrived, then end.
    bool m_peer_done = false;
    // Loop thread only: the handler is done and released its image; the
    // slot frees once the last reply is out.
    bool m_finished = false;
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

  // Threads that handle requests, from the next run() on; 1, the default,
  // handles them on the loop thread. Values below 1 count as 1.
  void setWorkerThreads(std::size_t count) { m_worker_threads = count < 1 ? 1 : count; }
  std::size_t workerThreads() const { return m_worker_threads; }
  // Debug lines for every message of clients accepted later.
  void setMessageDebugLogging(bool enabled) { m_message_debug_logging = enabled; }
  // Where clients accepted later keep block-hash files and journals; empty
  // (the default): beside each image.
  void setHashDirectory(const std::string& directory) { m_hash_directory = directory; }
  const std::string& hashDirectory() const { return m_hash_directory; }
  config::Endpoints& endpoints() { return m_endpoints; }
  long find_free_slot();
  uint16_t admin_port() const { return static_cast<uint16_t>(m_port + 1); }

  // Largest number of response bytes queued on one connection before the
  // server stops reading its next request.
  static constexpr std::size_t kMaxBytesInFlight = 96 * 1024 * 1024;
  // Most requests, already read ahead, handled in one go.
  static constexpr std::size_t kMaxRequestsTogether = 128;
  // With workers, the server stops reading a connection while this many
  // bytes of its requests wait to be handled.
  static constexpr std::size_t kMaxRequestBytesWaiting = 8 * 1024 * 1024;

 private:
  void accept_client(SocketImpl& listener, std::unique_ptr<SocketImpl> connection,
                     Transport::StatusCode status);
  void close_clients();
  // Lets the workers finish what they hold and waits for them; afterwards
  // no worker touches a client.
  void stop_workers();

  std::unique_ptr<SocketImpl> m_socket;
  std::unique_ptr<SocketImpl> m_admin_socket;
  std::string m_address;
  uint16_t m_port;
  std::array<std::unique_ptr<RemoteClient>, MAX_CLIENTS> m_clients;
  config::Endpoints m_endpoints;
  std::atomic<bool> m_running{false};
  bool m_block_hash_storage = false;
  bool m_message_debug_logging = false;
  std::size_t m_worker_threads = 1;
  // Set while run() serves with workers; declared after what the jobs use.
  std::unique_ptr<detail::WorkerPool> m_pool;
  std::atomic<bool> m_stopping{false};

  // Who runs the client loop, so that close() from another thread can wait
  // for it to let go of the clients instead of touching them concurrently.
  std::mutex m_loop_mutex;
  std::condition_variable m_loop_finished;
  bool m_loop_active = false;
  bool m_close_requested = false;
  std::thread::id m_loop_thread;
  std::string m_hash_directory;
};

}  // namespace tarvelo
