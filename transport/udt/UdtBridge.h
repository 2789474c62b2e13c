#pragma once

// Asynchronous operations on UDT sockets for one io_context. UDT has no
// descriptor that asio could wait on, so one thread per io_context (the
// bridge) waits in UDT::epoll_wait, performs the ready non-blocking reads,
// writes and accepts, and posts their completions to the io_context. Per
// io_context rather than per process: the thread lives and dies with the
// loop it serves, so destroying a listener's io_context stops it, and
// sockets of one loop never wait behind another loop's work. Internal to
// the udt module of the transport library.

#include <udt/udt.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Stream.h"

namespace tarvelo::detail {

// UDT's error codes (major * 1000 + minor) as asio error codes, with UDT's
// own texts.
asio::error_code udt_error();  // the calling thread's last UDT error
asio::error_code make_udt_error(int code);
// The error of a failed read or write: a connection that the peer closed,
// that broke or that UDT already reclaimed ends the stream as over TCP
// (end of file, or a broken pipe), for blocking and asynchronous calls alike.
asio::error_code udt_io_error(int code, bool reading);

// Starts UDT once per process; it is cleaned up at exit.
void udt_startup();

// Whether receives and sends on the socket wait.
void set_udt_blocking(UDTSOCKET socket, bool receive, bool send);

using AcceptHandler = std::function<void(const asio::error_code&, std::unique_ptr<Stream>)>;
// Makes the stream of an accepted socket; runs on the bridge thread.
using StreamFactory = std::function<std::unique_ptr<Stream>(UDTSOCKET)>;

class UdtBridge : public asio::execution_context::service {
 public:
  using key_type = UdtBridge;
  static asio::execution_context::id id;

  explicit UdtBridge(asio::execution_context& context);
  ~UdtBridge() override;

  // Each completes once, on the io_context: at once when the operation can
  // be done without waiting, later from the bridge thread otherwise, or
  // with operation_aborted by cancel(). One read, one write and one accept
  // at a time per socket; the buffers stay valid until the completion.
  void async_read(UDTSOCKET socket, asio::mutable_buffer buffer, bool all, IoHandler handler);
  void async_write(UDTSOCKET socket, const Buffers& buffers, IoHandler handler);
  void async_accept(UDTSOCKET listener, StreamFactory make_stream, AcceptHandler handler);
  // Fails the socket's pending operations with operation_aborted and stops
  // watching it; afterwards the bridge no longer touches the socket, so the
  // caller may close it.
  void cancel(UDTSOCKET socket);

 private:
  using Work = asio::executor_work_guard<asio::io_context::executor_type>;
  struct ReadOp {
    char* data;
    std::size_t size;
    std::size_t done;
    bool all;
    IoHandler handler;
  };
  struct WriteOp {
    Buffers buffers;
    std::size_t index;   // buffer being written
    std::size_t offset;  // bytes of it already written
    std::size_t done;
    IoHandler handler;
  };
  struct AcceptOp {
    StreamFactory make_stream;
    AcceptHandler handler;
  };
  struct Entry {
    std::optional<ReadOp> read;
    std::optional<WriteOp> write;
    std::optional<AcceptOp> accept;
    int watched = 0;  // UDT_EPOLL_* events the epoll watches for it
  };
  using Completions = std::vector<std::function<void()>>;

  void shutdown() override;
  // The bridge thread.
  void loop();
  // Tries the socket's pending operations and watches it for what they still
  // wait for; the mutex is held by the caller.
  void progress_locked(UDTSOCKET socket, Completions& done);
  void try_read_locked(ReadOp& op, UDTSOCKET socket, Completions& done, bool& finished);
  void try_write_locked(WriteOp& op, UDTSOCKET socket, Completions& done, bool& finished);
  void try_accept_locked(AcceptOp& op, UDTSOCKET socket, Completions& done, bool& finished);
  void post(Completions& done);
  // Starts the thread on first use: streams of a client that never works
  // asynchronously cost no thread.
  void start_locked();

  asio::io_context& m_io;
  std::mutex m_mutex;  // guards everything below; held while operations run
  std::condition_variable m_wake;
  std::map<UDTSOCKET, Entry> m_entries;
  // Counted as outstanding work while operations wait, so that the loop does
  // not run out of work under them.
  std::optional<Work> m_work;
  int m_epoll = -1;
  bool m_stopping = false;
  std::thread m_thread;
};

}  // namespace tarvelo::detail
