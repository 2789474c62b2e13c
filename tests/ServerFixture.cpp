#include "ServerFixture.h"

#include <signal.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

#include <tarvelo/UDTTransport.h>
#include <tarveloftp/Coding.h>

namespace tarvelo::test {

ServerFixture::ServerFixture(std::size_t image_size, bool block_hash_storage,
                             const std::function<void(config::Endpoints&, TempDir&)>& setup,
                             std::size_t threads, bool udt)
    : m_image_path(m_dir.file("image.img")), m_port(free_port()) {
  write_file(m_image_path, random_bytes(image_size, 7));
  config::Endpoints endpoints;
  endpoints.add_target("disk");
  endpoints.add_lun("disk", 0, m_image_path);
  if (setup) setup(endpoints, m_dir);
  std::unique_ptr<Transport> transport = std::make_unique<TCPTransport>();
  if (udt) transport = std::make_unique<UDTTransport>();
  m_server = std::make_unique<TarveloFTPServer>(std::make_unique<BasicSocket>(std::move(transport)), "127.0.0.1",
                                                m_port, std::move(endpoints));
  m_server->setBlockHashStorage(block_hash_storage);
  m_server->setWorkerThreads(threads);
  m_thread = std::thread([this] { m_server->run(); });
  for (int i = 0; i < 500 && !m_server->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!m_server->is_running()) {
    stop();
    throw std::runtime_error("server did not start on port " + std::to_string(m_port));
  }
}

ServerFixture::~ServerFixture() { stop(); }

void ServerFixture::stop() {
  if (!m_thread.joinable()) return;
  m_server->close();
  m_thread.join();
}

config::Lun& ServerFixture::lun(const std::string& target, unsigned char id) {
  return m_server->endpoints().target(target).lun(id);
}

DaemonProcess::DaemonProcess(const std::vector<char>& image, const std::string& settings)
    : m_image_path(m_dir.file("disk.img")), m_config(m_dir.file("server.ini")), m_port(free_port()) {
  write_file(m_image_path, image);
  std::ofstream(m_config) << "[config]\naddress = 127.0.0.1\nport = " << m_port << "\n"
                          << settings << "\n[disk]\nlun0 = " << m_image_path << "\n";
}

bool DaemonProcess::start(const std::vector<std::string>& args, const std::vector<std::string>& environment) {
  std::vector<std::string> argv{tool_path("tarveloftpd"), "--config", m_config};
  argv.insert(argv.end(), args.begin(), args.end());
  m_process = std::make_unique<ChildProcess>(argv, environment);
  return m_process->wait_for_output("listening on 127.0.0.1:" + std::to_string(m_port));
}

int DaemonProcess::stop() {
  m_process->signal(SIGTERM);
  return m_process->wait();
}

void add_locked_target(config::Endpoints& endpoints, TempDir& dir) {
  endpoints.add_target("locked");
  endpoints.target("locked").password("open sesame");
  write_file(dir.file("locked.img"), std::vector<char>(8192, 'L'));
  endpoints.add_lun("locked", 0, dir.file("locked.img"));
}

WireClient::WireClient(uint16_t port, bool udt)
    : m_socket(std::make_unique<BasicSocket>(udt ? std::unique_ptr<Transport>(std::make_unique<UDTTransport>())
                                                 : std::make_unique<TCPTransport>())) {
  m_socket->connect("127.0.0.1", port);
}

Message WireClient::handshake(const std::string& target, uint8_t lun, uint64_t flags) {
  Message message(static_cast<long>(wire::kHeaderSize + target.size()));
  char* bytes = message.buffer();
  bytes[wire::kCommand] = COMMAND_HANDSHAKE;
  bytes[wire::kLunId] = static_cast<char>(lun);
  EncodeFixed64BE(bytes + wire::kHandshakeFlags, flags);
  EncodeFixed64BE(bytes + wire::kHandshakeNameLength, target.size());
  std::memcpy(bytes + wire::kHandshakeName, target.data(), target.size());
  if (!m_socket->send(message).ok()) return Message();
  Message response = receive();
  if (response.size() >= wire::kHeaderSize && response.buffer()[wire::kHandshakeStatus] == STATUS_SUCCESS) {
    uid = {static_cast<uint8_t>(response.buffer()[wire::kTargetId]),
           static_cast<uint8_t>(response.buffer()[wire::kLunId])};
    session_id = DecodeFixed32BE(response.buffer() + wire::kHandshakeSessionId);
  }
  return response;
}

Message WireClient::request(tarvelo_protocol_command_t command, int64_t offset, int64_t length,
                            const std::vector<char>& payload) {
  std::size_t size = std::max(wire::kHeaderSize, wire::kWriteData + payload.size());
  Message message(static_cast<long>(size));
  tarvelo_protocol_message_t front;
  front.command = command;
  front.uid = uid;
  front.session_id = session_id;
  front.fields[0] = static_cast<uint64_t>(offset);
  front.fields[1] = static_cast<uint64_t>(length);
  encode_message_front(message.buffer(), front);
  if (!payload.empty()) std::memcpy(message.buffer() + wire::kWriteData, payload.data(), payload.size());
  return message;
}

Message WireClient::authenticate(const std::string& passphrase) {
  Message message(static_cast<long>(wire::kHeaderSize + passphrase.size()));
  char* bytes = message.buffer();
  bytes[wire::kCommand] = COMMAND_AUTHENTICATE;
  bytes[wire::kTargetId] = static_cast<char>(uid.target_id);
  bytes[wire::kLunId] = static_cast<char>(uid.lun_id);
  EncodeFixed32BE(bytes + wire::kSessionId, session_id);
  EncodeFixed64BE(bytes + wire::kAuthenticateLength, passphrase.size());
  std::memcpy(bytes + wire::kAuthenticatePassphrase, passphrase.data(), passphrase.size());
  if (!m_socket->send(message).ok()) return Message();
  return receive();
}

Message WireClient::exchange(tarvelo_protocol_command_t command, int64_t offset, int64_t length,
                             const std::vector<char>& payload) {
  Message message = request(command, offset, length, payload);
  if (!send(message).ok()) return Message();
  return receive();
}

Message WireClient::receive(Transport::StatusCode* status) {
  Transport::StatusCode local;
  return m_socket->receive(status ? status : &local);
}

bool WireClient::closed_by_server() {
  Transport::StatusCode status;
  Message message = m_socket->receive(&status);
  // An empty frame may come first: a refusal that carries no message.
  if (status.ok() && message.size() == 0) message = m_socket->receive(&status);
  return !status.ok();
}

}  // namespace tarvelo::test
