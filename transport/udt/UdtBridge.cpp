#include "UdtBridge.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <set>

namespace tarvelo::detail {
namespace {

// How long one epoll wait lasts; it bounds how long shutdown waits for the
// thread.
constexpr int kWaitMilliseconds = 50;
// UDT's epoll does not report a connection that the peer closed or that
// broke: every pending operation is retried this often, and fails then.
constexpr auto kRetryInterval = std::chrono::milliseconds(50);

class UdtCategory : public asio::error_category {
 public:
  const char* name() const noexcept override { return "udt"; }
  std::string message(int code) const override {
    CUDTException error(code / 1000, code % 1000, 0);
    return error.getErrorMessage();
  }
};

bool is_would_block(int code) {
  return code == CUDTException::EASYNCRCV || code == CUDTException::EASYNCSND;
}

struct Startup {
  Startup() : pid(::getpid()) { UDT::startup(); }
  // UDT's threads must stop before its own statics die; a forked child
  // never had them.
  ~Startup() {
    if (::getpid() == pid) UDT::cleanup();
  }
  pid_t pid;
};

}  // namespace

asio::error_code make_udt_error(int code) {
  static const UdtCategory category;
  return {code, category};
}

asio::error_code udt_error() { return make_udt_error(UDT::getlasterror_code()); }

asio::error_code udt_io_error(int code, bool reading) {
  if (code == CUDTException::ECONNLOST || code == CUDTException::ENOCONN ||
      code == CUDTException::EINVSOCK)
    return reading ? asio::error_code(asio::error::eof) : asio::error_code(asio::error::broken_pipe);
  return make_udt_error(code);
}

void udt_startup() { static const Startup startup; }

void set_udt_blocking(UDTSOCKET socket, bool receive, bool send) {
  UDT::setsockopt(socket, 0, UDT_RCVSYN, &receive, sizeof(receive));
  UDT::setsockopt(socket, 0, UDT_SNDSYN, &send, sizeof(send));
}

asio::execution_context::id UdtBridge::id;

UdtBridge::UdtBridge(asio::execution_context& context)
    : asio::execution_context::service(context), m_io(static_cast<asio::io_context&>(context)) {}

UdtBridge::~UdtBridge() { shutdown(); }

void UdtBridge::shutdown() {
  std::map<UDTSOCKET, Entry> abandoned;
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_wake.notify_all();
  }
  if (m_thread.joinable()) m_thread.join();
  std::lock_guard lock(m_mutex);
  // Their handlers are destroyed uncalled, as asio does with pending
  // operations of an io_context that dies.
  abandoned.swap(m_entries);
  m_work.reset();
  if (m_epoll >= 0) UDT::epoll_release(m_epoll);
  m_epoll = -1;
}

void UdtBridge::start_locked() {
  if (m_stopping || m_thread.joinable()) return;
  udt_startup();
  m_epoll = UDT::epoll_create();
  m_thread = std::thread([this] { loop(); });
}

void UdtBridge::async_read(UDTSOCKET socket, asio::mutable_buffer buffer, bool all, IoHandler handler) {
  Completions done;
  {
    std::lock_guard lock(m_mutex);
    start_locked();
    m_entries[socket].read = ReadOp{static_cast<char*>(buffer.data()), buffer.size(), 0, all, std::move(handler)};
    progress_locked(socket, done);
  }
  post(done);
}

void UdtBridge::async_write(UDTSOCKET socket, const Buffers& buffers, IoHandler handler) {
  Completions done;
  {
    std::lock_guard lock(m_mutex);
    start_locked();
    m_entries[socket].write = WriteOp{buffers, 0, 0, 0, std::move(handler)};
    progress_locked(socket, done);
  }
  post(done);
}

void UdtBridge::async_accept(UDTSOCKET listener, StreamFactory make_stream, AcceptHandler handler) {
  Completions done;
  {
    std::lock_guard lock(m_mutex);
    start_locked();
    m_entries[listener].accept = AcceptOp{std::move(make_stream), std::move(handler)};
    progress_locked(listener, done);
  }
  post(done);
}

void UdtBridge::cancel(UDTSOCKET socket) {
  Completions done;
  {
    std::lock_guard lock(m_mutex);
    auto found = m_entries.find(socket);
    if (found == m_entries.end()) return;
    Entry& entry = found->second;
    const asio::error_code aborted = asio::error::operation_aborted;
    if (entry.read)
      done.push_back([handler = std::move(entry.read->handler), aborted] { handler(aborted, 0); });
    if (entry.write)
      done.push_back([handler = std::move(entry.write->handler), aborted] { handler(aborted, 0); });
    if (entry.accept)
      done.push_back([handler = std::move(entry.accept->handler), aborted] { handler(aborted, nullptr); });
    if (entry.watched != 0 && m_epoll >= 0) UDT::epoll_remove_usock(m_epoll, socket);
    m_entries.erase(found);
  }
  post(done);
}

void UdtBridge::post(Completions& done) {
  for (auto& completion : done) asio::post(m_io, std::move(completion));
  done.clear();
  // After the posts: they count as work of their own until they ran.
  std::lock_guard lock(m_mutex);
  if (m_entries.empty()) {
    m_work.reset();
    return;
  }
  if (!m_work && !m_stopping) m_work.emplace(m_io.get_executor());
  m_wake.notify_one();
}

