#pragma once

// Helpers shared by every test: temporary directories, free loopback ports,
// file contents, capture of the log, and an echoing transport server.

#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <tarvelo/BasicSocket.h>

namespace tarvelo::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  std::string file(const std::string& name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
uint16_t free_port();

// A listening TCP socket on 127.0.0.1 at a port the system picks, for
// tests that play a peer with raw bytes; -1 when it cannot listen.
int listen_raw(uint16_t* port);
// A plain blocking TCP connection to 127.0.0.1:port, for tests that speak
// raw bytes; -1 when it cannot connect.
int connect_raw(uint16_t port);
// Writes all bytes; false when the peer is gone.
bool send_raw(int fd, const void* bytes, std::size_t size);
// Reads until `size` bytes arrived or the peer closed; returns what arrived.
std::size_t receive_raw(int fd, void* bytes, std::size_t size);
// One message to a BasicSocket server at address:port (IPv4 or IPv6) over
// a raw connection, framed as BasicSocket frames it (8-byte big-endian
// length, then the bytes); the one message that comes back, or "" when
// none comes within 10 s or the server does not hang up after it. Plain
// system calls only, for use in a forked child.
std::string ask_raw(const std::string& address, uint16_t port, const std::string& message);

// The user nobody, for tests that act as another local user.
inline constexpr uint32_t kNobody = 65534;
// Runs `body` in a forked child that has dropped to user and group `uid`
// without supplementary groups; needs root. `ok` is false when the child
// could not change user or did not finish. The body must not use GoogleTest
// assertions: they would count in the child.
struct ChildOutput {
  bool ok = false;
  std::string output;  // what `body` returned
};
ChildOutput run_as_user(uint32_t uid, const std::function<std::string()>& body);

inline bool contains(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }
std::vector<char> random_bytes(std::size_t size, uint32_t seed);
void write_file(const std::string& path, const std::vector<char>& bytes);
std::vector<char> read_file(const std::string& path);

// A program run as a child process with its standard output and error
// captured into files; killed (SIGKILL) and reaped by the destructor if it is
// still running.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const std::vector<std::string>& environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int pid() const { return m_pid; }
  void signal(int number);
  // Waits for the exit and returns the exit status (128 + signal when
  // killed), or -1 after `seconds` without an exit.
  int wait(int seconds = 30);
  // Waits until standard output contains `text`; false after `seconds`.
  bool wait_for_output(const std::string& text, int seconds = 20);
  // The same for standard error.
  bool wait_for_error(const std::string& text, int seconds = 20);
  std::string out() const { return read_text(m_out); }
  std::string err() const { return read_text(m_err); }

 private:
  static std::string read_text(const std::string& path);
  bool wait_for_text(const std::string& path, const std::string& text, int seconds);
  // Reaps the child if it has exited; true once it has.
  bool exited();

  TempDir m_dir;
  std::string m_out;
  std::string m_err;
  int m_pid = -1;
  int m_status = -1;
};

// While it lives, files this process (and children started meanwhile)
// write cannot grow past `bytes`: writes beyond fail with EFBIG, as on a
// full disk, instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(long bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool active() const { return m_active; }

 private:
  rlimit m_before{};
  sighandler_t m_previous = nullptr;
  bool m_active = false;
};

// Runs a program to completion; its exit status and both outputs.
struct RunResult {
  int status;
  std::string out;
  std::string err;
};
RunResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                      int seconds = 120);

// Success when `result` exited with `status` (any failure when -1) and
// its error output holds `text`.
testing::AssertionResult failed_with(const RunResult& result, int status, const std::string& text);

// Where the programs of this build are.
std::string tool_path(const std::string& name);
// Runs the program `name` of this build with `args`.
RunResult run_tool(const std::string& name, std::vector<std::string> args,
                   const std::vector<std::string>& environment = {});

// TLS material made once per run with openssl: a CA, the server certificate
// it signed for 127.0.0.1 and localhost, one for another name, and a second CA.
struct TlsFiles {
  std::string ca;
  std::string certificate;
  std::string key;
  std::string other_name_certificate;
  std::string other_name_key;
  std::string other_ca;
};
const TlsFiles& tls_files();

// A string buffer that several threads may write into at once.
class LockedStringBuf : public std::stringbuf {
 public:
  std::string text();

 protected:
  std::streamsize xsputn(const char* bytes, std::streamsize count) override;
  int_type overflow(int_type c) override;

 private:
  std::recursive_mutex m_mutex;
};

// Sends the library's log lines into string buffers while alive; safe with
// servers logging from their own threads.
class CaptureLog {
 public:
  CaptureLog();
  ~CaptureLog();
  CaptureLog(const CaptureLog&) = delete;
  CaptureLog& operator=(const CaptureLog&) = delete;

