#pragma once

// The message layers of a BasicSocket connection: the hello exchange that
// compares settings and agrees keys, and the encoding of each message.
// Internal to the transport library.

#include <cstddef>
#include <cstdint>
#include <mutex>

#include <tarvelo/BasicSocket.h>
#include <tarvelo/Message.h>
#include <tarvelo/Transport.h>

namespace tarvelo::detail {

// Layouts, after the frame's 8-byte length.
//
// Hello, the first frame each way when a layer is on:
// Each direction has its own magic, so that a peer echoing our hello back
// is not taken for a server that agreed.
inline constexpr unsigned char kClientHelloMagic[4] = {'T', 'V', 'L', 'C'};
inline constexpr unsigned char kServerHelloMagic[4] = {'T', 'V', 'L', 'S'};
inline constexpr std::size_t kHelloMagicOffset = 0;        // 4 bytes: the sender's magic
inline constexpr std::size_t kHelloVersionOffset = 4;      // 1 byte: kLayersVersion
inline constexpr std::size_t kHelloCompressionOffset = 5;  // 1 byte: sender's SocketOptions::Compression
inline constexpr std::size_t kHelloEncryptionOffset = 6;   // 1 byte: sender's SocketOptions::Encryption
inline constexpr std::size_t kHelloVerdictOffset = 7;      // 1 byte: server's kHelloAccepted or kHelloRefused; 0 from a client
inline constexpr std::size_t kHelloSize = 8;
// XSalsa20 only: the client's fresh public key (32 bytes); in the server's
// answer, a random 24-byte nonce and the server's fresh public key sealed
// with crypto_secretbox under the crypto_box_beforenm key of the client's
// fresh pair and the server's configured pair (16 + 32). Messages then use
// the key of the two fresh pairs.
inline constexpr std::size_t kHelloKeyOffset = 8;
inline constexpr unsigned char kLayersVersion = 1;
inline constexpr unsigned char kHelloAccepted = 0;
inline constexpr unsigned char kHelloRefused = 1;

// Message frame: a 16-byte Poly1305 tag when encrypted, then (encrypted or
// not) one flags byte, then, when compressed, the 8-byte big-endian size of
// the message and its LZ4 block; otherwise the message itself.
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kFlagsSize = 1;
inline constexpr unsigned char kFlagCompressed = 0x01;
inline constexpr std::size_t kOriginalSizeSize = 8;
inline constexpr std::size_t kLayersOverhead = kTagSize + kFlagsSize + kOriginalSizeSize;
// Messages smaller than this are not worth compressing.
inline constexpr std::size_t kMinCompressedSize = 64;

class MessageCodec {
 public:
  enum class Role { kClient, kServer };

  MessageCodec(const SocketOptions& options, Role role);
  ~MessageCodec();
  MessageCodec(const MessageCodec&) = delete;
  MessageCodec& operator=(const MessageCodec&) = delete;

  Role role() const { return m_role; }

  // Largest frame a peer may send with these layers.
  static constexpr std::size_t max_frame_size() { return kMaxMessageSize + kLayersOverhead; }

  // Client: the hello to send, then the server's answer to it.
  Message client_hello();
  [[nodiscard]] Transport::StatusCode finish_client_hello(const Message& answer);
  // Server: the answer to a client's hello. A failure means the connection
  // ends, after `answer` is sent when it is not null.
  [[nodiscard]] Transport::StatusCode answer_hello(const Message& hello, Message& answer);

  // One message into the first `length` bytes of `frame`. Frames must go
  // out in the order they were encoded. Safe from any thread.
  [[nodiscard]] Transport::StatusCode encode(const Message& message, Message& frame,
                                             std::size_t& length);
  // One received frame back into its message; a failure ends the
  // connection. One receive at a time.
  [[nodiscard]] Transport::StatusCode decode(Message& frame, Message& message);

 private:
  std::string settings(unsigned char compression, unsigned char encryption) const;
  bool encrypted() const { return m_options.encryption == SocketOptions::Encryption::XSALSA20; }
  bool compressed() const { return m_options.compression == SocketOptions::Compression::LZ4; }

  SocketOptions m_options;
  Role m_role;
  unsigned char m_ephemeral_public[32] = {};
  unsigned char m_ephemeral_secret[32] = {};
  unsigned char m_session_key[32] = {};
  std::mutex m_send_mutex;  // guards m_send_counter and the order of encryption
  uint64_t m_send_counter = 0;
  uint64_t m_receive_counter = 0;
};

}  // namespace tarvelo::detail
