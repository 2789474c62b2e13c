// Message throughput over loopback for each transport and message layer:
// a client streams messages to a server that answers each with a 32-byte
// acknowledgement, as a writing client of the protocol does. The data is
// half zeros, half random bytes (what LZ4 meets on a sparse image); LZ4 is
// also measured on random bytes, its worst case.
//
// Usage: TransportBench [megabytes per run, default 256]

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <tarvelo/BasicSocket.h>
#include <tarvelo/Crypto.h>
#include <tarvelo/TLSTransport.h>

using namespace tarvelo;

namespace {

struct Setup {
  const char* name;
  bool tls;
  SocketOptions::Compression compression;
  SocketOptions::Encryption encryption;
  bool random_data;
};

// A throwaway certificate for the TLS runs, made with the openssl program.
bool make_certificate(const std::string& dir) {
  std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                        dir + "/key.pem -out " + dir + "/cert.pem >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::vector<char> payload(std::size_t size, bool random_only) {
  std::vector<char> bytes(size, 0);
  std::mt19937_64 generator(42);
  std::size_t start = random_only ? 0 : size / 2;
  for (std::size_t i = start; i + 8 <= size; i += 8) {
    uint64_t value = generator();
    std::memcpy(bytes.data() + i, &value, 8);
  }
  return bytes;
}

// Seconds to send `count` messages of `size` bytes and have them all acknowledged.
double run(const Setup& setup, const std::string& dir, const SocketOptions& keys, std::size_t size, int count) {
  SocketOptions server_layers = keys;
  server_layers.compression = setup.compression;
  server_layers.encryption = setup.encryption;
  SocketOptions client_layers = server_layers;
  client_layers.secret_key.fill(0);

  std::unique_ptr<Transport> server_transport, client_transport;
  if (setup.tls) {
    server_transport = std::make_unique<TLSTransport>(TLSOptions{dir + "/cert.pem", dir + "/key.pem", "", true});
    client_transport = std::make_unique<TLSTransport>(TLSOptions{"", "", dir + "/cert.pem", true});
  } else {
    server_transport = std::make_unique<TCPTransport>();
    client_transport = std::make_unique<TCPTransport>();
  }
  BasicSocket listener(std::move(server_transport), server_layers);
  uint16_t port = 0;
  for (uint16_t candidate = 42000; candidate < 42100 && port == 0; ++candidate)
    if (listener.listen(candidate, "127.0.0.1").ok()) port = candidate;
  if (port == 0) return -1;

  std::unique_ptr<SocketImpl> connection;
  SocketImpl::ReceiveHandler on_message = [&](SocketImpl& socket, Message, Transport::StatusCode status) {
    if (!status.ok()) return;
    // Messages already read ahead are acknowledged together, as the server
    // answers requests sent together.
    std::vector<Message> acknowledgements{Message(32)};
    for (Message next; socket.take_ready(next); next = Message()) acknowledgements.emplace_back(32);
    socket.async_send_all(acknowledgements, [](SocketImpl&, Transport::StatusCode) {});
    socket.async_receive(on_message);
  };
  listener.async_accept([&](SocketImpl&, std::unique_ptr<SocketImpl> socket, Transport::StatusCode status) {
    if (!status.ok()) return;
    connection = std::move(socket);
    connection->async_receive(on_message);
  });
  std::thread server([&] { listener.run(); });

  BasicSocket client(std::move(client_transport), client_layers);
  Transport::StatusCode status = client.connect("127.0.0.1", port);
  double seconds = -1;
  if (status.ok()) {
    std::vector<char> bytes = payload(size, setup.random_data);
    Message message(static_cast<long>(size));
    std::memcpy(message.buffer(), bytes.data(), size);
    auto start = std::chrono::steady_clock::now();
    // The server queues its acknowledgements while we send (one thread per
    // TLS connection: its reads and writes may not run at once).
    for (int i = 0; i < count && status.ok(); ++i) status = client.send(message);
    int acknowledged = 0;
    Transport::StatusCode received;
    while (status.ok() && acknowledged < count && !client.receive(&received).null()) ++acknowledged;
    if (status.ok() && acknowledged == count)
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  } else {
    std::fprintf(stderr, "%s: %s\n", setup.name, status.text.c_str());
  }
  client.close();
  listener.close();
  listener.stop();
  server.join();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  long megabytes = argc > 1 ? std::atol(argv[1]) : 256;
  if (megabytes <= 0) {
    std::fprintf(stderr, "usage: TransportBench [megabytes per run]\n");
    return 2;
  }
  std::string dir = (std::filesystem::temp_directory_path() / "transport-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr || !make_certificate(dir)) {
    std::fprintf(stderr, "cannot make a test certificate (is openssl installed?)\n");
    return 1;
  }
  SocketOptions keys;
  unsigned char public_key[32], secret_key[32];
  crypto::XSalsa20::key_pair(public_key, secret_key);
  std::memcpy(keys.public_key.data(), public_key, 32);
  std::memcpy(keys.secret_key.data(), secret_key, 32);

  using C = SocketOptions::Compression;
  using E = SocketOptions::Encryption;
  const Setup setups[] = {
      {"tcp", false, C::NONE, E::NONE, false},
      {"tls", true, C::NONE, E::NONE, false},
      {"tcp+lz4", false, C::LZ4, E::NONE, false},
      {"tcp+lz4 (random data)", false, C::LZ4, E::NONE, true},
      {"tcp+xsalsa20", false, C::NONE, E::XSALSA20, false},
      {"tcp+xsalsa20+lz4", false, C::LZ4, E::XSALSA20, false},
      {"tls+lz4", true, C::LZ4, E::NONE, false},
  };
  std::printf("%-24s %12s %12s\n", "layers", "64 KiB msgs", "1 MiB msgs");
  for (const Setup& setup : setups) {
    std::printf("%-24s", setup.name);
    for (std::size_t size : {std::size_t{64} << 10, std::size_t{1} << 20}) {
      int count = static_cast<int>((megabytes << 20) / static_cast<long>(size));
      // Best of three: the machine is shared.
      double best = -1;
      for (int round = 0; round < 3; ++round) {
        double seconds = run(setup, dir, keys, size, count);
        if (seconds > 0 && (best < 0 || seconds < best)) best = seconds;
      }
      if (best < 0)
        std::printf(" %12s", "failed");
      else
        std::printf(" %8.0f MiB/s", static_cast<double>(megabytes) / best);
      std::fflush(stdout);
    }
    std::printf("\n");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
