// Who owns the other end of a TCP connection between two sockets of this
// host, from the kernel's socket table (sock_diag netlink).

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "Stream.h"

namespace tarvelo::detail {

namespace {

using StatusCode = Transport::StatusCode;

StatusCode system_failure(const std::string& what) {
  return {"Peer owner: " + what + ": " + std::system_category().message(errno), Transport::kError};
}

StatusCode not_found(const std::string& why) { return {"Peer owner: " + why, Transport::kError}; }

// One side of a connection as the kernel's table keys it.
struct Endpoint {
  uint8_t family = AF_UNSPEC;
  uint16_t port = 0;         // network order
  uint32_t address[4] = {};  // network order; IPv4 uses the first word
};

bool endpoint_of(const sockaddr_storage& storage, Endpoint& endpoint) {
  if (storage.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(storage);
    endpoint.family = AF_INET;
    endpoint.port = in.sin_port;
    endpoint.address[0] = in.sin_addr.s_addr;
    return true;
  }
  if (storage.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
    endpoint.family = AF_INET6;
    endpoint.port = in6.sin6_port;
    std::memcpy(endpoint.address, &in6.sin6_addr, sizeof(endpoint.address));
    return true;
  }
  return false;
}

bool v4_mapped(const Endpoint& endpoint) {
  return endpoint.family == AF_INET6 && endpoint.address[0] == 0 && endpoint.address[1] == 0 &&
         endpoint.address[2] == htonl(0xffff);
}

// The same endpoint as an IPv4 socket sees it.
Endpoint unmapped(const Endpoint& endpoint) {
  Endpoint v4;
  v4.family = AF_INET;
  v4.port = endpoint.port;
  v4.address[0] = endpoint.address[3];
  return v4;
}

bool same_address(const uint32_t (&a)[4], const uint32_t (&b)[4], uint8_t family) {
  return std::memcmp(a, b, family == AF_INET ? 4 : 16) == 0;
}

// Owner of the socket whose local end is `source` and remote end is
// `destination`. Found means `uid` is set; a socket that is not there is a
// failure, as is any answer that is not about exactly that socket.
StatusCode owner_of(int netlink, const Endpoint& source, const Endpoint& destination, uint32_t& uid) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  request.header.nlmsg_len = sizeof(request);
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.body.sdiag_family = source.family;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0U;
  request.body.id.idiag_sport = source.port;
  request.body.id.idiag_dport = destination.port;
  std::memcpy(request.body.id.idiag_src, source.address, sizeof(source.address));
  std::memcpy(request.body.id.idiag_dst, destination.address, sizeof(destination.address));
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(netlink, &request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof(kernel)) != static_cast<ssize_t>(sizeof(request)))
    return system_failure("sending the socket diagnostics request");
  // The kernel answers within the send; the wait only guards against a
  // kernel that does not.
  if (!poll_readable(netlink, 1000)) return not_found("no answer from the kernel's socket table");
  alignas(nlmsghdr) char buffer[8192];
  sockaddr_nl sender{};
  socklen_t sender_size = sizeof(sender);
  ssize_t received = ::recvfrom(netlink, buffer, sizeof(buffer), MSG_DONTWAIT,
                                reinterpret_cast<sockaddr*>(&sender), &sender_size);
  if (received < 0) return system_failure("reading the socket diagnostics answer");
  if (sender.nl_pid != 0) return not_found("socket diagnostics answer not from the kernel");

  int length = static_cast<int>(received);
  for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(message, length);
       message = NLMSG_NEXT(message, length)) {
    if (message->nlmsg_seq != request.header.nlmsg_seq) continue;
    if (message->nlmsg_type == NLMSG_ERROR) {
      if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) break;
      int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(message))->error;
      if (error == ENOENT) return not_found("no such socket on this host");
      errno = error;
      return system_failure("socket diagnostics");
    }
    if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
      continue;
    const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
    if (found->idiag_family != source.family || found->id.idiag_sport != source.port ||
        found->id.idiag_dport != destination.port ||
        !same_address(found->id.idiag_src, source.address, source.family) ||
        !same_address(found->id.idiag_dst, destination.address, destination.family))
      continue;
    // A listener is not the peer; a socket no process holds any more (time
    // wait and orphans) is reported with uid 0, which would let anyone who
    // closes quickly pass for root.
    if (found->idiag_state == TCP_LISTEN || found->idiag_state == TCP_TIME_WAIT || found->idiag_inode == 0)
      return not_found("the peer's socket is closed or no longer held by a process");
    uid = found->idiag_uid;
    return {"Peer owner found", 0};
  }
  return not_found("no answer about the peer's socket");
}

}  // namespace

StatusCode local_peer_uid(int fd, uint32_t& uid) {
  sockaddr_storage local{}, remote{};
  socklen_t local_size = sizeof(local), remote_size = sizeof(remote);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0)
    return system_failure("getsockname");
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remote_size) != 0)
    return system_failure("getpeername");
  Endpoint here, there;
  if (!endpoint_of(local, here) || !endpoint_of(remote, there) || here.family != there.family)
    return not_found("not a TCP/IP connection");

  int netlink = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (netlink < 0) return system_failure("socket(NETLINK_SOCK_DIAG)");
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{netlink};

  // The peer's socket has our remote end as its local one. On an IPv6
  // socket, a v4-mapped peer is an IPv4 socket (or an IPv6 one that
  // connected to a mapped address).
  if (!v4_mapped(here) || !v4_mapped(there)) return owner_of(netlink, there, here, uid);
  StatusCode as_v4 = owner_of(netlink, unmapped(there), unmapped(here), uid);
  if (as_v4.ok()) return as_v4;
  StatusCode as_v6 = owner_of(netlink, there, here, uid);
  return as_v6.ok() ? as_v6 : as_v4;
}

}  // namespace tarvelo::detail
