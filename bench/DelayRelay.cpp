// A loopback relay that makes a long, lossy link out of 127.0.0.1: every UDP
// datagram or TCP segment it passes waits DELAY_MS before it goes on, and
// UDP datagrams are dropped at random with LOSS_PERCENT. (TCP bytes are never
// dropped: the kernel would resend them on loopback anyway.)
//
//   DelayRelay udp|tcp LISTEN_PORT TARGET_PORT DELAY_MS LOSS_PERCENT
//
// Runs until killed. One UDP client at a time; any number of TCP ones.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Held {
  Clock::time_point due;
  std::vector<char> bytes;
};

// One direction: bytes read from `from` leave on `to` after the delay.
struct Pipe {
  int from;
  int to;
  std::deque<Held> queue;
};

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Until the first held bytes are due, rounded up: rounding down would spin
// on a 0 ms wait for the last fraction of a millisecond.
int wait_ms(const std::vector<Pipe>& pipes) {
  int wait = 100;
  auto now = Clock::now();
  for (const Pipe& pipe : pipes)
    if (!pipe.queue.empty())
      wait = std::min<int>(wait, std::max<long>(0, std::chrono::ceil<std::chrono::milliseconds>(
                                                        pipe.queue.front().due - now).count()));
  return wait;
}

void flush_due(std::vector<Pipe>& pipes, bool datagrams, const sockaddr_in* client, bool* have_client,
               int client_side) {
  auto now = Clock::now();
  for (Pipe& pipe : pipes)
    while (!pipe.queue.empty() && pipe.queue.front().due <= now) {
      const std::vector<char>& bytes = pipe.queue.front().bytes;
      if (datagrams && pipe.to == client_side) {
        if (*have_client)
          sendto(pipe.to, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(client), sizeof(*client));
      } else {
        for (std::size_t sent = 0; sent < bytes.size();) {
          ssize_t count = send(pipe.to, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
          if (count <= 0) break;
          sent += static_cast<std::size_t>(count);
        }
      }
      pipe.queue.pop_front();
    }
}

int relay_udp(uint16_t listen_port, uint16_t target_port, std::chrono::milliseconds delay, double loss) {
  int client_side = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in listen_address = loopback(listen_port);
  if (bind(client_side, reinterpret_cast<sockaddr*>(&listen_address), sizeof(listen_address)) != 0) {
    std::perror("bind");
    return 1;
  }
  int server_side = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in target = loopback(target_port);
  connect(server_side, reinterpret_cast<sockaddr*>(&target), sizeof(target));
  int size = 8 << 20;
  for (int fd : {client_side, server_side}) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  }
  std::vector<Pipe> pipes{{client_side, server_side, {}}, {server_side, client_side, {}}};
  sockaddr_in client{};
  bool have_client = false;
  std::mt19937 random(42);
  std::uniform_real_distribution<double> chance(0, 100);
  std::vector<char> buffer(65536);
  for (;;) {
    pollfd fds[2] = {{client_side, POLLIN, 0}, {server_side, POLLIN, 0}};
    poll(fds, 2, wait_ms(pipes));
    // Every datagram waiting, not one per wake-up: the relay must not be
    // what limits the rate.
    for (int side = 0; side < 2; ++side) {
      if (!(fds[side].revents & POLLIN)) continue;
      for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        ssize_t count = recvfrom(fds[side].fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &length);
        if (count < 0) break;
        if (side == 0) {
          client = from;
          have_client = true;
        }
        if (chance(random) < loss) continue;
        pipes[side].queue.push_back({Clock::now() + delay, std::vector<char>(buffer.data(), buffer.data() + count)});
      }
    }
    flush_due(pipes, true, &client, &have_client, client_side);
  }
}

int relay_tcp(uint16_t listen_port, uint16_t target_port, std::chrono::milliseconds delay) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  sockaddr_in listen_address = loopback(listen_port);
  if (bind(listener, reinterpret_cast<sockaddr*>(&listen_address), sizeof(listen_address)) != 0 ||
      listen(listener, 16) != 0) {
    std::perror("listen");
    return 1;
  }
  std::vector<Pipe> pipes;
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    for (const Pipe& pipe : pipes) fds.push_back({pipe.from, POLLIN, 0});
    poll(fds.data(), fds.size(), wait_ms(pipes));
    if (fds[0].revents & POLLIN) {
      int client = accept(listener, nullptr, nullptr);
      int server = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in target = loopback(target_port);
      if (client >= 0 && connect(server, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0) {
        pipes.push_back({client, server, {}});
        pipes.push_back({server, client, {}});
      }
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t count = recv(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (count == 0) {
        shutdown(pipes[i - 1].to, SHUT_WR);  // passes the close on, undelayed
        pipes[i - 1].from = -1;              // poll skips it from now on
      }
      if (count <= 0) continue;
      pipes[i - 1].queue.push_back({Clock::now() + delay, std::vector<char>(buffer.data(), buffer.data() + count)});
    }
    flush_due(pipes, false, nullptr, nullptr, -1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 || (std::string(argv[1]) != "udp" && std::string(argv[1]) != "tcp")) {
    std::fprintf(stderr, "usage: DelayRelay udp|tcp LISTEN_PORT TARGET_PORT DELAY_MS LOSS_PERCENT\n");
    return 2;
  }
  auto listen_port = static_cast<uint16_t>(std::atoi(argv[2]));
  auto target_port = static_cast<uint16_t>(std::atoi(argv[3]));
  std::chrono::milliseconds delay(std::atoi(argv[4]));
  double loss = std::atof(argv[5]);
  return std::string(argv[1]) == "udp" ? relay_udp(listen_port, target_port, delay, loss)
                                       : relay_tcp(listen_port, target_port, delay);
}
