// Soak: many clients at once against a tarveloftpd --block-hash-storage on
// loopback, each doing mixed writes, hole punches, reads, remote hashes and
// acknowledgements on its own part of one image, with reconnects now and
// then. Every answer is checked against the client's model of its part.
// At the end the server is stopped, the offline checker must find the hash
// file clean, and the image must hold every acknowledged write. Prints
// requests per second, errors (must be 0) and the server's peak memory.
//
//   SoakBench [CLIENTS] [SECONDS] [THREADS]
//
// Defaults: 16 clients, 180 s, and the server's own default for its
// worker threads (--threads).
//
// Not part of the test suite: it runs for minutes.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <tarvelo/BasicSocket.h>
#include <tarveloftp/TarveloFTPClient.h>

// The offline checker is a function of the tools; it is compiled in here.
#include "../tools/VerifyHashes.cpp"

extern char** environ;

namespace {

using namespace tarvelo;
using Clock = std::chrono::steady_clock;

constexpr long kImageSize = 256L << 20;
constexpr long kMaxWrite = 256 * 1024;
constexpr uint64_t kFlags = CLIENT_WRITE_ACKNOWLEDGEMENT | CLIENT_HANDSHAKE_SESSION_ID;

struct Totals {
  std::atomic<long> requests{0};
  std::atomic<long> errors{0};
  std::atomic<long> writes{0};
  std::atomic<long> acknowledged{0};
  std::atomic<long> bytes{0};
  std::mutex mutex;
  std::vector<std::string> first_errors;

