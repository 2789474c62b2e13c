// Per-connection protocol state: handshake, authentication, session checks,
// dispatch, close, write acknowledgements and the hash handshake.

#include <tarveloftp/ServerMessageHandler.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <tarvelo/Crypto.h>
#include <tarvelo/Transport.h>
#include <tarveloftp/BlockHashStore.h>
#include <tarveloftp/Coding.h>
#include <tarveloftp/Endpoints.h>
#include <tarveloftp/FileSystem.h>
#include <tarveloftp/Logger.h>

#include "ImageHashState.h"

namespace tarvelo {

const long ServerMessageHandler::kMaxRequestLength =
    static_cast<long>(kMaxMessageSize - wire::kHeaderSize);

// ---- ConnectionState ----

ServerMessageHandler::ConnectionState::ConnectionState(config::Endpoints& endpoints,
                                                       uint32_t session_id,
                                                       tarvelo_protocol_uid_t uid,
                                                       uint64_t features,
                                                       std::string target_name,
                                                       std::string image_path)
    : endpoints(&endpoints),
      uid(uid),
      features(features),
      session_id(session_id),
      m_target_name(std::move(target_name)),
      m_image_path(std::move(image_path)) {
  lun().increment_reference_count();
}

ServerMessageHandler::ConnectionState::~ConnectionState() {
  config::Lun& opened = lun();
  TLOG(DEBUG) << " ref count before connection close: " << opened.reference_count();
  opened.decrement_reference_count();
  uint64_t remaining = opened.reference_count();
  TLOG(DEBUG) << " ref count after decrement: " << remaining;
  if (remaining == 0) opened.clear_op_counts();
  if (fd != -1) {
    if (fsync(fd) != 0)
      TLOG(ERROR) << "Error syncing fd on " << image_path() << " Error: " << strerror(errno);
    if (::close(fd) != 0)
      TLOG(ERROR) << "Error closing fd on " << image_path() << " Error: " << strerror(errno);
    fd = -1;
  }
}

config::Lun& ServerMessageHandler::ConnectionState::lun() const {
  return endpoints->target(uid.target_id).lun(uid.lun_id);
}

void ServerMessageHandler::ConnectionState::queue_write_acknowledgement(
    int64_t offset, int64_t length, tarvelo_protocol_status_t status) {
  while (write_acknowledgements.size() >= MAX_WRITE_ACKNOWLEDGEMENTS)
    write_acknowledgements.pop_front();
  write_acknowledgements.push_back({offset, length, status});
}

// ---- handler ----

ServerMessageHandler::ServerMessageHandler(config::Endpoints& endpoints) : endpoints(endpoints) {}

ServerMessageHandler::ServerMessageHandler(ServerMessageHandler&& other) noexcept
    : endpoints(other.endpoints),
      state(std::move(other.state)),
      message_debug_logging(other.message_debug_logging),
      block_hash_storage(other.block_hash_storage),
      on_write(std::move(other.on_write)),
      on_read(std::move(other.on_read)),
      on_hash_request(std::move(other.on_hash_request)),
      hash_directory(std::move(other.hash_directory)) {}

ServerMessageHandler& ServerMessageHandler::operator=(ServerMessageHandler&& other) noexcept {
  if (this == &other) return *this;
  cleanup();
  state = std::move(other.state);
  message_debug_logging = other.message_debug_logging;
  block_hash_storage = other.block_hash_storage;
  on_write = std::move(other.on_write);
  on_read = std::move(other.on_read);
  on_hash_request = std::move(other.on_hash_request);
  hash_directory = std::move(other.hash_directory);
  return *this;
}

ServerMessageHandler::~ServerMessageHandler() { cleanup(); }

uint32_t ServerMessageHandler::get_session_id(const Message& message) {
  if (message.null() || message.size() < wire::kSessionId + 4) return 0;
  return DecodeFixed32BE(message.buffer() + wire::kSessionId);
}

uint32_t ServerMessageHandler::get_session_id() const { return state ? state->session_id : 0; }

uint32_t ServerMessageHandler::getProtocolFeatures() const {
  uint32_t features = FEATURE_HOLE_PUNCH | FEATURE_AUTHENTICATION | FEATURE_WRITE_ACKNOWLEDGEMENT |
                      FEATURE_HANDSHAKE_SESSION_ID;
  return block_hash_storage ? features | FEATURE_BLOCK_HASH_STORAGE : features;
}

long ServerMessageHandler::seek(int fd, long offset, int whence) { return lseek64(fd, offset, whence); }

Message ServerMessageHandler::new_response(tarvelo_protocol_command_t command, long size,
                                           bool zero_data) const {
  Message response = zero_data ? Message(size) : Message::uninitialized(size);
  if (!zero_data) std::memset(response.buffer(), 0, std::min<std::size_t>(response.size(), wire::kHeaderSize));
  response.buffer()[wire::kCommand] = static_cast<char>(command);
  if (state) {
    response.buffer()[wire::kTargetId] = static_cast<char>(state->uid.target_id);
    response.buffer()[wire::kLunId] = static_cast<char>(state->uid.lun_id);
  }
  return response;
}

int ServerMessageHandler::cleanup() {
  if (!state) return 0;
  TLOG(INFO) << "performing cleanup on " << static_cast<int>(state->uid.target_id) << " lun "
             << static_cast<int>(state->uid.lun_id);
  commit_deferred_operations();
  state.reset();
  return 0;
}

ServerMessageHandlerResponse ServerMessageHandler::handle_message(Message message) {
  ServerMessageHandlerResponse response = handle_message_core(std::move(message));
  if (!response.error.empty()) {
    TLOG(ERROR) << response.error;
    response.close_after_send = true;
    cleanup();
  }
  return response;
}

ServerMessageHandlerResponse ServerMessageHandler::handle_message_core(Message message) {
  ServerMessageHandlerResponse response;
  if (message.null()) {
    response.error = "Empty message.";
    return response;
  }
  if (message.buffer() == nullptr) {
    response.error = "Empty message header.";
    return response;
  }
  // Every request carries the 32-byte front; a shorter one cannot be read.
  if (message.size() < wire::kHeaderSize) {
    response.error = "Message shorter than its header: " + std::to_string(message.size()) + " bytes.";
    return response;
  }
  auto command = static_cast<tarvelo_protocol_command_t>(message.buffer()[wire::kCommand]);
  if (message_debug_logging) TLOG(DEBUG) << "Command: " << Protocol::to_string(command);

  if (command == COMMAND_HANDSHAKE) return handshake(message, response);
  if (!state) {
    response.error = "Invalid session.";
    return response;
  }

  bool check_session = (state->features & CLIENT_HANDSHAKE_SESSION_ID) != 0;
  uint32_t client_session = check_session ? get_session_id(message) : 0;
  if (message_debug_logging)
    TLOG(DEBUG) << "Client session id: " << client_session
                << " | Server session id: " << state->session_id;
  if (check_session && client_session != state->session_id) {
    response.error = "Invalid session ID. Client ID: " + std::to_string(client_session) +
                     " Server ID: " + std::to_string(state->session_id);
    return response;
  }

  if (state->pending_authenticate) {
    if (command == COMMAND_AUTHENTICATE) return authenticate(message, response);
    TLOG(INFO) << "Pending authenticate unfulfilled.";
    response.close_after_send = true;
    return response;
  }

  // A target or LUN removed by the administrator is no longer served, even
  // to connections that opened it before.
  if (command != COMMAND_CLOSE &&
      !endpoints.serves(state->uid.target_id, state->uid.lun_id, state->target_name(), state->image_path())) {
    response.error = "Target " + state->target_name() + " lun " + std::to_string(static_cast<int>(state->uid.lun_id)) +
                     " is no longer served";
    return response;
  }

  switch (command) {
    case COMMAND_READ:
      return state->block_hashing ? block_hashing_with_deferred_writes_command_read(message, response)
                                  : default_command_read(message, response);
    case COMMAND_WRITE:
      response.send_response = false;
      if (state->read_only) return refuse_change(message, response);
      return state->block_hashing ? block_hashing_with_deferred_writes_command_write(message, response)
                                  : default_command_write(message, response);
    case COMMAND_HOLE_PUNCH:
      if (state->read_only) return refuse_change(message, response);
      return state->block_hashing
                 ? block_hashing_with_deferred_writes_command_hole_punch(message, response)
                 : default_command_hole_punch(message, response);
    case COMMAND_HASH:
      return state->block_hashing ? block_hashing_command_hash(message, response)
                                  : default_command_hash(message, response);
    case COMMAND_CLOSE:
      return close_command(response);
    case COMMAND_WRITE_ACKNOWLEDGE:
      return write_acknowledge(response);
    case COMMAND_HASH_HANDSHAKE:
      return hash_handshake(message, response);
    default:
      response.error = "Unknown command: " + Protocol::to_string(command);
      return response;
  }
}

ServerMessageHandlerResponse ServerMessageHandler::handshake(const Message& message,
                                                             ServerMessageHandlerResponse& response) {
  cleanup();
  const char* bytes = message.buffer();
  uint64_t name_length = DecodeFixed64BE(bytes + wire::kHandshakeNameLength);
  if (name_length > message.size() - wire::kHandshakeName) {
    response.error = "Handshake declares a target name of " + std::to_string(name_length) +
                     " bytes but carries " + std::to_string(message.size() - wire::kHandshakeName);
    return response;
  }
  std::string name(bytes + wire::kHandshakeName, name_length);
  auto lun_id = static_cast<uint8_t>(bytes[wire::kLunId]);
  uint64_t flags = DecodeFixed64BE(bytes + wire::kHandshakeFlags);
  response.message = new_response(COMMAND_HANDSHAKE, wire::kHeaderSize);
  char* out = response.message.buffer();

  if (flags & CLIENT_PASSPHRASE) TLOG(INFO) << "New client indicates that it will supply a passphrase";

  config::Target& target = endpoints.target(name);
  if (target.name().empty()) {
    out[wire::kHandshakeStatus] = STATUS_EEXIST;
    response.error = "New client requested nonexistent target: " + name;
    return response;
  }

  uint32_t session_id = 0;
  for (int attempt = 0; attempt < 10 && session_id == 0; ++attempt) session_id = crypto::Random::int32();
  if (session_id == 0) session_id = 0xFFFFFFFF;

  config::Lun& lun = target.lun(lun_id);
  std::string path = lun.file();
  auto opened = std::make_shared<ConnectionState>(
      endpoints, session_id, tarvelo_protocol_uid_t{target.id(), lun_id}, flags, name, path);
  opened->pending_authenticate = !target.password().empty();

  if (path.empty()) {
    out[wire::kHandshakeStatus] = STATUS_EEXIST;
    response.error = "New client requested target " + name + " lun " +
                     std::to_string(static_cast<int>(lun.id())) + " but lun is not defined.";
    return response;
  }

  opened->file_size = static_cast<int64_t>(FileSystem::File::size(path));
  // Read-only targets may serve snapshots and files this process cannot write.
  opened->read_only = target.read_only();
  opened->fd = open(path.c_str(), (opened->read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (opened->fd < 0) {
    out[wire::kHandshakeStatus] = STATUS_EACCES;
    response.error = "New client requested target " + name + " file " + path +
                     " but we got an error opening the file: " + strerror(errno);
    return response;
  }

  out[wire::kTargetId] = static_cast<char>(target.id());
  out[wire::kLunId] = static_cast<char>(lun_id);
  out[wire::kHandshakeStatus] = STATUS_SUCCESS;
  EncodeFixed32BE(out + wire::kHandshakeSessionId, session_id);
  EncodeFixed64BE(out + wire::kHandshakeImageSize, static_cast<uint64_t>(opened->file_size));
  EncodeFixed32BE(out + wire::kHandshakeServerId, tarvelo_version_uid());
  EncodeFixed32BE(out + wire::kHandshakeFeatures, getProtocolFeatures());

  TLOG(INFO) << "New client connected to" << " target: " << name
             << " target id: " << static_cast<int>(target.id())
             << " lun: " << static_cast<int>(lun_id) << " file: " << path
             << (opened->read_only ? " (read-only)" : "")
             << " file size: " << opened->file_size << " ref count: " << lun.reference_count()
             << " session id: " << session_id << " features: " << getProtocolFeatures();
  state = std::move(opened);
  return response;
}

ServerMessageHandlerResponse ServerMessageHandler::authenticate(const Message& message,
                                                                ServerMessageHandlerResponse& response) {
  const char* bytes = message.buffer();
  // The passphrase only ever opens the connection's own target.
  if (static_cast<uint8_t>(bytes[wire::kTargetId]) != state->uid.target_id) {
    response.error = "COMMAND_AUTHENTICATE names target id " +
                     std::to_string(static_cast<uint8_t>(bytes[wire::kTargetId])) +
                     " but the connection opened target id " +
                     std::to_string(static_cast<int>(state->uid.target_id));
    return response;
  }
  uint64_t length = DecodeFixed64BE(bytes + wire::kAuthenticateLength);
  if (length > message.size() - wire::kAuthenticatePassphrase) {
    response.error = "COMMAND_AUTHENTICATE declares a passphrase of " + std::to_string(length) +
                     " bytes but carries " +
                     std::to_string(message.size() - wire::kAuthenticatePassphrase);
    return response;
  }
  config::Target& target = endpoints.target(state->uid.target_id);
  std::string password = target.password();
  response.message = Message(wire::kHeaderSize);
  char* out = response.message.buffer();
  out[wire::kCommand] = COMMAND_AUTHENTICATE;
  bool accepted = password.size() == length &&
                  crypto::constant_time_equal(password.data(), bytes + wire::kAuthenticatePassphrase, length);
  if (accepted) {
    out[wire::kAuthenticateAccepted] = 1;
    EncodeFixed32BE(out + wire::kAuthenticateSessionId, state->session_id);
    state->pending_authenticate = false;
    TLOG(INFO) << "Client authenticated to use" << " target: " << target.name()
               << " session id: " << state->session_id;
  } else {
    TLOG(INFO) << "Passphrase mismatch.";
    response.close_after_send = true;
  }
  return response;
}

ServerMessageHandlerResponse ServerMessageHandler::close_command(ServerMessageHandlerResponse& response) {
  commit_deferred_operations();
  TLOG(INFO) << "Client requested close on target id " << static_cast<int>(state->uid.target_id)
             << " lun " << static_cast<int>(state->uid.lun_id);
  response.message = new_response(COMMAND_CLOSE, wire::kHeaderSize);
  response.message.buffer()[wire::kCloseStatus] = STATUS_SUCCESS;
  response.close_after_send = true;
  cleanup();
  return response;
}

ServerMessageHandlerResponse ServerMessageHandler::write_acknowledge(ServerMessageHandlerResponse& response) {
  commit_deferred_operations();
  auto& queue = state->write_acknowledgements;
  while (queue.size() > MAX_WRITE_ACKNOWLEDGEMENTS) queue.pop_front();
  std::size_t count = queue.size();
  response.message = new_response(COMMAND_WRITE_ACKNOWLEDGE,
                                  static_cast<long>(wire::kHeaderSize + wire::kAcknowledgeRecordSize * count));
  char* out = response.message.buffer();
  EncodeFixed64BE(out + wire::kAcknowledgeCount, count);
  uint64_t failures = 0;
  char* record = out + wire::kAcknowledgeRecords;
  for (const tarvelo_write_acknowledgement_t& ack : queue) {
    EncodeBigEndian<int64_t>(record, ack.offset);
    EncodeBigEndian<int64_t>(record + 8, ack.length);
    record[16] = static_cast<char>(ack.status);
    if (ack.status != STATUS_SUCCESS) ++failures;
    record += wire::kAcknowledgeRecordSize;
  }
  queue.clear();
  EncodeFixed64BE(out + wire::kAcknowledgeFailures, failures);
  return response;
}

ServerMessageHandlerResponse ServerMessageHandler::hash_handshake(const Message& message,
                                                                  ServerMessageHandlerResponse& response) {
  if ((state->features & CLIENT_WRITE_ACKNOWLEDGEMENT) == 0) {
    response.error = "The client WRITE_ACKNOWLEDGEMENT option must accompany hash storage";
    return response;
  }
  tarvelo_protocol_message_t request = decode_message_front(message.buffer());
  // Hash storage is only ever set up for the LUN this connection opened.
  if (!(request.uid == state->uid)) {
    response.error = "COMMAND_HASH_HANDSHAKE names target id " +
                     std::to_string(static_cast<int>(request.uid.target_id)) + " lun " +
                     std::to_string(static_cast<int>(request.uid.lun_id)) +
                     " but the connection opened target id " +
                     std::to_string(static_cast<int>(state->uid.target_id)) + " lun " +
                     std::to_string(static_cast<int>(state->uid.lun_id));
    return response;
  }
  if (!block_hash_storage) {
    response.error = "COMMAND_HASH_HANDSHAKE refused: this server does not keep block hashes";
    return response;
  }
  std::string target_name = state->target_name();
  std::string image_path = state->image_path();
  // The partition offset travels in the sender's byte order, not swapped.
  int64_t partition_offset = 0;
  std::memcpy(&partition_offset, message.buffer() + wire::kHashHandshakePartitionOffset,
              sizeof(partition_offset));
  state->block_hashing = true;
  if (!setupBlockHashing(state, &request, response, target_name, image_path, partition_offset)) {
    state->block_hashing = false;
    return response;
  }
  response.message = new_response(COMMAND_HASH_HANDSHAKE, wire::kHeaderSize);
  char* out = response.message.buffer();
  ImageHashState& hashes = *state->image_hashes;
  std::lock_guard lock(hashes.mutex);
  EncodeFixed64BE(out + wire::kHashHandshakeBlockSize, hashes.store->getBlockSize());
  // No hash function installed means no id to report.
  uint32_t function_id = hashes.store->hashSize() != 0 ? hashes.store->header().hash_id : 0;
  EncodeFixed32BE(out + wire::kHashHandshakeFunctionId, function_id);
  return response;
}

}  // namespace tarvelo
