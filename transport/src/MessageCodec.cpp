#include "MessageCodec.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include <lz4.h>
#include <sodium.h>

#include <tarvelo/Coding.h>

namespace tarvelo::detail {
namespace {

using StatusCode = Transport::StatusCode;

static_assert(crypto_secretbox_MACBYTES == kTagSize);
static_assert(crypto_box_BEFORENMBYTES == crypto_secretbox_KEYBYTES);
static_assert(crypto_box_PUBLICKEYBYTES == 32 && crypto_box_SECRETKEYBYTES == 32);
static_assert(crypto_secretbox_NONCEBYTES == 24);
static_assert(kMaxMessageSize + kLayersOverhead < std::numeric_limits<int>::max(),
              "LZ4 sizes are int");

inline constexpr std::size_t kSealedKeySize = kTagSize + crypto_box_PUBLICKEYBYTES;
// The server's answer: a random nonce, then its sealed fresh public key.
// Random because a replayed client hello gives the same sealing key again.
inline constexpr std::size_t kAnswerKeySize = crypto_secretbox_NONCEBYTES + kSealedKeySize;

// Nonces are the direction (0 towards the server, 1 towards the client) in
// byte 0 and a per-direction message counter in bytes 16 to 23. Every
// connection has its own key, so no nonce is ever used twice with one key.
inline constexpr unsigned char kTowardsServer = 0;
inline constexpr unsigned char kTowardsClient = 1;

void make_nonce(unsigned char (&nonce)[crypto_secretbox_NONCEBYTES], unsigned char direction,
                uint64_t counter) {
  std::memset(nonce, 0, sizeof(nonce));
  nonce[0] = direction;
  EncodeFixed64BE(reinterpret_cast<char*>(nonce) + 16, counter);
}

StatusCode layer_failure(std::string text) { return {std::move(text), Transport::kError}; }

void ensure_sodium() {
  static const bool initialised = [] {
    if (sodium_init() < 0) std::abort();  // no safe randomness: nothing can continue
    return true;
  }();
  (void)initialised;
}

// A held secret that is wiped when it goes out of scope.
struct Secret {
  unsigned char bytes[32];
  ~Secret() { sodium_memzero(bytes, sizeof(bytes)); }
};

}  // namespace

MessageCodec::MessageCodec(const SocketOptions& options, Role role)
    : m_options(options), m_role(role) {
  ensure_sodium();
}

MessageCodec::~MessageCodec() {
  sodium_memzero(m_ephemeral_secret, sizeof(m_ephemeral_secret));
  sodium_memzero(m_session_key, sizeof(m_session_key));
  sodium_memzero(m_options.secret_key.data(), m_options.secret_key.size());
}

std::string MessageCodec::settings(unsigned char compression, unsigned char encryption) const {
  auto compression_name = [](unsigned char value) -> std::string {
    switch (value) {
      case static_cast<unsigned char>(SocketOptions::Compression::NONE): return "none";
      case static_cast<unsigned char>(SocketOptions::Compression::LZ4): return "lz4";
    }
    return "unknown (" + std::to_string(value) + ")";
  };
  auto encryption_name = [](unsigned char value) -> std::string {
    switch (value) {
      case static_cast<unsigned char>(SocketOptions::Encryption::NONE): return "none";
      case static_cast<unsigned char>(SocketOptions::Encryption::XSALSA20): return "xsalsa20";
    }
    return "unknown (" + std::to_string(value) + ")";
  };
  return "compression " + compression_name(compression) + " and encryption " +
         encryption_name(encryption);
}

Message MessageCodec::client_hello() {
  Message hello(static_cast<long>(kHelloSize + (encrypted() ? crypto_box_PUBLICKEYBYTES : 0)));
  char* bytes = hello.buffer();
  std::memcpy(bytes + kHelloMagicOffset, kClientHelloMagic, sizeof(kClientHelloMagic));
  bytes[kHelloVersionOffset] = static_cast<char>(kLayersVersion);
  bytes[kHelloCompressionOffset] = static_cast<char>(m_options.compression);
  bytes[kHelloEncryptionOffset] = static_cast<char>(m_options.encryption);
  bytes[kHelloVerdictOffset] = 0;
  if (encrypted()) {
    crypto_box_keypair(m_ephemeral_public, m_ephemeral_secret);
    std::memcpy(bytes + kHelloKeyOffset, m_ephemeral_public, sizeof(m_ephemeral_public));
  }
  return hello;
}

StatusCode MessageCodec::finish_client_hello(const Message& answer) {
  const unsigned char mine_compression = static_cast<unsigned char>(m_options.compression);
  const unsigned char mine_encryption = static_cast<unsigned char>(m_options.encryption);
  const auto* bytes = reinterpret_cast<const unsigned char*>(answer.buffer());
  if (answer.size() < kHelloSize ||
      std::memcmp(bytes + kHelloMagicOffset, kServerHelloMagic, sizeof(kServerHelloMagic)) != 0)
    return layer_failure("the server did not answer the connection hello; is it set up for " +
                         settings(mine_compression, mine_encryption) + " as this client is?");
  if (bytes[kHelloVersionOffset] != kLayersVersion)
    return layer_failure("the server speaks message-layer version " +
                         std::to_string(bytes[kHelloVersionOffset]) + ", this client version " +
                         std::to_string(kLayersVersion));
  if (bytes[kHelloVerdictOffset] != kHelloAccepted ||
      bytes[kHelloCompressionOffset] != mine_compression ||
      bytes[kHelloEncryptionOffset] != mine_encryption)
    return layer_failure("settings differ: the server uses " +
                         settings(bytes[kHelloCompressionOffset], bytes[kHelloEncryptionOffset]) +
                         ", this client " + settings(mine_compression, mine_encryption));
  if (encrypted()) {
    if (answer.size() != kHelloKeyOffset + kAnswerKeySize)
      return layer_failure("the server's hello has " + std::to_string(answer.size()) +
                           " bytes instead of " + std::to_string(kHelloKeyOffset + kAnswerKeySize));
    Secret static_key;
    if (crypto_box_beforenm(static_key.bytes, m_options.public_key.data(), m_ephemeral_secret) != 0)
      return layer_failure("the configured server public key is not a usable key");
    const unsigned char* nonce = bytes + kHelloKeyOffset;
    unsigned char server_ephemeral[crypto_box_PUBLICKEYBYTES];
    if (crypto_secretbox_open_easy(server_ephemeral, nonce + crypto_secretbox_NONCEBYTES,
                                   kSealedKeySize, nonce, static_key.bytes) != 0)
      return layer_failure(
          "the server's hello does not authenticate: the server's key pair does not match the "
          "server public key this client was given");
    int agreed = crypto_box_beforenm(m_session_key, server_ephemeral, m_ephemeral_secret);
    sodium_memzero(m_ephemeral_secret, sizeof(m_ephemeral_secret));
    if (agreed != 0) return layer_failure("the server sent an unusable session key");
  }
  return {"Connection hello done", 0};
}

StatusCode MessageCodec::answer_hello(const Message& hello, Message& answer) {
  const unsigned char mine_compression = static_cast<unsigned char>(m_options.compression);
  const unsigned char mine_encryption = static_cast<unsigned char>(m_options.encryption);
  const auto* bytes = reinterpret_cast<const unsigned char*>(hello.buffer());
  answer = Message();
  // A peer without layers is not answered: whatever we sent, it would read
  // as a protocol message.
  if (hello.size() < kHelloSize ||
      std::memcmp(bytes + kHelloMagicOffset, kClientHelloMagic, sizeof(kClientHelloMagic)) != 0)
    return layer_failure("the client did not start with the connection hello; is it set up for " +
                         settings(mine_compression, mine_encryption) + " as this server is?");

  bool matches = bytes[kHelloVersionOffset] == kLayersVersion &&
                 bytes[kHelloCompressionOffset] == mine_compression &&
                 bytes[kHelloEncryptionOffset] == mine_encryption;
  char header[kHelloSize];
  std::memcpy(header + kHelloMagicOffset, kServerHelloMagic, sizeof(kServerHelloMagic));
  header[kHelloVersionOffset] = static_cast<char>(kLayersVersion);
  header[kHelloCompressionOffset] = static_cast<char>(mine_compression);
  header[kHelloEncryptionOffset] = static_cast<char>(mine_encryption);
  header[kHelloVerdictOffset] = static_cast<char>(matches ? kHelloAccepted : kHelloRefused);
  if (!matches) {
    // The refusal names our settings so that the client can say what differs.
    answer = Message(static_cast<long>(kHelloSize));
    std::memcpy(answer.buffer(), header, kHelloSize);
    if (bytes[kHelloVersionOffset] != kLayersVersion)
      return layer_failure("the client speaks message-layer version " +
                           std::to_string(bytes[kHelloVersionOffset]) + ", this server version " +
                           std::to_string(kLayersVersion));
    return layer_failure("settings differ: the client uses " +
                         settings(bytes[kHelloCompressionOffset], bytes[kHelloEncryptionOffset]) +
                         ", this server " + settings(mine_compression, mine_encryption));
  }
  if (!encrypted()) {
    answer = Message(static_cast<long>(kHelloSize));
    std::memcpy(answer.buffer(), header, kHelloSize);
    return {"Connection hello done", 0};
  }

  if (hello.size() != kHelloKeyOffset + crypto_box_PUBLICKEYBYTES)
    return layer_failure("the client's hello has " + std::to_string(hello.size()) +
                         " bytes instead of " +
                         std::to_string(kHelloKeyOffset + crypto_box_PUBLICKEYBYTES));
  const unsigned char* client_ephemeral = bytes + kHelloKeyOffset;
  Secret static_key;
  if (crypto_box_beforenm(static_key.bytes, client_ephemeral, m_options.secret_key.data()) != 0)
    return layer_failure("the client sent an unusable public key");
  // The server's fresh pair makes every session key new even when a
  // recorded client hello is replayed.
  unsigned char server_public[crypto_box_PUBLICKEYBYTES];
  Secret server_secret;
  crypto_box_keypair(server_public, server_secret.bytes);
  if (crypto_box_beforenm(m_session_key, client_ephemeral, server_secret.bytes) != 0)
    return layer_failure("the client sent an unusable public key");
  answer = Message(static_cast<long>(kHelloKeyOffset + kAnswerKeySize));
  std::memcpy(answer.buffer(), header, kHelloSize);
  auto* nonce = reinterpret_cast<unsigned char*>(answer.buffer()) + kHelloKeyOffset;
  randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
  crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES, server_public, sizeof(server_public),
                        nonce, static_key.bytes);
  return {"Connection hello done", 0};
}

