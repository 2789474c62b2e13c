// tarveloftpd: serves the targets of a configuration file until SIGINT or
// SIGTERM, then closes every connection (syncing the images) and exits 0.
// SIGHUP reloads the file's targets.

#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include <CLI/CLI.hpp>

#include <tarvelo/BasicSocket.h>
#include <tarvelo/Crypto.h>
#include <tarvelo/TLSTransport.h>
#include <tarvelo/UDTTransport.h>
#include <tarveloftp/Logger.h>
#include <tarveloftp/TarveloConfig.h>
#include <tarveloftp/TarveloFTPServer.h>

#include "CommandLine.h"
#include "Reload.h"
#include "ServerSafety.h"
#include "ServiceNotify.h"
#include "Version.h"

namespace {

// The signal mask is set before any thread starts, so only this thread ever
// receives SIGINT, SIGTERM and SIGHUP.
sigset_t handled_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

// The STATUS= line the service manager shows.
std::string service_status(tarvelo::config::Endpoints& endpoints, const std::string& address, uint16_t port) {
  std::size_t target_count = 0;
  std::size_t lun_count = 0;
  for (unsigned id = 0; id < tarvelo::config::Endpoints::kTargetSlots; ++id) {
    tarvelo::config::Target& target = endpoints.target(static_cast<unsigned char>(id));
    if (target.name().empty()) continue;
    ++target_count;
    lun_count += target.luns();
  }
  return "Serving " + std::to_string(target_count) + (target_count == 1 ? " target (" : " targets (") +
         std::to_string(lun_count) + (lun_count == 1 ? " LUN) on " : " LUNs) on ") + address + ":" +
         std::to_string(port);
}

std::string served_targets(tarvelo::config::Endpoints& endpoints, int* lun_count) {
  std::string names;
  *lun_count = 0;
  for (unsigned id = 0; id < 255; ++id) {
    tarvelo::config::Target& target = endpoints.target(static_cast<unsigned char>(id));
    if (target.name().empty()) continue;
    int luns = 0;
    for (unsigned lun = 0; lun < 255; ++lun)
      if (target.lun_exists(static_cast<unsigned char>(lun))) ++luns;
    *lun_count += luns;
    names += (names.empty() ? "" : ", ") + target.name() + " (" + std::to_string(luns) +
             (luns == 1 ? " LUN)" : " LUNs)");
  }
  return names;
}

// The kernel's bounds for the keep-alive values (seconds, probes).
constexpr int kMaxKeepAliveSeconds = 32767;
constexpr int kMaxKeepAliveProbes = 127;

std::string check_keep_alive(const char* key, int value, int maximum) {
  if (value >= 0 && value <= maximum) return "";
  return std::string(key) + " = " + std::to_string(value) + " is out of range: use 0 (system default) to " +
         std::to_string(maximum);
}

// The configuration reads any text as a port, cutting it to 16 bits (70000
// is 4464) and taking a missing or non-numeric value as 0, which would
// listen on a port the system picks; a server clients must find gets the
// port it was given or none.
std::string check_port(const std::string& text) {
  std::optional<uint16_t> port = tarvelo::tools::port_number(text);
  if (port && *port <= 65534) return "";
  return (text.empty() ? std::string("no port is set") : "port = " + text + " is not a usable port") +
         ": use 1 to 65534 (the administration channel takes the port above), such as port = 3263";
}

// The listening socket the configuration asks for, with `description`
// saying what it applies; null with `problem` set for a setting this
// server cannot honour.
std::unique_ptr<tarvelo::SocketImpl> build_listener(tarvelo::TarveloConfig& config, std::string* description,
                                                    std::string* problem) {
  using Config = tarvelo::TarveloConfig;
  tarvelo::KeepAlive keep_alive{config.getKeepAliveTimeout(), config.getKeepAliveProbeLimit(),
                                config.getKeepAliveProbeTimeout()};
  for (std::string check : {check_keep_alive(tarvelo::KEEP_ALIVE_TIMEOUT_KEY, keep_alive.idle_seconds,
                                             kMaxKeepAliveSeconds),
                            check_keep_alive(tarvelo::KEEP_ALIVE_PROBE_KEY, keep_alive.probe_count,
                                             kMaxKeepAliveProbes),
                            check_keep_alive(tarvelo::KEEP_ALIVE_PROBE_TIMEOUT_KEY, keep_alive.interval_seconds,
                                             kMaxKeepAliveSeconds)}) {
    if (!check.empty()) {
      *problem = check;
      return nullptr;
    }
  }

  std::unique_ptr<tarvelo::Transport> transport;
  switch (config.getTransport()) {
    case Config::transport_type_t::TCP:
      transport = std::make_unique<tarvelo::TCPTransport>(keep_alive);
      *description = "transport tcp";
      break;
    case Config::transport_type_t::TLS: {
      tarvelo::TLSOptions tls{config.getTLSCertificateFile(), config.getTLSPrivateKeyFile(), "", true};
      auto tls_transport = std::make_unique<tarvelo::TLSTransport>(tls, keep_alive);
      if (!tls_transport->status().ok()) {
        *problem = "transport tls: " + tls_transport->status().text;
        return nullptr;
      }
      transport = std::move(tls_transport);
      *description = "transport tls (certificate " + tls.certificate_file + ", key " + tls.private_key_file + ")";
      break;
    }
    case Config::transport_type_t::UDT:
      // UDT drops a peer that stops answering by itself and has no probes
      // to set.
      if (keep_alive.enabled()) {
        *problem = "transport udt: the keep_alive settings apply to tcp and tls only";
        return nullptr;
      }
      transport = std::make_unique<tarvelo::UDTTransport>();
      *description = "transport udt";
      break;
    default:
      *problem = "unknown transport; use transport = tcp, tls or udt";
      return nullptr;
  }

  tarvelo::SocketOptions layers;
  if (config.getCryptoCipher() == Config::crypto_type_t::XSALSA20) {
    if (!tarvelo::crypto::XSalsa20::is_key_pair(config.getXSalsa20PublicKey(), config.getXSalsa20SecretKey())) {
      *problem = "encryption xsalsa20: public_key is not the public key of secret_key";
      return nullptr;
    }
    layers.encryption = tarvelo::SocketOptions::Encryption::XSALSA20;
    std::memcpy(layers.public_key.data(), config.getXSalsa20PublicKey(), layers.public_key.size());
    std::memcpy(layers.secret_key.data(), config.getXSalsa20SecretKey(), layers.secret_key.size());
    *description += ", encryption xsalsa20 (public key " +
                    Config::encode(layers.public_key.data(), layers.public_key.size()) + ")";
  } else {
    *description += ", encryption none";
  }
  if (config.getCompressionAlgorithm() == Config::compression_type_t::LZ4) {
    layers.compression = tarvelo::SocketOptions::Compression::LZ4;
    *description += ", compression lz4";
  } else {
    *description += ", compression none";
  }
  if (keep_alive.enabled()) {
    auto value = [](int number, const char* unit) {
      return number == 0 ? std::string("system default") : std::to_string(number) + unit;
    };
    *description += ", keep-alive after " + value(keep_alive.idle_seconds, " s") + ", " +
                    value(keep_alive.probe_count, " probes") + " every " +
                    value(keep_alive.interval_seconds, " s");
  } else {
    *description += ", keep-alive off";
  }
  return std::make_unique<tarvelo::BasicSocket>(std::move(transport), layers);
}

}  // namespace

