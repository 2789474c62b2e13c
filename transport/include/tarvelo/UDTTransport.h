#pragma once

#include <tarvelo/Transport.h>

namespace tarvelo {

// UDT over UDP: a reliable byte stream whose congestion control keeps long,
// lossy links busy where TCP backs off. Listeners take their port alone
// (no sharing with another UDT listener). The owner of a peer's socket
// cannot be told over UDP, so peer_uid fails. Asynchronous operations of a
// socket's io_context are carried out by one thread of that io_context.
class TARVELO_TRANSPORT_EXPORT UDTTransport : public Transport {
 public:
  std::unique_ptr<detail::Stream> create_stream(asio::io_context& io) override;
  std::unique_ptr<detail::Acceptor> create_acceptor(asio::io_context& io) override;
  std::unique_ptr<Transport> clone() const override;
};

}  // namespace tarvelo
