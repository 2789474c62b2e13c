// Session set-up and tear-down of the client: construction, open() with its
// handshakes, close(), and the request/reply plumbing shared by every
// operation.

#include <tarveloftp/TarveloFTPClient.h>

#include <cstring>
#include <utility>

#include <tarveloftp/BlakeHash.h>
#include <tarveloftp/Coding.h>

#include "TarveloFTPClientInternal.h"

namespace tarvelo {

namespace client_detail {

Transport::StatusCode make_status(std::string text, int64_t code) {
  Transport::StatusCode status;
  status.text = std::move(text);
  status.code = code;
  return status;
}

void report(Transport::StatusCode* status, std::string text, int64_t code) {
  if (status) *status = make_status(std::move(text), code);
}

std::string wrong_command_text(tarvelo_protocol_command_t expected, uint8_t actual) {
  return "Did not respond with correct command. Expected: " + Protocol::to_string(expected) +
         " | Actual: " + Protocol::to_string(static_cast<tarvelo_protocol_command_t>(actual));
}

}  // namespace client_detail

using client_detail::make_status;
using client_detail::report;

TarveloFTPClient::TarveloFTPClient(std::unique_ptr<SocketImpl> socket, const std::string& address,
                                   unsigned short port, const std::string& target,
                                   unsigned long lun, unsigned long flags,
                                   const std::string& password, long partition_offset)
    : m_socket(std::move(socket)),
      m_address(address),
      m_port(port),
      m_target(target),
      m_flags(flags),
      m_password(password),
      m_hash_function(std::make_unique<BlakeHash>()),
      m_partition_offset(partition_offset) {
  m_uid.target_id = 0;
  m_uid.lun_id = static_cast<uint8_t>(lun & 0xff);
}

TarveloFTPClient::~TarveloFTPClient() { release(); }

void TarveloFTPClient::release() {
  if (m_socket) (void)close();
}

TarveloFTPClient::TarveloFTPClient(TarveloFTPClient&& other) noexcept
    : m_socket(std::move(other.m_socket)),
      m_address(std::move(other.m_address)),
      m_port(other.m_port),
      m_target(std::move(other.m_target)),
      m_uid(other.m_uid),
      m_flags(other.m_flags),
      m_server_features(other.m_server_features),
      m_server_id(other.m_server_id),
      m_file(other.m_file),
      m_password(std::move(other.m_password)),
      m_session_id(other.m_session_id),
      m_closed(other.m_closed),
      m_block_size(other.m_block_size),
      m_hash_function(std::move(other.m_hash_function)),
      m_block_buffer(std::move(other.m_block_buffer)),
      m_partition_offset(other.m_partition_offset),
      m_handshake_status(other.m_handshake_status) {
  other.m_closed = true;
}

TarveloFTPClient& TarveloFTPClient::operator=(TarveloFTPClient&& other) noexcept {
  if (this == &other) return *this;
  // The session this object held ends here, as it would on destruction.
  release();
  m_socket = std::move(other.m_socket);
  m_address = std::move(other.m_address);
  m_port = other.m_port;
  m_target = std::move(other.m_target);
  m_uid = other.m_uid;
  m_flags = other.m_flags;
  m_server_features = other.m_server_features;
  m_server_id = other.m_server_id;
  m_file = other.m_file;
  m_password = std::move(other.m_password);
  m_session_id = other.m_session_id;
  m_closed = other.m_closed;
  m_block_size = other.m_block_size;
  m_hash_function = std::move(other.m_hash_function);
  m_block_buffer = std::move(other.m_block_buffer);
  m_partition_offset = other.m_partition_offset;
  m_handshake_status = other.m_handshake_status;
  other.m_closed = true;
  return *this;
}

Message TarveloFTPClient::new_request(tarvelo_protocol_command_t command, std::size_t size) const {
  Message request(static_cast<long>(size));
  stamp(request.buffer(), command);
  return request;
}

void TarveloFTPClient::stamp(char* bytes, tarvelo_protocol_command_t command) const {
  bytes[wire::kCommand] = static_cast<char>(command);
  bytes[wire::kTargetId] = static_cast<char>(m_uid.target_id);
  bytes[wire::kLunId] = static_cast<char>(m_uid.lun_id);
  EncodeFixed32BE(bytes + wire::kSessionId, m_session_id);
}

Message TarveloFTPClient::exchange(Message& request, tarvelo_protocol_command_t command,
                                   std::size_t minimum_reply_size, Transport::StatusCode* status,
                                   const char* missing_text, const SocketImpl::Placement* placement,
                                   bool* placed) const {
  bool landed = false;
  if (placed) *placed = false;
  if (!m_socket) {
    report(status, "No socket", Transport::kClosed);
    return Message();
  }
  Transport::StatusCode sent = m_socket->send(request);
  if (sent.code < 0) {
    if (status) *status = std::move(sent);
    return Message();
  }
  Transport::StatusCode received;
  Message reply = placement ? m_socket->receive_placed(*placement, landed, &received) : m_socket->receive(&received);
  if (reply.null()) {
    if (received.code >= 0)
      received = make_status(missing_text ? std::string(missing_text)
                                          : "No response to " + Protocol::to_string(command),
                             kNoResponse);
    if (status) *status = std::move(received);
    return Message();
  }
  auto actual = static_cast<uint8_t>(reply.buffer()[wire::kCommand]);
  if (actual != command) {
    report(status, client_detail::wrong_command_text(command, actual), kProtocolError);
    return Message();
  }
  // A reply shorter than its layout is refused rather than read past.
  if (reply.size() < minimum_reply_size) {
    report(status,
           "Response to " + Protocol::to_string(command) + " too short: " +
               std::to_string(reply.size()) + " bytes, expected at least " +
               std::to_string(minimum_reply_size),
           kProtocolError);
    return Message();
  }
  if (status) *status = std::move(received);
  if (placed) *placed = landed;
  return reply;
}

Transport::StatusCode TarveloFTPClient::open() {
  m_closed = true;
  Transport::StatusCode result = open_session();
  // A refused session is of no use to anyone; the server closes its end
  // anyway, so do not hold the connection until destruction.
  if (m_closed && m_socket) (void)m_socket->close();
  return result;
}

Transport::StatusCode TarveloFTPClient::open_session() {
  if (!m_socket) return make_status("No socket", Transport::kClosed);
  Transport::StatusCode status = m_socket->connect(m_address, m_port);
  if (status.code < 0) return status;
  m_session_id = 0;
  m_handshake_status = STATUS_INVALID;

  Message handshake(static_cast<long>(wire::kHeaderSize + m_target.size()));
  char* request = handshake.buffer();
  request[wire::kCommand] = static_cast<char>(COMMAND_HANDSHAKE);
  request[wire::kLunId] = static_cast<char>(m_uid.lun_id);
  EncodeFixed64BE(request + wire::kHandshakeFlags, m_flags);
  EncodeFixed64BE(request + wire::kHandshakeNameLength, m_target.size());
  std::memcpy(request + wire::kHandshakeName, m_target.data(), m_target.size());
  Message reply = exchange(handshake, COMMAND_HANDSHAKE, wire::kHeaderSize, &status,
                           "Didn't receive handshake command response.");
  if (reply.null()) return status;

  const char* bytes = reply.buffer();
  m_uid.target_id = static_cast<uint8_t>(bytes[wire::kTargetId]);
  m_uid.lun_id = static_cast<uint8_t>(bytes[wire::kLunId]);
  m_server_id = DecodeFixed32BE(bytes + wire::kHandshakeServerId);
  m_server_features = DecodeFixed32BE(bytes + wire::kHandshakeFeatures);
  m_file = FileSystem::File(DecodeFixed64BE(bytes + wire::kHandshakeImageSize));
  m_handshake_status = static_cast<tarvelo_protocol_status_t>(bytes[wire::kHandshakeStatus]);
  if (m_handshake_status != STATUS_SUCCESS) return make_status("Couldn't open remote target", kRefused);
  if (supports_handshake_session_id())
    m_session_id = DecodeFixed32BE(bytes + wire::kHandshakeSessionId);

  // AUTHENTICATE and HASH_HANDSHAKE carry the handshake's session id only
  // when the server issues one there.
  uint32_t handshake_session = supports_handshake_session_id() ? m_session_id : 0;

  if (!m_password.empty() && (m_server_features & FEATURE_AUTHENTICATION)) {
    Message authenticate(static_cast<long>(wire::kHeaderSize + m_password.size()));
    char* out = authenticate.buffer();
    out[wire::kCommand] = static_cast<char>(COMMAND_AUTHENTICATE);
    out[wire::kTargetId] = static_cast<char>(m_uid.target_id);
    out[wire::kLunId] = static_cast<char>(m_uid.lun_id);
    EncodeFixed32BE(out + wire::kSessionId, handshake_session);
    EncodeFixed64BE(out + wire::kAuthenticateLength, m_password.size());
    std::memcpy(out + wire::kAuthenticatePassphrase, m_password.data(), m_password.size());
    reply = exchange(authenticate, COMMAND_AUTHENTICATE, wire::kHeaderSize, &status,
                     "Didn't receive authentication command response.");
    if (reply.null()) return status;
    if (reply.buffer()[wire::kAuthenticateAccepted] != 1)
      return make_status("Couldn't authenticate remote target", kRefused);
    uint32_t session = DecodeFixed32BE(reply.buffer() + wire::kAuthenticateSessionId);
    if (supports_handshake_session_id()) {
      if (session != m_session_id) return make_status("Couldn't authenticate remote target", kRefused);
    } else {
      m_session_id = session;
    }
  }

  if (m_server_features & FEATURE_BLOCK_HASH_STORAGE) {
    Message hash_handshake(static_cast<long>(wire::kHeaderSize + m_target.size()));
    char* out = hash_handshake.buffer();
    out[wire::kCommand] = static_cast<char>(COMMAND_HASH_HANDSHAKE);
    out[wire::kTargetId] = static_cast<char>(m_uid.target_id);
    out[wire::kLunId] = static_cast<char>(m_uid.lun_id);
    EncodeFixed32BE(out + wire::kSessionId, handshake_session);
    // The one field that travels in the sender's byte order (little-endian here).
    EncodeFixed64LE(out + wire::kHashHandshakePartitionOffset,
                    static_cast<uint64_t>(m_partition_offset));
    reply = exchange(hash_handshake, COMMAND_HASH_HANDSHAKE, wire::kHeaderSize, &status,
                     "Didn't receive hash handshake response.");
    if (reply.null()) return status;
    m_block_size = static_cast<int64_t>(DecodeFixed64BE(reply.buffer() + wire::kHashHandshakeBlockSize));
    uint32_t hash_id = DecodeFixed32BE(reply.buffer() + wire::kHashHandshakeFunctionId);
    if (hash_id != 1) {
      m_hash_function.reset();
      return make_status("Did not respond with valid hash function.  Actual: " + std::to_string(hash_id),
                         kProtocolError);
    }
    m_hash_function = std::make_unique<BlakeHash>();
    // A block size of 0 or below would make every aggregate hash divide by
    // zero or allocate nonsense; refuse it like an oversized one.
    if (m_block_size > kMaxBlockSize || m_block_size <= 0) {
      m_block_buffer.reset();
      return make_status("Did not respond with reasonable block size.  Actual: " +
                             std::to_string(m_block_size),
                         kOutOfBounds);
    }
    m_block_buffer = std::make_unique<unsigned char[]>(static_cast<std::size_t>(m_block_size));
  }

  m_closed = false;
  return status;
}

Transport::StatusCode TarveloFTPClient::close() {
  if (m_closed) return make_status("", 0);
  Transport::StatusCode status;
  if (!m_socket) return make_status("No socket", Transport::kClosed);
  Message request = new_request(COMMAND_CLOSE, wire::kHeaderSize);
  request.buffer()[wire::kField1] = 1;
  status = m_socket->send(request);
  if (status.code >= 0) {
    m_closed = true;
    m_session_id = 0;
    Message reply = m_socket->receive(&status);
    if (!reply.null()) {
      auto actual = static_cast<uint8_t>(reply.buffer()[wire::kCommand]);
      if (actual != COMMAND_CLOSE)
        status = make_status(client_detail::wrong_command_text(COMMAND_CLOSE, actual), kProtocolError);
      else if (reply.size() < wire::kHeaderSize)
        status = make_status("Response to COMMAND_CLOSE too short: " + std::to_string(reply.size()) +
                                 " bytes, expected at least 32",
                             kProtocolError);
      else if (reply.buffer()[wire::kCloseStatus] != STATUS_SUCCESS)
        status = make_status("Couldn't close remote target", kRefused);
    }
  }
  (void)m_socket->close();
  return status;
}

long TarveloFTPClient::seek(long offset, tarvelo_seek_dir_t whence) { return m_file.seek(offset, whence); }

long TarveloFTPClient::tell() const { return m_file.tell(); }

long TarveloFTPClient::size() const { return m_file.length(); }

void TarveloFTPClient::set_differential_merge(bool enabled) {
  if (enabled)
    m_flags |= CLIENT_DIFFERENTIAL_MERGE;
  else
    m_flags &= ~CLIENT_DIFFERENTIAL_MERGE;
}

bool TarveloFTPClient::get_differential_merge() const { return (m_flags & CLIENT_DIFFERENTIAL_MERGE) != 0; }

void TarveloFTPClient::set_password(std::string password) { m_password = std::move(password); }

std::string TarveloFTPClient::get_password() const { return m_password; }

bool TarveloFTPClient::supports_handshake_session_id() const {
  return (m_server_features & FEATURE_HANDSHAKE_SESSION_ID) != 0;
}

bool TarveloFTPClient::message_requires_response(const Message& message) {
  if (message.null()) return false;
  return static_cast<uint8_t>(message.buffer()[wire::kCommand]) != COMMAND_WRITE;
}

std::size_t TarveloFTPClient::hash_size() const {
  return m_hash_function ? m_hash_function->hash_size_in_bytes() : 0;
}

}  // namespace tarvelo
