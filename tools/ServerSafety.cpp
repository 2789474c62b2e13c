#include "ServerSafety.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

namespace tarvelo::tools {

bool is_loopback_address(const std::string& address) {
  if (strcasecmp(address.c_str(), "localhost") == 0) return true;
  in_addr ipv4{};
  if (inet_pton(AF_INET, address.c_str(), &ipv4) == 1) return (ntohl(ipv4.s_addr) >> 24) == 127;
  in6_addr ipv6{};
  if (inet_pton(AF_INET6, address.c_str(), &ipv6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&ipv6)) return true;
  // ::ffff:127.x.x.x is the IPv4 loopback seen from an IPv6 socket.
  return IN6_IS_ADDR_V4MAPPED(&ipv6) && ipv6.s6_addr[12] == 127;
}

bool sends_secrets_in_clear(TarveloConfig& config) {
  if (config.getTransport() == TarveloConfig::transport_type_t::TLS) return false;
  if (config.getCryptoCipher() == TarveloConfig::crypto_type_t::XSALSA20) return false;
  if (is_loopback_address(config.getAddress())) return false;
  config::Endpoints& endpoints = config.getEndpoints();
  for (std::size_t id = 0; id < config::Endpoints::kTargetSlots; ++id) {
    config::Target& target = endpoints.target(static_cast<unsigned char>(id));
    if (!target.name().empty() && !target.password().empty()) return true;
  }
  return false;
}

namespace {

std::string section_list(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "[" : ", [") + name + "]";
  return list;
}

}  // namespace

std::string served_unsafely(const TarveloConfig& config) {
  if (!config.getUnprotectedTargets().empty())
    return section_list(config.getUnprotectedTargets()) +
           " without a passphrase: write its passphrase key once, as \"" + PASSWORD_KEY + "\" in lower case";
  if (!config.getReadOnlyInDoubt().empty())
    return section_list(config.getReadOnlyInDoubt()) + " writable: write \"" + READ_ONLY_KEY +
           " = yes\" or \"" + READ_ONLY_KEY + " = no\", the key in lower case";
  return "";
}

}  // namespace tarvelo::tools
