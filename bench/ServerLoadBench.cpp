// Drives READs of 4 KiB and 1 MiB from many connections against one server
// on loopback and prints requests per second and MB/s.
//
//   ServerLoadBench [CONNECTIONS] [SECONDS]

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <tarvelo/BasicSocket.h>
#include <tarveloftp/Coding.h>
#include <tarveloftp/Logger.h>
#include <tarveloftp/Protocol.h>
#include <tarveloftp/TarveloFTPServer.h>

using namespace tarvelo;

namespace {

constexpr int64_t kImageSize = 256ll << 20;

Message read_request(tarvelo_protocol_uid_t uid, int64_t offset, int64_t length) {
  Message message(32);
  tarvelo_protocol_message_t front;
  front.command = COMMAND_READ;
  front.uid = uid;
  front.fields[0] = static_cast<uint64_t>(offset);
  front.fields[1] = static_cast<uint64_t>(length);
  encode_message_front(message.buffer(), front);
  return message;
}

// One connection reading `length`-byte blocks at random aligned offsets
// until `stop`; counts completed requests.
void reader(uint16_t port, int64_t length, uint32_t seed, const std::atomic<bool>& stop,
            std::atomic<uint64_t>& requests, std::atomic<uint64_t>& failures) {
  BasicSocket socket(std::make_unique<TCPTransport>());
  if (!socket.connect("127.0.0.1", port).ok()) {
    failures++;
    return;
  }
  Message handshake(32 + 5);
  handshake.buffer()[0] = COMMAND_HANDSHAKE;
  EncodeFixed64BE(handshake.buffer() + wire::kHandshakeNameLength, 5);
  std::memcpy(handshake.buffer() + wire::kHandshakeName, "bench", 5);
  Transport::StatusCode status;
  socket.send(handshake);
  Message answer = socket.receive(&status);
  if (!status.ok() || answer.size() < 32 || answer.buffer()[wire::kHandshakeStatus] != STATUS_SUCCESS) {
    failures++;
    return;
  }
  tarvelo_protocol_uid_t uid{static_cast<uint8_t>(answer.buffer()[1]), static_cast<uint8_t>(answer.buffer()[2])};
  std::mt19937 random(seed);
  const int64_t slots = kImageSize / length;
  while (!stop) {
    Message request = read_request(uid, static_cast<int64_t>(random() % slots) * length, length);
    if (!socket.send(request).ok()) break;
    Message data = socket.receive(&status);
    if (!status.ok() || data.size() != static_cast<std::size_t>(32 + length) ||
        data.buffer()[wire::kReadStatus] != STATUS_SUCCESS) {
      failures++;
      break;
    }
    requests++;
  }
}

void run(uint16_t port, int connections, int64_t length, int seconds) {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> requests{0}, failures{0};
  std::vector<std::thread> threads;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < connections; ++i)
    threads.emplace_back(reader, port, length, static_cast<uint32_t>(i + 1), std::cref(stop), std::ref(requests),
                         std::ref(failures));
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (auto& thread : threads) thread.join();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double per_second = static_cast<double>(requests) / elapsed;
  std::printf("READ %8lld bytes x %3d connections: %10.0f requests/s %9.1f MB/s  (failures: %llu)\n",
              static_cast<long long>(length), connections, per_second, per_second * static_cast<double>(length) / 1e6,
              static_cast<unsigned long long>(failures.load()));
}

}  // namespace

int main(int argc, char** argv) {
  // As tarveloftp and tarveloftpd do: 1 MiB replies on eight threads otherwise
  // go back to the system and fault in again, which cut their rate fivefold.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  int connections = argc > 1 ? std::atoi(argv[1]) : 8;
  int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
  std::filesystem::path image = std::filesystem::temp_directory_path() / "tarveloftp-load-bench.img";
  {
    std::ofstream file(image, std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(1 << 20);
    std::mt19937 random(1);
    for (auto& byte : chunk) byte = static_cast<char>(random());
    for (int64_t written = 0; written < kImageSize; written += chunk.size()) file.write(chunk.data(), chunk.size());
  }
  std::ostringstream quiet;  // the server logs every connection
  Logger::stdout_log = &quiet;
  Logger::stderr_log = &quiet;
  config::Endpoints endpoints;
  endpoints.add_target("bench");
  endpoints.add_lun("bench", 0, image.string());
  uint16_t port = static_cast<uint16_t>(20000 + getpid() % 20000);
  TarveloFTPServer server(std::make_unique<BasicSocket>(std::make_unique<TCPTransport>()), "127.0.0.1", port,
                          std::move(endpoints));
  std::thread serving([&] { server.run(); });
  for (int i = 0; i < 500 && !server.is_running(); ++i) usleep(2000);
  if (!server.is_running()) {
    std::fprintf(stderr, "ServerLoadBench: server did not start on port %u\n", port);
    server.close();
    serving.join();
    return 1;
  }
  std::printf("server on 127.0.0.1:%u, image %lld MiB (page cache), %d s per run\n", port,
              static_cast<long long>(kImageSize >> 20), seconds);
  for (int64_t length : {int64_t{4096}, int64_t{1} << 20}) {
    run(port, 1, length, seconds);
    run(port, connections, length, seconds);
  }
  server.close();
  serving.join();
  std::filesystem::remove(image);
  return 0;
}
