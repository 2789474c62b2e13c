#pragma once

// Drives one ServerMessageHandler with a sequence of messages taken from the
// fuzzer's input, after a valid handshake so that the fuzzer reaches the
// commands behind it.
//
// Input layout:
//   byte 0: setup. Bits 0-3 are OR'd into the client flag word; bit 4
//           opens the password-protected target (and authenticates, unless
//           bit 5 is set); bits 6-7 pick the partition offset of the hash
//           handshake (0, 4096, 512, or the next 8 input bytes).
//   then records: control byte, length (2 bytes, little-endian), bytes.
//           Unless control bit 0 is set the session id of the handshake is
//           stamped into bytes 4-7, unless bit 1 is set the uid into bytes
//           1-2, so that mutations of the other bytes get past the checks.
//           A record of length 0 is a null message.
//
// After the sequence the handler is destroyed (which commits what is
// deferred) and the checks below run.

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <vector>

#include <tarveloftp/Coding.h>
#include <tarveloftp/Endpoints.h>
#include <tarveloftp/ServerMessageHandler.h>

#include "FuzzSupport.h"
#include "VerifyHashes.h"

namespace tarvelo::fuzz {

class HandlerWorld {
 public:
  // Not a multiple of the 4096-byte block, so that the last block is partial.
  static constexpr long kImageSize = 70000;

  HandlerWorld()
      : m_image(scratch_dir() / "image.img"), m_locked_image(scratch_dir() / "locked.img") {
    silence_logs();
    m_endpoints.add_target("disk");
    m_endpoints.add_lun("disk", 0, m_image);
    m_endpoints.add_target("locked");
    m_endpoints.target("locked").password("secret");
    m_endpoints.add_lun("locked", 0, m_locked_image);
  }

  config::Endpoints& endpoints() { return m_endpoints; }
  const std::string& image() const { return m_image; }

  // Every input starts from the same files: patterned images and no hash
  // file or journal.
  void reset_files() {
    for (const std::string& path : {m_image, m_locked_image}) {
      for (const char* suffix : {".hash", ".hash.journal", ".hash.journal.temp"})
        unlink((path + suffix).c_str());
      int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0) fail("cannot create " + path);
      std::vector<char> pattern(kImageSize);
      for (long i = 0; i < kImageSize; ++i) pattern[i] = static_cast<char>(i * 7 + i / 4096);
      if (write(fd, pattern.data(), pattern.size()) != kImageSize) fail("cannot fill " + path);
      close(fd);
    }
  }

  // No connection may keep a LUN referenced once its handler is gone.
  void check_released() {
    for (const char* target : {"disk", "locked"}) {
      uint64_t references = m_endpoints.target(target).lun(0).reference_count();
      if (references != 0)
        fail(std::string("LUN 0 of ") + target + " still has " + std::to_string(references) + " references");
    }
  }

 private:
  std::string m_image;
  std::string m_locked_image;
  config::Endpoints m_endpoints;
};

inline Message handshake_message(const std::string& target, uint64_t flags) {
  Message message(static_cast<long>(wire::kHeaderSize + target.size()));
  char* bytes = message.buffer();
  bytes[wire::kCommand] = COMMAND_HANDSHAKE;
  EncodeFixed64BE(bytes + wire::kHandshakeFlags, flags);
  EncodeFixed64BE(bytes + wire::kHandshakeNameLength, target.size());
  std::memcpy(bytes + wire::kHandshakeName, target.data(), target.size());
  return message;
}

struct Session {
  tarvelo_protocol_uid_t uid;
  uint32_t session_id = 0;
};

inline void stamp(Message& message, const Session& session, bool session_id, bool uid) {
  char* bytes = message.buffer();
  if (uid && message.size() > wire::kLunId) {
    bytes[wire::kTargetId] = static_cast<char>(session.uid.target_id);
    bytes[wire::kLunId] = static_cast<char>(session.uid.lun_id);
  }
  if (session_id && message.size() >= wire::kSessionId + 4)
    EncodeFixed32BE(bytes + wire::kSessionId, session.session_id);
}