int main(int argc, char** argv) {
  // Each read reply and each received write is a buffer of up to a chunk
  // (several MiB). Keep them in the heap, and the heap once grown, so that
  // every request does not map, fault in and unmap fresh pages: that was a
  // tenth of the server's time while serving a download.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  CLI::App app{
      "tarveloftpd: serve disk images over the network.\n"
      "Serves the targets and LUNs of an INI configuration file until SIGINT or SIGTERM;\n"
      "SIGHUP reloads its targets, LUNs and passphrases.\n"
      "An administration channel listens on 127.0.0.1, port + 1 (see tarveloftp-admin)."};
  app.set_version_flag("--version", tarvelo::tools::version_text("tarveloftpd"));
  std::string config_path;
  bool block_hash_storage = false;
  bool debug_messages = false;
  bool generate_keys = false;
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  auto* config_option = app.add_option("-c,--config", config_path,
                                       "INI configuration file: [config] address/port/... and one section per "
                                       "target with lunN = /path/to/image");
  app.add_flag("--generate-keys", generate_keys,
               "Print a new public_key/secret_key pair for encryption = xsalsa20 and exit; clients "
               "pass the public key to --server-public-key")
      ->excludes(config_option);
  app.add_flag("--block-hash-storage", block_hash_storage,
               "Keep a block-hash file (IMAGE.hash) and journal beside each image, so clients "
               "that ask for it get hashes without the image being read");
  app.add_option("--threads", threads,
                 "Threads that handle requests (file I/O, hashing, syncs), so that connections are "
                 "served side by side; 1 handles everything on the network thread, one request at a time")
      ->check(CLI::Range(1u, 1024u))
      ->default_val(threads);
  app.add_flag("--debug-messages", debug_messages, "Log a DEBUG line for every protocol message");
  CLI11_PARSE(app, argc, argv);
  if (generate_keys) {
    unsigned char public_key[32], secret_key[32];
    tarvelo::crypto::XSalsa20::key_pair(public_key, secret_key);
    std::cout << tarvelo::PUBLIC_KEY_KEY << " = " << tarvelo::TarveloConfig::encode(public_key, 32) << "\n"
              << tarvelo::SECRET_KEY_KEY << " = " << tarvelo::TarveloConfig::encode(secret_key, 32) << std::endl;
    return 0;
  }
  if (config_path.empty()) {
    std::cerr << "tarveloftpd: --config is required (see --help)" << std::endl;
    return 1;
  }

  std::ifstream readable(config_path);
  if (!readable.is_open()) {
    std::cerr << "tarveloftpd: cannot read configuration file " << config_path << ": "
              << std::strerror(errno) << std::endl;
    return 1;
  }
  readable.close();

  tarvelo::TarveloConfig config = tarvelo::TarveloConfig::load(config_path);
  // The operator may have meant to protect these; serving them open would
  // be worse than not serving at all.
  std::string unsafe = tarvelo::tools::served_unsafely(config);
  if (!unsafe.empty()) {
    std::cerr << "tarveloftpd: refusing to serve " << unsafe << std::endl;
    return 1;
  }
  std::string connection_settings;
  std::string problem = check_port(config.getPortText());
  // Every client asking for block hashes would be turned away.
  struct stat hash_directory {};
  if (problem.empty() && block_hash_storage && !config.getHashDirectory().empty() &&
      (::stat(config.getHashDirectory().c_str(), &hash_directory) != 0 || !S_ISDIR(hash_directory.st_mode)))
    problem = "hash_directory = " + config.getHashDirectory() + " is not a directory: make it, or remove the setting";
  if (!problem.empty()) {
    std::cerr << "tarveloftpd: " << config_path << ": " << problem << std::endl;
    return 1;
  }
  std::unique_ptr<tarvelo::SocketImpl> listener = build_listener(config, &connection_settings, &problem);
  if (!listener) {
    std::cerr << "tarveloftpd: " << problem << std::endl;
    return 1;
  }
  int lun_count = 0;
  std::string targets = served_targets(config.getEndpoints(), &lun_count);
  if (lun_count == 0) {
    std::cerr << "tarveloftpd: " << config_path
              << " serves nothing: add a section per target with lines such as lun0 = /path/to/image"
              << std::endl;
    return 1;
  }

  // The transport takes "*" and "" as every address.
  std::string address = config.getAddress();
  bool every_address = address.empty() || address == "*";
  if (tarvelo::tools::sends_secrets_in_clear(config)) {
    TLOG(WARNING) << "Listening on " << (every_address ? "every address" : address)
                  << " with transport "
                  << (config.getTransport() == tarvelo::TarveloConfig::transport_type_t::UDT ? "udt" : "tcp")
                  << " and no encryption: passphrases and image data cross the network "
                  << "readable by anyone on the path; use transport = tls or encryption = xsalsa20";
  }
  uint16_t port = config.getPort();

  sigset_t signals = handled_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  tarvelo::TarveloFTPServer server(std::move(listener), address, port, std::move(config.getEndpoints()));
  server.setBlockHashStorage(block_hash_storage);
  server.setHashDirectory(config.getHashDirectory());
  server.setMessageDebugLogging(debug_messages);
  server.setWorkerThreads(threads);

  tarvelo::Transport::StatusCode status;
  std::thread serving([&] { status = server.run(); });
  for (int i = 0; i < 1000 && !server.is_running() && status.code >= 0; ++i) usleep(2000);
  if (!server.is_running()) {
    server.close();
    serving.join();
    std::cerr << "tarveloftpd: " << status.text << std::endl;
    return 1;
  }
  std::cout << "tarveloftpd: " << connection_settings << std::endl;
  std::cout << "tarveloftpd: listening on " << (every_address ? "*" : address) << ":"
            << port << " (administration on 127.0.0.1:" << server.admin_port() << "), serving "
            << targets << (block_hash_storage ? ", with block-hash storage" : "") << ", " << threads
            << (threads == 1 ? " thread" : " threads") << std::endl;

  std::string shown_address = every_address ? "*" : address;
  tarvelo::tools::notify_ready(service_status(server.endpoints(), shown_address, port));

  int received = 0;
  while (sigwait(&signals, &received) == 0 && received == SIGHUP) {
    tarvelo::tools::notify_reloading();
    std::cout << "tarveloftpd: SIGHUP received, reloading " << config_path << std::endl;
    // `config` still holds the settings the listeners were built with.
    (void)tarvelo::tools::reload_configuration(config_path, config, server.endpoints());
    tarvelo::tools::notify_ready(service_status(server.endpoints(), shown_address, port));
  }
  std::cout << "tarveloftpd: " << (received == SIGINT ? "SIGINT" : "SIGTERM")
            << " received, closing connections" << std::endl;
  tarvelo::tools::notify_stopping();
  server.close();
  serving.join();
  return 0;
}
