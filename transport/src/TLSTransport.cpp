#include <tarvelo/TLSTransport.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include <asio/ssl.hpp>

#include "Stream.h"

namespace tarvelo {
namespace detail {

// The OpenSSL contexts of one configuration, shared by a listener and its
// accepted connections. Read-only once built.
struct TlsContexts {
  asio::ssl::context client{asio::ssl::context::tls_client};
  asio::ssl::context server{asio::ssl::context::tls_server};
  bool has_certificate = false;
  bool verify_peer = true;
  Transport::StatusCode status{"TLS ready", 0};
};

namespace {

using tcp = asio::ip::tcp;

// Large messages go out as their own records; small frames are gathered
// into one record so that a header does not travel alone.
constexpr std::size_t kGatherLimit = 16 * 1024;

std::string openssl_reason(const asio::error_code& error) {
  std::string text = error.message();
  unsigned long queued = ERR_get_error();
  if (queued != 0) {
    char buffer[256];
    ERR_error_string_n(queued, buffer, sizeof(buffer));
    text = buffer;
  }
  ERR_clear_error();
  return text;
}

std::string readable_file_problem(const std::string& path) {
  if (::access(path.c_str(), R_OK) == 0) return "";
  return std::strerror(errno);
}

void set_minimum_version(asio::ssl::context& context) {
  SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
}

// A peer that closes without a TLS close_notify is a closed connection, as
// with plain TCP.
asio::error_code translate(const asio::error_code& error) {
  if (error == asio::ssl::error::stream_truncated) return asio::error::eof;
  return error;
}

class TlsStream : public Stream {
  enum class Handshake { kPending, kRunning, kDone, kFailed, kClosed };

  // Shared with the handshake's completion, which may outlive a closed
  // stream's waiters.
  struct Core {
    Core(asio::io_context& io, asio::ssl::context& context) : stream(io, context) {}
    Core(tcp::socket socket, asio::ssl::context& context) : stream(std::move(socket), context) {}

    asio::ssl::stream<tcp::socket> stream;
    std::mutex mutex;  // guards handshake, failure and waiters
    Handshake handshake = Handshake::kPending;
    asio::error_code failure;
    std::vector<std::function<void(const asio::error_code&)>> waiters;
    std::vector<char> gathered;  // the one outstanding gathered write
  };

 public:
  // A client stream: the handshake runs in connect().
  TlsStream(asio::io_context& io, std::shared_ptr<TlsContexts> contexts)
      : m_contexts(std::move(contexts)),
        m_core(std::make_shared<Core>(io, m_contexts->client)) {}

  // An accepted stream: the handshake runs with the first read or write.
  TlsStream(tcp::socket socket, std::shared_ptr<TlsContexts> contexts)
      : m_contexts(std::move(contexts)),
        m_core(std::make_shared<Core>(std::move(socket), m_contexts->server)) {}

  void async_read(asio::mutable_buffer buffer, IoHandler handler) override {
    when_ready([core = m_core, buffer, handler = std::move(handler)](
                   const asio::error_code& error) mutable {
      if (error) {
        handler(error, 0);
        return;
      }
      asio::async_read(core->stream, buffer,
                       [handler = std::move(handler)](const asio::error_code& read_error,
                                                      std::size_t count) {
                         handler(translate(read_error), count);
                       });
    });
  }

  void async_write(const Buffers& buffers, IoHandler handler) override {
    when_ready([core = m_core, buffers, handler = std::move(handler)](
                   const asio::error_code& error) mutable {
      if (error) {
        handler(error, 0);
        return;
      }
      auto done = [handler = std::move(handler)](const asio::error_code& write_error,
                                                 std::size_t count) {
        handler(translate(write_error), count);
      };
      if (asio::buffer_size(buffers) <= kGatherLimit) {
        gather(*core, buffers);
        asio::async_write(core->stream, asio::buffer(core->gathered), std::move(done));
      } else {
        asio::async_write(core->stream, buffers, std::move(done));
      }
    });
  }