  std::string out() { return m_out_buf.text(); }
  std::string err() { return m_err_buf.text(); }

 private:
  LockedStringBuf m_out_buf;
  LockedStringBuf m_err_buf;
  std::ostream m_out{&m_out_buf};
  std::ostream m_err{&m_err_buf};
  std::ostream* m_saved_out;
  std::ostream* m_saved_err;
};

// Runs on one thread the jobs that sockets hand over
// (SocketImpl::set_receive_helper), as a server's workers do; jobs left at
// the end are dropped.
class HelperThread {
 public:
  HelperThread() : m_thread([this] { work(); }) {}
  ~HelperThread() {
    {
      std::lock_guard lock(m_mutex);
      m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
  }
  void post(std::function<void()> job) {
    {
      std::lock_guard lock(m_mutex);
      m_jobs.push_back(std::move(job));
    }
    m_wake.notify_all();
  }

 private:
  void work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
      if (m_stopping) return;
      std::function<void()> job = std::move(m_jobs.front());
      m_jobs.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<std::function<void()>> m_jobs;
  bool m_stopping = false;
  std::thread m_thread;
};

// A listener on 127.0.0.1 (plain TCP, unless given other) run on its own thread.
// Each accepted connection is kept in a map and handled by `on_message`; the
// default echoes and counts. Large messages' bytes are copied on a helper
// thread.
class EchoServer {
 public:
  using OnMessage = std::function<void(EchoServer&, SocketImpl&, Message, Transport::StatusCode)>;

  explicit EchoServer(std::unique_ptr<SocketImpl> listener = nullptr, OnMessage on_message = nullptr,
                      const std::string& address = "127.0.0.1")
      : m_listener(listener ? std::move(listener) : std::make_unique<BasicSocket>(std::make_unique<TCPTransport>())),
        m_on_message(on_message ? std::move(on_message) : echo),
        m_port(free_port()) {
    Transport::StatusCode status = m_listener->listen(m_port, address);
    EXPECT_TRUE(status.ok()) << status.text;
    accept_next();
    m_thread = std::thread([this] { m_listener->run(); });
  }
  ~EchoServer() {
    m_listener->close();
    m_listener->stop();
    m_thread.join();
  }

  uint16_t port() const { return m_port; }
  // Runs `work` on the server's thread.
  void post(std::function<void()> work) { EXPECT_TRUE(m_listener->post(std::move(work))); }
  // Only on the server thread.
  void forget(SocketImpl& connection) { m_connections.erase(&connection); }
  std::string last_failure() {
    std::lock_guard lock(m_mutex);
    return m_last_failure;
  }
  void receive_next(SocketImpl& connection) {
    connection.async_receive([this](SocketImpl& self, Message message, Transport::StatusCode status) {
      m_on_message(*this, self, std::move(message), std::move(status));
    });
  }

  std::atomic<int> failures{0};
  std::atomic<int> received{0};
  std::atomic<int64_t> last_failure_code{0};

 private:
  static void echo(EchoServer& server, SocketImpl& connection, Message message, Transport::StatusCode status) {
    if (!status.ok()) {
      {
        std::lock_guard lock(server.m_mutex);
        server.m_last_failure = status.text;
      }
      server.last_failure_code = status.code;
      server.failures++;
      server.forget(connection);  // the completion destroys its own socket
      return;
    }
    server.received++;
    // Messages already read ahead go back with it, without a receive and in
    // one batch, as a server answers requests sent together.
    std::vector<Message> replies{message};
    for (Message next; connection.take_ready(next); next = Message()) {
      server.received++;
      replies.push_back(next);
    }
    connection.async_send_all(replies, [](SocketImpl&, Transport::StatusCode) {});
    server.receive_next(connection);
  }

  void accept_next() {
    m_listener->async_accept([this](SocketImpl&, std::unique_ptr<SocketImpl> socket, Transport::StatusCode status) {
      if (!status.ok()) return;
      SocketImpl& connection = *socket;
      connection.set_receive_helper([this](std::function<void()> job) { m_helper.post(std::move(job)); });
      m_connections[&connection] = std::move(socket);
      receive_next(connection);
      accept_next();
    });
  }

  std::unique_ptr<SocketImpl> m_listener;
  OnMessage m_on_message;
  uint16_t m_port;
  std::map<SocketImpl*, std::unique_ptr<SocketImpl>> m_connections;
  std::thread m_thread;
  std::mutex m_mutex;
  std::string m_last_failure;
  // Stops before the sockets go, whose loop its jobs use.
  HelperThread m_helper;
};

}  // namespace tarvelo::test
