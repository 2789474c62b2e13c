// TarveloFTPClient's decoding of server responses: a client over a scripted
// socket that answers every request with bytes from the fuzzer's input, then
// a sequence of client operations chosen by the input.
//
// Input layout, consumed in the order the client asks for it:
//   byte 0: setup. Bits 0-3 are the client flag word; bit 4 gives the
//           client a passphrase.
//   each reply the client receives: control byte, length (2 bytes, little-
//           endian), bytes. Control bit 0 stamps the command of the last
//           request into byte 0 (so that replies get past the echo check),
//           bit 6 multiplies the length by 64 (zero-filled past the input),
//           bit 7 makes the receive fail instead.
//   each operation after open(): one byte choosing it, then its arguments.

#include <cstring>
#include <vector>

#include <tarveloftp/TarveloFTPClient.h>

#include "FuzzSupport.h"

namespace {

using namespace tarvelo;

class ScriptedSocket : public SocketImpl {
 public:
  explicit ScriptedSocket(fuzz::Input& input) : m_input(input) {}

  Transport::StatusCode connect(std::string, uint16_t) override { return {"Connected", 0}; }
  Transport::StatusCode listen(uint16_t, std::string) override { return {"not a listener", Transport::kError}; }
  void async_accept(AcceptHandler handler) override {
    handler(*this, nullptr, {"not a listener", Transport::kError});
  }
  Message receive(Transport::StatusCode* status) override {
    if (m_closed || m_input.empty()) {
      *status = {"Receive: connection closed", Transport::kClosed};
      return Message();
    }
    uint8_t control = m_input.byte();
    std::size_t length = m_input.u16();
    if (control & 0x80) {
      *status = {"Receive: failed", (control & 1) ? Transport::kClosed : Transport::kError};
      return Message();
    }
    if (control & 0x40) length *= 64;
    Message reply(static_cast<long>(length));
    if (!reply.null()) {
      std::string_view bytes = m_input.bytes(length);
      std::memcpy(reply.buffer(), bytes.data(), bytes.size());
      if (control & 1) reply.buffer()[0] = static_cast<char>(m_last_command);
    }
    *status = {"Received", 0};
    return reply;
  }
  void async_receive(ReceiveHandler handler) override {
    Transport::StatusCode status;
    Message message = receive(&status);
    handler(*this, message, status);
  }
  Transport::StatusCode send(Message& message) override {
    if (m_closed) return {"Send: connection closed", Transport::kClosed};
    if (message.null() || message.size() > kMaxMessageSize) fuzz::fail("client sent an invalid message");
    m_last_command = static_cast<uint8_t>(message.buffer()[0]);
    return {"Sent", 0};
  }
  void async_send(Message& message, SendHandler handler) override { handler(*this, send(message)); }
  void async_reply(Message& message, SendHandler handler) override { handler(*this, send(message)); }
  Transport::StatusCode close() override {
    m_closed = true;
    return {"Closed", 0};
  }
  Transport::StatusCode run() override { return {"", 0}; }
  void stop() override {}
  bool is_receiving() override { return false; }
  bool is_sending() override { return false; }

 private:
  fuzz::Input& m_input;
  uint8_t m_last_command = 0;
  bool m_closed = false;
};

// A length for an operation: small mostly, up to a few MiB.
long length_argument(fuzz::Input& input) {
  uint8_t scale = input.byte();
  long length = input.u16();
  return (scale & 1) ? length * 64 : length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  uint8_t setup = input.byte();
  TarveloFTPClient client(std::make_unique<ScriptedSocket>(input), "127.0.0.1", 3263, "disk", 0, setup & 0x0f,
                          (setup & 0x10) ? "secret" : "", 0);
  if (client.open().code < 0) return 0;

  Transport::StatusCode status;
  while (!input.empty() && !client.is_closed()) {
    switch (input.byte() % 10) {
      case 0: {
        long count = length_argument(input);
        std::vector<char> buffer(static_cast<std::size_t>(count) + 1);
        long got = client.read(buffer.data(), count, &status);
        if (got > count) fuzz::fail("read returned more than asked");
        break;
      }
      case 1: {
        std::vector<char> bytes(static_cast<std::size_t>(input.u16()) + 1, 'x');
        bool sent = false;
        (void)client.write(bytes.data(), static_cast<long>(bytes.size() - 1), &sent, &status);
        break;
      }
      case 2:
        (void)client.hole_punch(length_argument(input));
        break;
      case 3: {
        std::vector<char> bytes(static_cast<std::size_t>(input.u16()) + 1, 0);
        (void)client.compare(bytes.data(), static_cast<long>(bytes.size() - 1), &status);
        break;
      }
      case 4: {
        bool has_failures = false;
        std::vector<tarvelo_write_acknowledgement_t> records = client.write_acknowledgement(has_failures, &status);
        if (records.size() > wire::kMaxAcknowledgeRecords) fuzz::fail("more acknowledgements than a reply holds");
        break;
      }
      case 5: {
        std::vector<unsigned char> hash = client.get_block_hash_remote(length_argument(input), &status);
        if (!hash.empty() && client.hash_size() != 0 && hash.size() != client.hash_size())
          fuzz::fail("remote hash of " + std::to_string(hash.size()) + " bytes");
        break;
      }
      case 6: {
        std::vector<TarveloFTPClient::HashRange> ranges(input.byte() % 8);
        for (auto& range : ranges) {
          range.offset = input.u16() * 512l;
          range.length = input.u16();
        }
        std::vector<unsigned char> hashes = client.get_block_hashes_remote(ranges, &status);
        if (!hashes.empty() && hashes.size() != ranges.size() * client.hash_size())
          fuzz::fail("batch of " + std::to_string(ranges.size()) + " hashes has " + std::to_string(hashes.size()) +
                     " bytes");
        break;
      }
      case 7: {
        long offset = static_cast<long>(input.u64());
        (void)client.seek(offset, static_cast<tarvelo_seek_dir_t>(input.byte() % 3));
        break;
      }
      case 8: {
        std::vector<char> bytes(static_cast<std::size_t>(input.u16()) + 1, 1);
        (void)client.get_block_hash_local(bytes.data(), static_cast<long>(bytes.size() - 1), &status);
        break;
      }
      default:
        (void)client.close();
        break;
    }
  }
  return 0;
}