StatusCode MessageCodec::encode(const Message& message, Message& frame, std::size_t& length) {
  const std::size_t size = message.size();
  const std::size_t tag = encrypted() ? kTagSize : 0;
  frame = Message(static_cast<long>(tag + kFlagsSize + size));
  char* payload = frame.buffer() + tag;
  std::size_t payload_size = kFlagsSize + size;
  payload[0] = 0;
  if (compressed() && size >= kMinCompressedSize) {
    // Room for a block that saves at least one byte over sending as is.
    int capacity = static_cast<int>(size - kOriginalSizeSize - 1);
    int packed = LZ4_compress_default(message.buffer(), payload + kFlagsSize + kOriginalSizeSize,
                                      static_cast<int>(size), capacity);
    if (packed > 0) {
      payload[0] = static_cast<char>(kFlagCompressed);
      EncodeFixed64BE(payload + kFlagsSize, size);
      payload_size = kFlagsSize + kOriginalSizeSize + static_cast<std::size_t>(packed);
    }
  }
  if (payload[0] == 0 && size > 0) std::memcpy(payload + kFlagsSize, message.buffer(), size);
  length = tag + payload_size;
  if (!encrypted()) return {"Encoded", 0};

  std::lock_guard lock(m_send_mutex);
  if (m_send_counter == std::numeric_limits<uint64_t>::max())
    return layer_failure("Send: message counter exhausted; reconnect");
  unsigned char nonce[crypto_secretbox_NONCEBYTES];
  make_nonce(nonce, m_role == Role::kClient ? kTowardsServer : kTowardsClient, m_send_counter++);
  auto* sealed = reinterpret_cast<unsigned char*>(frame.buffer());
  crypto_secretbox_easy(sealed, sealed + kTagSize, payload_size, nonce, m_session_key);
  return {"Encoded", 0};
}