  void error(const std::string& what) {
    ++errors;
    std::lock_guard lock(mutex);
    if (first_errors.size() < 10) first_errors.push_back(what);
  }
};

// A client port whose administration port (the next one) is free too.
uint16_t free_port() {
  std::mt19937 random(std::random_device{}());
  for (;;) {
    auto port = static_cast<uint16_t>(20000 + random() % 30000);
    BasicSocket client_probe(std::make_unique<TCPTransport>());
    BasicSocket admin_probe(std::make_unique<TCPTransport>());
    if (client_probe.listen(port, "127.0.0.1").ok() && admin_probe.listen(port + 1, "127.0.0.1").ok()) return port;
  }
}

long status_kib(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

std::unique_ptr<TarveloFTPClient> connect_client(uint16_t port, Totals& totals) {
  auto client = std::make_unique<TarveloFTPClient>(std::make_unique<BasicSocket>(std::make_unique<TCPTransport>()),
                                                   "127.0.0.1", port, "disk", 0, kFlags, "", 0);
  Transport::StatusCode opened = client->open();
  if (opened.code < 0) {
    totals.error("open: " + opened.text);
    return nullptr;
  }
  if (client->block_size() != 4096) totals.error("no block-hash storage: block size " + std::to_string(client->block_size()));
  return client;
}

// One client on [begin, begin + length) of the image, with a model of it.
void run_client(int index, uint16_t port, long begin, long length, Clock::time_point deadline, Totals& totals,
                std::vector<char>& image) {
  std::mt19937_64 random(static_cast<uint64_t>(index) * 7919 + 1);
  std::unique_ptr<TarveloFTPClient> client = connect_client(port, totals);
  if (!client) return;
  char* model = image.data() + begin;
  long unacknowledged = 0;
  std::vector<char> buffer(kMaxWrite);
  auto fail = [&](const std::string& what) { totals.error("client " + std::to_string(index) + ": " + what); };

  auto acknowledge = [&] {
    bool has_failures = false;
    Transport::StatusCode status;
    std::vector<tarvelo_write_acknowledgement_t> records = client->write_acknowledgement(has_failures, &status);
    ++totals.requests;
    if (status.code < 0) return fail("acknowledgement: " + status.text);
    if (has_failures) fail("acknowledgement reports failures");
    if (static_cast<long>(records.size()) != unacknowledged)
      fail("acknowledged " + std::to_string(records.size()) + " of " + std::to_string(unacknowledged) + " writes");
    totals.acknowledged += static_cast<long>(records.size());
    unacknowledged = 0;
  };

  while (Clock::now() < deadline && client) {
    long size = 1 + static_cast<long>(random() % kMaxWrite);
    if (random() % 2) size = (size + 4095) / 4096 * 4096;  // whole blocks half the time
    size = std::min(size, length);
    long offset = static_cast<long>(random() % static_cast<uint64_t>(length - size + 1));
    if (random() % 2) offset = offset / 4096 * 4096;
    if (offset + size > length) offset = length - size;
    client->seek(begin + offset, TARVELO_SEEK_SET);
    Transport::StatusCode status;
    switch (random() % 10) {
      case 0: case 1: case 2: {  // write
        for (long i = 0; i < size; ++i) buffer[i] = static_cast<char>(random());
        bool sent = false;
        long written = client->write(buffer.data(), size, &sent, &status);
        ++totals.requests;
        if (written != size || status.code < 0) {
          fail("write of " + std::to_string(size) + ": " + status.text);
          break;
        }
        std::memcpy(model + offset, buffer.data(), size);
        ++unacknowledged;
        ++totals.writes;
        totals.bytes += size;
        break;
      }
      case 3: {  // hole punch
        Transport::StatusCode punched = client->hole_punch(size);
        ++totals.requests;
        if (punched.code < 0) {
          fail("hole punch: " + punched.text);
          break;
        }
        std::memset(model + offset, 0, size);
        ++unacknowledged;
        break;
      }
      case 4: case 5: case 6: {  // read
        long got = client->read(buffer.data(), size, &status);
        ++totals.requests;
        totals.bytes += size;
        if (got != size) fail("read of " + std::to_string(size) + " returned " + std::to_string(got) + ": " + status.text);
        else if (std::memcmp(buffer.data(), model + offset, size) != 0)
          fail("read at " + std::to_string(begin + offset) + " differs from what was written");
        break;
      }
      case 7: case 8: {  // hash
        std::vector<unsigned char> remote = client->get_block_hash_remote(size, &status);
        ++totals.requests;
        client->seek(begin + offset, TARVELO_SEEK_SET);
        Transport::StatusCode local_status;
        std::vector<unsigned char> local = client->get_block_hash_local(model + offset, size, &local_status);
        if (remote.empty()) fail("remote hash: " + status.text);
        else if (remote != local) fail("remote hash at " + std::to_string(begin + offset) + " differs from the model's");
        break;
      }
      default:
        acknowledge();
        // Now and then leave and come back: the server commits on clean-up.
        if (random() % 8 == 0) {
          if (client->close().code < 0) fail("close");
          ++totals.requests;
          client = connect_client(port, totals);
        }
        break;
    }
  }
  if (client) {
    acknowledge();
    if (client->close().code < 0) fail("final close");
  }
}

std::string executable_dir() {
  return std::filesystem::canonical("/proc/self/exe").parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  int clients = argc > 1 ? std::atoi(argv[1]) : 16;
  int seconds = argc > 2 ? std::atoi(argv[2]) : 180;
  std::string server_threads = argc > 3 ? argv[3] : "";
  std::string daemon = executable_dir() + "/../tools/tarveloftpd";
  if (!std::filesystem::exists(daemon)) {
    std::cerr << "SoakBench: no tarveloftpd at " << daemon << " (build the tarveloftpd target)" << std::endl;
    return 2;
  }

  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("tarveloftp-soak-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string image_path = (dir / "disk.img").string();
  std::vector<char> image(kImageSize);
  {
    std::mt19937_64 random(1);
    for (long i = 0; i < kImageSize; i += 8) {
      uint64_t word = random();
      std::memcpy(image.data() + i, &word, 8);
    }
    std::ofstream(image_path, std::ios::binary).write(image.data(), kImageSize);
  }
  uint16_t port = free_port();
  std::string config = (dir / "server.ini").string();
  std::ofstream(config) << "[config]\naddress = 127.0.0.1\nport = " << port << "\n\n[disk]\nlun0 = " << image_path << "\n";
  std::string log = (dir / "server.log").string();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> arguments{daemon, "--config", config, "--block-hash-storage"};
  if (!server_threads.empty()) arguments.insert(arguments.end(), {"--threads", server_threads});
  std::vector<char*> raw;
  for (auto& argument : arguments) raw.push_back(argument.data());
  raw.push_back(nullptr);
  pid_t server = -1;
  if (posix_spawn(&server, daemon.c_str(), &actions, nullptr, raw.data(), environ) != 0) {
    std::perror("SoakBench: posix_spawn");
    return 2;
  }
  posix_spawn_file_actions_destroy(&actions);
  for (int i = 0; i < 500; ++i) {
    BasicSocket probe(std::make_unique<TCPTransport>());
    if (probe.connect("127.0.0.1", port).ok()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  Totals totals;
  long part = kImageSize / clients / 4096 * 4096;
  auto start = Clock::now();
  auto deadline = start + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i)
    threads.emplace_back(run_client, i, port, i * part, part, deadline, std::ref(totals), std::ref(image));
  long peak_rss = 0;
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    peak_rss = std::max(peak_rss, status_kib(server, "VmRSS"));
  }
  for (auto& thread : threads) thread.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  long peak_hwm = status_kib(server, "VmHWM");

  kill(server, SIGTERM);
  int wait_status = 0;
  waitpid(server, &wait_status, 0);
  if (!WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0) totals.error("server did not exit cleanly");

  std::ostringstream out, err;
  int verified = tools::verify_hashes(image_path, out, err);
  if (verified != 0) totals.error("verify-hashes: " + out.str() + err.str());
  std::vector<char> stored(kImageSize);
  std::ifstream(image_path, std::ios::binary).read(stored.data(), kImageSize);
  long differing = 0;
  for (long block = 0; block < kImageSize / 4096; ++block)
    if (std::memcmp(stored.data() + block * 4096, image.data() + block * 4096, 4096) != 0) ++differing;
  if (differing != 0) totals.error(std::to_string(differing) + " blocks of the image lack acknowledged writes");

  std::printf("soak: %d clients, server threads %s, %.0f s, %ld requests, %.0f requests/s, %.1f MB/s moved\n",
              clients, server_threads.empty() ? "default" : server_threads.c_str(), elapsed, totals.requests.load(),
              totals.requests.load() / elapsed, totals.bytes.load() / elapsed / 1e6);
  std::printf("soak: %ld writes, %ld acknowledgements received, hash file check %s, image %s\n", totals.writes.load(),
              totals.acknowledged.load(), verified == 0 ? "clean" : "NOT clean",
              differing == 0 ? "holds every acknowledged write" : "DIFFERS");
  std::printf("soak: server peak memory %ld KiB (VmHWM), highest sampled VmRSS %ld KiB\n", peak_hwm, peak_rss);
  std::printf("soak: errors: %ld\n", totals.errors.load());
  for (const std::string& error : totals.first_errors) std::printf("  %s\n", error.c_str());
  if (totals.errors == 0) std::filesystem::remove_all(dir);
  else std::printf("soak: files kept in %s\n", dir.c_str());
  return totals.errors == 0 ? 0 : 1;
}