  void read(asio::mutable_buffer buffer, asio::error_code& error) override {
    if (!handshake_blocking(error)) return;
    asio::read(m_core->stream, buffer, error);
    error = translate(error);
  }

  void async_read_some(asio::mutable_buffer buffer, IoHandler handler) override {
    when_ready([core = m_core, buffer, handler = std::move(handler)](
                   const asio::error_code& error) mutable {
      if (error) {
        handler(error, 0);
        return;
      }
      core->stream.async_read_some(buffer, [handler = std::move(handler)](const asio::error_code& read_error,
                                                                          std::size_t count) {
        handler(translate(read_error), count);
      });
    });
  }

  bool wait_readable(int milliseconds) override {
    // Bytes already taken off the descriptor, decrypted or waiting in the
    // engine's input, are not seen by poll.
    SSL* ssl = m_core->stream.native_handle();
    if (SSL_pending(ssl) > 0 || BIO_ctrl_pending(SSL_get_rbio(ssl)) > 0) return true;
    return poll_readable(m_core->stream.next_layer().native_handle(), milliseconds);
  }

  std::size_t read_some(asio::mutable_buffer buffer, asio::error_code& error) override {
    if (!handshake_blocking(error)) return 0;
    std::size_t count = m_core->stream.read_some(buffer, error);
    error = translate(error);
    return count;
  }

  void write(const Buffers& buffers, asio::error_code& error) override {
    if (!handshake_blocking(error)) return;
    if (asio::buffer_size(buffers) <= kGatherLimit) {
      gather(*m_core, buffers);
      asio::write(m_core->stream, asio::buffer(m_core->gathered), error);
    } else {
      asio::write(m_core->stream, buffers, error);
    }
    error = translate(error);
  }

  void connect(const std::string& address, uint16_t port, asio::error_code& error) override {
    m_detail.clear();
    if (!m_contexts->status.ok()) {
      error = asio::error::invalid_argument;
      m_detail = m_contexts->status.text;
      return;
    }
    connect_socket(m_core->stream.next_layer(), address, port, error);
    if (error) return;
    SSL* ssl = m_core->stream.native_handle();
    asio::error_code not_an_address;
    asio::ip::make_address(address, not_an_address);
    if (not_an_address) SSL_set_tlsext_host_name(ssl, address.c_str());
    if (m_contexts->verify_peer) {
      X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
      int named = not_an_address ? X509_VERIFY_PARAM_set1_host(param, address.c_str(), 0)
                                 : X509_VERIFY_PARAM_set1_ip_asc(param, address.c_str());
      if (named != 1) {
        error = asio::error::invalid_argument;
        m_detail = "cannot verify the TLS certificate of " + address;
        return;
      }
      m_core->stream.set_verify_mode(asio::ssl::verify_peer);
    } else {
      m_core->stream.set_verify_mode(asio::ssl::verify_none);
    }
    m_core->stream.handshake(asio::ssl::stream_base::client, error);
    if (error) {
      bool hung_up = translate(error) == asio::error::eof || error == asio::error::connection_reset;
      m_detail = "TLS handshake failed: " +
                 (hung_up ? std::string("the server hung up; does it use transport = tls?") : openssl_reason(error));
      long verified = SSL_get_verify_result(ssl);
      if (verified != X509_V_OK)
        m_detail += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
      return;
    }
    std::lock_guard lock(m_core->mutex);
    m_core->handshake = Handshake::kDone;
  }

  // Only shuts the socket down, which is safe from any thread: pending
  // operations fail on the io thread, and the descriptor is closed when the
  // stream dies.
  void close() override {
    std::vector<std::function<void(const asio::error_code&)>> waiters;
    {
      std::lock_guard lock(m_core->mutex);
      if (m_core->handshake == Handshake::kPending || m_core->handshake == Handshake::kRunning) {
        m_core->handshake = Handshake::kClosed;
        waiters.swap(m_core->waiters);
      }
    }
    // Posted, not called: close() may run under the caller's locks.
    for (auto& waiter : waiters)
      asio::post(m_core->stream.get_executor(), [waiter = std::move(waiter)] {
        waiter(asio::error::operation_aborted);
      });
    int fd = m_core->stream.next_layer().native_handle();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }

  std::string error_detail() const override { return m_detail; }

 private:
  static void gather(Core& core, const Buffers& buffers) {
    core.gathered.resize(asio::buffer_size(buffers));
    asio::buffer_copy(asio::buffer(core.gathered), buffers);
  }

  // Runs `next` once the handshake is done (or failed); starts an accepted
  // stream's handshake on first use.
  void when_ready(std::function<void(const asio::error_code&)> next) {
    std::unique_lock lock(m_core->mutex);
    switch (m_core->handshake) {
      case Handshake::kDone:
        lock.unlock();
        next({});
        return;
      case Handshake::kFailed:
      case Handshake::kClosed: {
        asio::error_code failure = m_core->handshake == Handshake::kFailed
                                       ? m_core->failure
                                       : asio::error_code(asio::error::operation_aborted);
        asio::post(m_core->stream.get_executor(),
                   [next = std::move(next), failure] { next(failure); });
        return;
      }
      case Handshake::kRunning:
        m_core->waiters.push_back(std::move(next));
        return;
      case Handshake::kPending:
        m_core->waiters.push_back(std::move(next));
        m_core->handshake = Handshake::kRunning;
        m_core->stream.async_handshake(
            asio::ssl::stream_base::server, [core = m_core](const asio::error_code& error) {
              std::vector<std::function<void(const asio::error_code&)>> waiters;
              {
                std::lock_guard done(core->mutex);
                if (core->handshake != Handshake::kRunning) return;  // closed meanwhile
                core->handshake = error ? Handshake::kFailed : Handshake::kDone;
                core->failure = translate(error);
                waiters.swap(core->waiters);
              }
              for (auto& waiter : waiters) waiter(translate(error));
            });
        return;
    }
  }

  bool handshake_blocking(asio::error_code& error) {
    std::unique_lock lock(m_core->mutex);
    switch (m_core->handshake) {
      case Handshake::kDone:
        return true;
      case Handshake::kFailed:
        error = m_core->failure;
        return false;
      case Handshake::kClosed:
        error = asio::error::operation_aborted;
        return false;
      case Handshake::kRunning:
        error = asio::error::in_progress;
        return false;
      case Handshake::kPending:
        m_core->handshake = Handshake::kRunning;
        lock.unlock();
        m_core->stream.handshake(asio::ssl::stream_base::server, error);
        lock.lock();
        if (m_core->handshake == Handshake::kRunning) {
          m_core->handshake = error ? Handshake::kFailed : Handshake::kDone;
          m_core->failure = translate(error);
        }
        error = translate(error);
        return !error;
    }
    return false;
  }

  std::shared_ptr<TlsContexts> m_contexts;
  std::shared_ptr<Core> m_core;
  std::string m_detail;
};

class TlsAcceptor : public Acceptor {
 public:
  TlsAcceptor(asio::io_context& io, std::shared_ptr<TlsContexts> contexts, KeepAlive keep_alive)
      : m_acceptor(io), m_contexts(std::move(contexts)), m_keep_alive(keep_alive) {}

  void listen(const std::string& address, uint16_t port, asio::error_code& error) override {
    if (!m_contexts->status.ok() || !m_contexts->has_certificate) {
      error = asio::error::invalid_argument;
      m_detail = m_contexts->status.ok() ? "a TLS listener needs a certificate and a private key file"
                                         : m_contexts->status.text;
      return;
    }
    open_acceptor(m_acceptor, address, port, error);
  }

  void async_accept(
      std::function<void(const asio::error_code&, std::unique_ptr<Stream>)> handler) override {
    m_acceptor.async_accept([handler = std::move(handler), contexts = m_contexts,
                             keep_alive = m_keep_alive](const asio::error_code& error,
                                                        tcp::socket socket) {
      if (error) {
        handler(error, nullptr);
        return;
      }
      // Best effort: a connection is not refused for a socket option.
      asio::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      apply_keep_alive(socket, keep_alive, ignored);
      handler(error, std::make_unique<TlsStream>(std::move(socket), contexts));
    });
  }

