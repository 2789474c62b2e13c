#pragma once

// A real TarveloFTPServer on a free loopback port, serving images from a
// temporary directory, and a client that speaks the wire protocol with
// hand-built messages.

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <tarvelo/BasicSocket.h>
#include <tarveloftp/Protocol.h>
#include <tarveloftp/TarveloFTPServer.h>

#include "TestSupport.h"

namespace tarvelo::test {

class ServerFixture {
 public:
  // Serves target "disk" with LUN 0 backed by an image of `image_size`
  // random bytes (and whatever else `setup` adds to the table), handling
  // requests on `threads` workers, over UDT instead of TCP when `udt`.
  explicit ServerFixture(std::size_t image_size = 1 << 20, bool block_hash_storage = false,
                         const std::function<void(config::Endpoints&, TempDir&)>& setup = nullptr,
                         std::size_t threads = 4, bool udt = false);
  ~ServerFixture();
  ServerFixture(const ServerFixture&) = delete;
  ServerFixture& operator=(const ServerFixture&) = delete;

  uint16_t port() const { return m_port; }
  TarveloFTPServer& server() { return *m_server; }
  TempDir& dir() { return m_dir; }
  const std::string& image_path() const { return m_image_path; }
  std::vector<char> image() const { return read_file(m_image_path); }
  config::Lun& lun(const std::string& target = "disk", unsigned char id = 0);
  // Stops the server now (normally the destructor does).
  void stop();

 private:
  TempDir m_dir;
  std::string m_image_path;
  uint16_t m_port;
  std::unique_ptr<TarveloFTPServer> m_server;
  std::thread m_thread;
};

// The tarveloftpd program on a free loopback port serving target "disk"
// LUN 0 from a file holding `image`, with extra [config] lines.
class DaemonProcess {
 public:
  explicit DaemonProcess(const std::vector<char>& image, const std::string& settings = "");
  // Runs the program with `args` after the configuration and `environment`
  // added to this one's; false when it does not come to listen
  // (process().err() says why).
  bool start(const std::vector<std::string>& args = {}, const std::vector<std::string>& environment = {});
  // SIGTERM, then the exit status.
  int stop();

  uint16_t port() const { return m_port; }
  const std::string& config() const { return m_config; }
  const std::string& image_path() const { return m_image_path; }
  ChildProcess& process() const { return *m_process; }

 private:
  TempDir m_dir;
  std::string m_image_path;
  std::string m_config;
  uint16_t m_port;
  std::unique_ptr<ChildProcess> m_process;
};

// Adds target "locked" (passphrase "open sesame") whose LUN 0 is 8192 bytes of 'L'.
void add_locked_target(config::Endpoints& endpoints, TempDir& dir);

// Builds requests, sends them, and reads responses.
class WireClient {
 public:
  explicit WireClient(uint16_t port, bool udt = false);

  // Sends COMMAND_HANDSHAKE and returns the response (null on failure).
  Message handshake(const std::string& target, uint8_t lun, uint64_t flags);
  // A 32-byte request with offset and length fields, plus payload from 24.
  Message request(tarvelo_protocol_command_t command, int64_t offset, int64_t length,
                  const std::vector<char>& payload = {});
  Message authenticate(const std::string& passphrase);
  // Sends request(...) and returns the reply (null when either way fails).
  Message exchange(tarvelo_protocol_command_t command, int64_t offset, int64_t length,
                   const std::vector<char>& payload = {});
  Transport::StatusCode send(Message& message) { return m_socket->send(message); }
  Transport::StatusCode send_all(std::vector<Message>& messages) { return m_socket->send_all(messages); }
  Message receive(Transport::StatusCode* status = nullptr);
  // True when the server closed the connection (the next receive fails).
  bool closed_by_server();

  tarvelo_protocol_uid_t uid;
  uint32_t session_id = 0;

 private:
  std::unique_ptr<SocketImpl> m_socket;
};

}  // namespace tarvelo::test
