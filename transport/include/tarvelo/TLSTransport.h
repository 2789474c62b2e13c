#pragma once

#include <memory>
#include <string>

#include <tarvelo/Transport.h>

namespace tarvelo {

namespace detail {
struct TlsContexts;
}

// What a TLS endpoint needs. A listener uses the certificate and key files;
// a client verifies the server against the CA file and the host name or IP
// address it connects to, unless verification is switched off.
struct TLSOptions {
  std::string certificate_file;  // server: PEM certificate chain
  std::string private_key_file;  // server: PEM private key
  std::string ca_file;           // client: PEM CAs to trust; empty means the system's store
  bool verify_peer = true;       // client: false accepts any certificate (insecure)
};

// TLS 1.2 or later over TCP (TCP_NODELAY, SO_REUSEADDR on listeners).
// Accepted connections complete their handshake with their first read or
// write, so a slow client never holds up the listener.
class TARVELO_TRANSPORT_EXPORT TLSTransport : public Transport {
 public:
  explicit TLSTransport(TLSOptions options, KeepAlive keep_alive = {});
  ~TLSTransport() override;

  // Whether the certificate, key and CA files could be loaded; a failure
  // text names the file and the reason. Streams and listeners of a
  // transport that failed refuse to connect or listen with this text.
  const StatusCode& status() const;

  std::unique_ptr<detail::Stream> create_stream(asio::io_context& io) override;
  std::unique_ptr<detail::Acceptor> create_acceptor(asio::io_context& io) override;
  std::unique_ptr<Transport> clone() const override;

 private:
  TLSTransport(std::shared_ptr<detail::TlsContexts> contexts, KeepAlive keep_alive);

  // Shared with clones: accepted connections use their listener's contexts.
  std::shared_ptr<detail::TlsContexts> m_contexts;
  KeepAlive m_keep_alive;
};

}  // namespace tarvelo