void UdtBridge::loop() {
  std::set<UDTSOCKET> readable;
  std::set<UDTSOCKET> writable;
  auto last_retry = std::chrono::steady_clock::now();
  std::unique_lock lock(m_mutex);
  while (!m_stopping) {
    if (m_entries.empty()) {
      m_wake.wait(lock);
      continue;
    }
    lock.unlock();
    readable.clear();
    writable.clear();
    // A time-out is reported as an error; either way the sets say what is ready.
    UDT::epoll_wait(m_epoll, &readable, &writable, kWaitMilliseconds);
    Completions done;
    lock.lock();
    auto now = std::chrono::steady_clock::now();
    if (now - last_retry >= kRetryInterval) {
      last_retry = now;
      for (const auto& [socket, entry] : m_entries) readable.insert(socket);
    }
    readable.insert(writable.begin(), writable.end());
    for (UDTSOCKET socket : readable) progress_locked(socket, done);
    lock.unlock();
    post(done);
    lock.lock();
  }
}

void UdtBridge::progress_locked(UDTSOCKET socket, Completions& done) {
  auto found = m_entries.find(socket);
  if (found == m_entries.end()) return;
  Entry& entry = found->second;
  auto try_all = [&] {
    bool finished = false;
    if (entry.accept && (try_accept_locked(*entry.accept, socket, done, finished), finished)) entry.accept.reset();
    if (entry.read && (try_read_locked(*entry.read, socket, done, finished), finished)) entry.read.reset();
    if (entry.write && (try_write_locked(*entry.write, socket, done, finished), finished)) entry.write.reset();
  };
  // Watches for what the pending operations wait for; true when the socket
  // was not watched for all of it before.
  auto watch = [&] {
    int wanted = (entry.read || entry.accept ? UDT_EPOLL_IN : 0) | (entry.write ? UDT_EPOLL_OUT : 0);
    if (wanted != 0) wanted |= UDT_EPOLL_ERR;
    if (wanted == entry.watched) return false;
    // UDT cannot change what it watches a socket for, only forget it.
    if (entry.watched != 0) UDT::epoll_remove_usock(m_epoll, socket);
    entry.watched = 0;
    // A socket that broke cannot be watched: the retries find out.
    if (wanted != 0 && UDT::epoll_add_usock(m_epoll, socket, &wanted) == 0) entry.watched = wanted;
    return wanted != 0;
  };
  try_all();
  // UDT reports only what happens once a socket is watched (a listener
  // forgets the connections already queued): what arrived before then is
  // found by trying again.
  if (watch()) {
    try_all();
    watch();
  }
  if (!entry.read && !entry.write && !entry.accept) m_entries.erase(found);
}

void UdtBridge::try_read_locked(ReadOp& op, UDTSOCKET socket, Completions& done, bool& finished) {
  finished = false;
  asio::error_code error;
  while (op.done < op.size) {
    int chunk = static_cast<int>(std::min<std::size_t>(op.size - op.done, INT_MAX));
    int count = UDT::recv(socket, op.data + op.done, chunk, 0);
    if (count == UDT::ERROR) {
      int code = UDT::getlasterror_code();
      if (is_would_block(code)) return;
      error = udt_io_error(code, true);
      break;
    }
    op.done += static_cast<std::size_t>(count);
    if (!op.all) break;
  }
  finished = true;
  done.push_back([handler = std::move(op.handler), error, count = op.done] { handler(error, count); });
}

void UdtBridge::try_write_locked(WriteOp& op, UDTSOCKET socket, Completions& done, bool& finished) {
  finished = false;
  asio::error_code error;
  while (op.index < op.buffers.size()) {
    const asio::const_buffer& buffer = op.buffers[op.index];
    if (op.offset == buffer.size()) {
      ++op.index;
      op.offset = 0;
      continue;
    }
    int chunk = static_cast<int>(std::min<std::size_t>(buffer.size() - op.offset, INT_MAX));
    int count = UDT::send(socket, static_cast<const char*>(buffer.data()) + op.offset, chunk, 0);
    if (count == UDT::ERROR) {
      int code = UDT::getlasterror_code();
      if (is_would_block(code)) return;
      error = udt_io_error(code, false);
      break;
    }
    op.offset += static_cast<std::size_t>(count);
    op.done += static_cast<std::size_t>(count);
  }
  finished = true;
  done.push_back([handler = std::move(op.handler), error, count = op.done] { handler(error, count); });
}

void UdtBridge::try_accept_locked(AcceptOp& op, UDTSOCKET socket, Completions& done, bool& finished) {
  finished = false;
  sockaddr_storage peer{};
  int length = sizeof(peer);
  UDTSOCKET accepted = UDT::accept(socket, reinterpret_cast<sockaddr*>(&peer), &length);
  asio::error_code error;
  // Shared: completions are copyable, the stream is not.
  auto stream = std::make_shared<std::unique_ptr<Stream>>();
  if (accepted == UDT::INVALID_SOCK) {
    int code = UDT::getlasterror_code();
    if (is_would_block(code)) return;
    // A listener closed under us was cancelled, not failed.
    error = code == CUDTException::EINVSOCK ? asio::error::operation_aborted : make_udt_error(code);
  } else {
    set_udt_blocking(accepted, false, false);
    *stream = op.make_stream(accepted);
  }
  finished = true;
  done.push_back([handler = std::move(op.handler), error, stream] { handler(error, std::move(*stream)); });
}

}  // namespace tarvelo::detail
