// tarveloftpd: serves the targets of a configuration file until SIGINT or
// SIGTERM, then closes every connection (syncing the images) and exits 0.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include <CLI/CLI.hpp>

#include <tarvelo/BasicSocket.h>
#include <tarveloftp/TarveloConfig.h>
#include <tarveloftp/TarveloFTPServer.h>

namespace {

// The signal mask is set before any thread starts, so only this thread ever
// receives SIGINT and SIGTERM.
sigset_t termination_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
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

// The settings this build can honour; anything else stops the server
// rather than be silently ignored.
std::string unsupported_setting(const tarvelo::TarveloConfig& config) {
  using Config = tarvelo::TarveloConfig;
  if (config.getTransport() != Config::transport_type_t::TCP)
    return "transport '" + std::string(config.getTransport() == Config::transport_type_t::TLS ? "tls" : "udt") +
           "' is not supported by this server; use transport = tcp";
  if (config.getCryptoCipher() != Config::crypto_type_t::NONE)
    return "encryption 'xsalsa20' is not supported by this server; use encryption = none";
  if (config.getCompressionAlgorithm() != Config::compression_type_t::NONE)
    return "compression 'lz4' is not supported by this server; use compression = none";
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "tarveloftpd: serve disk images over the network.\n"
      "Serves the targets and LUNs of an INI configuration file until SIGINT or SIGTERM.\n"
      "An administration channel listens on 127.0.0.1, port + 1 (see tarveloftp-admin)."};
  std::string config_path;
  bool block_hash_storage = false;
  bool debug_messages = false;
  app.add_option("-c,--config", config_path,
                 "INI configuration file: [config] address/port/... and one section per target "
                 "with lunN = /path/to/image")
      ->required();
  app.add_flag("--block-hash-storage", block_hash_storage,
               "Keep a block-hash file (IMAGE.hash) and journal beside each image, so clients "
               "that ask for it get hashes without the image being read");
  app.add_flag("--debug-messages", debug_messages, "Log a DEBUG line for every protocol message");
  CLI11_PARSE(app, argc, argv);

  std::ifstream readable(config_path);
  if (!readable.is_open()) {
    std::cerr << "tarveloftpd: cannot read configuration file " << config_path << ": "
              << std::strerror(errno) << std::endl;
    return 1;
  }
  readable.close();

  tarvelo::TarveloConfig config = tarvelo::TarveloConfig::load(config_path);
  if (std::string problem = unsupported_setting(config); !problem.empty()) {
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

  std::string address = config.getAddress();
  std::string listen_address = address == "*" ? "" : address;
  uint16_t port = config.getPort();

  sigset_t signals = termination_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  tarvelo::TarveloFTPServer server(
      std::make_unique<tarvelo::BasicSocket>(std::make_unique<tarvelo::TCPTransport>()), listen_address,
      port, std::move(config.getEndpoints()));
  server.setBlockHashStorage(block_hash_storage);
  server.setMessageDebugLogging(debug_messages);

  tarvelo::Transport::StatusCode status;
  std::thread serving([&] { status = server.run(); });
  for (int i = 0; i < 1000 && !server.is_running() && status.code >= 0; ++i) usleep(2000);
  if (!server.is_running()) {
    server.close();
    serving.join();
    std::cerr << "tarveloftpd: cannot listen on " << (listen_address.empty() ? "*" : listen_address)
              << ":" << port << ": " << status.text << std::endl;
    return 1;
  }
  std::cout << "tarveloftpd: listening on " << (listen_address.empty() ? "*" : listen_address) << ":"
            << port << " (administration on 127.0.0.1:" << server.admin_port() << "), serving "
            << targets << (block_hash_storage ? ", with block-hash storage" : "") << std::endl;

  int received = 0;
  sigwait(&signals, &received);
  std::cout << "tarveloftpd: " << (received == SIGINT ? "SIGINT" : "SIGTERM")
            << " received, closing connections" << std::endl;
  server.close();
  serving.join();
  return 0;
}