// Whatever the handler answers must be a well-formed reply to the request.
inline void check_response(const ServerMessageHandlerResponse& response, uint8_t command) {
  if (!response.send_response || response.message.null()) return;
  if (response.message.size() < wire::kHeaderSize)
    fail("response of " + std::to_string(response.message.size()) + " bytes");
  if (static_cast<uint8_t>(response.message.buffer()[wire::kCommand]) != command)
    fail("response to command " + std::to_string(command) + " echoes " +
         std::to_string(static_cast<uint8_t>(response.message.buffer()[wire::kCommand])));
}

inline int run_handler_sequence(const uint8_t* data, std::size_t size, bool block_hashing) {
  static HandlerWorld world;
  world.reset_files();
  Input input(data, size);
  uint8_t setup = input.byte();
  uint64_t flags = setup & 0x0f;
  bool locked = !block_hashing && (setup & 0x10) != 0;
  if (block_hashing) flags |= CLIENT_WRITE_ACKNOWLEDGEMENT;

  {
    ServerMessageHandler handler(world.endpoints());
    handler.setBlockHashStorage(block_hashing);
    handler.setMessageDebugLogging((setup & 0x20) != 0);
    Session session;
    ServerMessageHandlerResponse opened =
        handler.handle_message(handshake_message(locked ? "locked" : "disk", flags));
    if (!opened.error.empty() || !handler.connection_state()) fail("handshake refused: " + opened.error);
    session.uid = handler.connection_state()->uid;
    session.session_id = handler.get_session_id();

    bool open = true;
    if (locked && (setup & 0x20) == 0) {
      Message authenticate(static_cast<long>(wire::kHeaderSize + 6));
      authenticate.buffer()[wire::kCommand] = COMMAND_AUTHENTICATE;
      EncodeFixed64BE(authenticate.buffer() + wire::kAuthenticateLength, 6);
      std::memcpy(authenticate.buffer() + wire::kAuthenticatePassphrase, "secret", 6);
      stamp(authenticate, session, true, true);
      open = !handler.handle_message(authenticate).close_after_send;
    }
    if (block_hashing) {
      Message hash_handshake(static_cast<long>(wire::kHeaderSize));
      hash_handshake.buffer()[wire::kCommand] = COMMAND_HASH_HANDSHAKE;
      int64_t partition_offset = 0;
      switch (setup >> 6) {
        case 1: partition_offset = 4096; break;
        case 2: partition_offset = 512; break;
        case 3: partition_offset = static_cast<int64_t>(input.u64()); break;
        default: break;
      }
      std::memcpy(hash_handshake.buffer() + wire::kHashHandshakePartitionOffset, &partition_offset,
                  sizeof(partition_offset));
      stamp(hash_handshake, session, true, true);
      ServerMessageHandlerResponse started = handler.handle_message(hash_handshake);
      check_response(started, COMMAND_HASH_HANDSHAKE);
      open = !started.close_after_send;
    }

    while (open && !input.empty()) {
      uint8_t control = input.byte();
      std::string_view bytes = input.bytes(input.u16());
      Message message(static_cast<long>(bytes.size()));
      if (!message.null()) {
        std::memcpy(message.buffer(), bytes.data(), bytes.size());
        stamp(message, session, (control & 1) == 0, (control & 2) == 0);
      }
      uint8_t command = bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]);
      ServerMessageHandlerResponse response = handler.handle_message(message);
      check_response(response, command);
      if (response.close_after_send) open = false;
    }
  }
  world.check_released();

  if (block_hashing && access((world.image() + ".hash").c_str(), F_OK) == 0) {
    // After the connection ends every stored hash must match the image.
    std::ostringstream out, err;
    if (tools::verify_hashes(world.image(), out, err) == 1) fail("hash file disagrees with the image:\n" + out.str());
  }
  return 0;
}

}  // namespace tarvelo::fuzz