  void close() override {
    asio::error_code ignored;
    m_acceptor.close(ignored);
  }

  std::string error_detail() const override { return m_detail; }

 private:
  tcp::acceptor m_acceptor;
  std::shared_ptr<TlsContexts> m_contexts;
  KeepAlive m_keep_alive;
  std::string m_detail;
};

Transport::StatusCode load_contexts(TlsContexts& contexts, const TLSOptions& options) {
  using StatusCode = Transport::StatusCode;
  set_minimum_version(contexts.client);
  set_minimum_version(contexts.server);
  asio::error_code error;
  contexts.verify_peer = options.verify_peer;
  if (options.verify_peer) {
    if (options.ca_file.empty()) {
      contexts.client.set_default_verify_paths(error);
      if (error) return {"Cannot load the system's TLS CA store: " + openssl_reason(error), Transport::kError};
    } else {
      if (std::string problem = readable_file_problem(options.ca_file); !problem.empty())
        return {"Cannot read TLS CA file " + options.ca_file + ": " + problem, Transport::kError};
      contexts.client.load_verify_file(options.ca_file, error);
      if (error)
        return {"Cannot load TLS CA file " + options.ca_file + ": " + openssl_reason(error),
                Transport::kError};
    }
  }
  if (options.certificate_file.empty() && options.private_key_file.empty()) return {"TLS ready", 0};
  for (const std::string* path : {&options.certificate_file, &options.private_key_file}) {
    if (path->empty())
      return {"TLS needs both a certificate file and a private key file", Transport::kError};
    if (std::string problem = readable_file_problem(*path); !problem.empty())
      return {"Cannot read TLS " +
                  std::string(path == &options.certificate_file ? "certificate" : "private key") +
                  " file " + *path + ": " + problem,
              Transport::kError};
  }
  // The key first: a certificate that does not match it then leaves the
  // context without a key, which the check below reports in plain words.
  contexts.server.use_private_key_file(options.private_key_file, asio::ssl::context::pem, error);
  if (error)
    return {"Cannot load TLS private key file " + options.private_key_file + ": " +
                openssl_reason(error),
            Transport::kError};
  contexts.server.use_certificate_chain_file(options.certificate_file, error);
  if (error)
    return {"Cannot load TLS certificate file " + options.certificate_file + ": " +
                openssl_reason(error),
            Transport::kError};
  if (SSL_CTX_check_private_key(contexts.server.native_handle()) != 1) {
    ERR_clear_error();
    return {"TLS private key file " + options.private_key_file +
                " does not match certificate file " + options.certificate_file,
            Transport::kError};
  }
  contexts.has_certificate = true;
  return StatusCode{"TLS ready", 0};
}

}  // namespace
}  // namespace detail

TLSTransport::TLSTransport(TLSOptions options, KeepAlive keep_alive)
    : m_contexts(std::make_shared<detail::TlsContexts>()), m_keep_alive(keep_alive) {
  m_contexts->status = detail::load_contexts(*m_contexts, options);
}

TLSTransport::TLSTransport(std::shared_ptr<detail::TlsContexts> contexts, KeepAlive keep_alive)
    : m_contexts(std::move(contexts)), m_keep_alive(keep_alive) {}

TLSTransport::~TLSTransport() = default;

const Transport::StatusCode& TLSTransport::status() const { return m_contexts->status; }

std::unique_ptr<detail::Stream> TLSTransport::create_stream(asio::io_context& io) {
  return std::make_unique<detail::TlsStream>(io, m_contexts);
}

std::unique_ptr<detail::Acceptor> TLSTransport::create_acceptor(asio::io_context& io) {
  return std::make_unique<detail::TlsAcceptor>(io, m_contexts, m_keep_alive);
}

std::unique_ptr<Transport> TLSTransport::clone() const {
  return std::unique_ptr<Transport>(new TLSTransport(m_contexts, m_keep_alive));
}

}  // namespace tarvelo