StatusCode MessageCodec::decode(Message& frame, Message& message) {
  std::size_t size = frame.size();
  char* payload = frame.buffer();
  if (encrypted()) {
    if (size < kTagSize + kFlagsSize)
      return layer_failure("Receive: encrypted frame of " + std::to_string(size) +
                           " bytes is too short");
    if (m_receive_counter == std::numeric_limits<uint64_t>::max())
      return layer_failure("Receive: message counter exhausted; reconnect");
    unsigned char nonce[crypto_secretbox_NONCEBYTES];
    make_nonce(nonce, m_role == Role::kClient ? kTowardsClient : kTowardsServer,
               m_receive_counter);
    auto* sealed = reinterpret_cast<unsigned char*>(frame.buffer());
    if (crypto_secretbox_open_easy(sealed + kTagSize, sealed, size, nonce, m_session_key) != 0)
      return layer_failure(
          "Receive: message failed authentication (forged, replayed, reordered or damaged); "
          "closing the connection");
    ++m_receive_counter;
    payload += kTagSize;
    size -= kTagSize;
  }
  if (size < kFlagsSize) return layer_failure("Receive: empty frame");
  const auto flags = static_cast<unsigned char>(payload[0]);
  if ((flags & ~kFlagCompressed) != 0)
    return layer_failure("Receive: unknown message flags " + std::to_string(flags));
  if ((flags & kFlagCompressed) == 0) {
    if (size - kFlagsSize > kMaxMessageSize)
      return {"Receive: message of " + std::to_string(size - kFlagsSize) +
                  " bytes exceeds the maximum of " + std::to_string(kMaxMessageSize),
              Transport::kFrameTooLarge};
    message = Message::uninitialized(static_cast<long>(size - kFlagsSize));
    if (size > kFlagsSize) std::memcpy(message.buffer(), payload + kFlagsSize, size - kFlagsSize);
    return {"Decoded", 0};
  }

  if (!compressed())
    return layer_failure("Receive: compressed message on a connection without compression");
  if (size < kFlagsSize + kOriginalSizeSize)
    return layer_failure("Receive: compressed frame of " + std::to_string(size) +
                         " bytes is too short");
  // Bounded before anything is allocated for it.
  uint64_t original = DecodeFixed64BE(payload + kFlagsSize);
  if (original > kMaxMessageSize)
    return {"Receive: compressed message claims " + std::to_string(original) +
                " bytes, above the maximum of " + std::to_string(kMaxMessageSize),
            Transport::kFrameTooLarge};
  if (original == 0) return layer_failure("Receive: compressed message claims 0 bytes");
  message = Message::uninitialized(static_cast<long>(original));  // kept only when filled
  const std::size_t packed = size - kFlagsSize - kOriginalSizeSize;
  int unpacked = LZ4_decompress_safe(payload + kFlagsSize + kOriginalSizeSize, message.buffer(),
                                     static_cast<int>(packed), static_cast<int>(original));
  if (unpacked < 0 || static_cast<uint64_t>(unpacked) != original) {
    message = Message();
    return layer_failure("Receive: compressed message is corrupt");
  }
  return {"Decoded", 0};
}

}  // namespace tarvelo::detail
