// A server with several worker threads: the replies of each connection in
// request order, connections that share an image in block-hash mode, a
// forced removal under load, and a slow request that must not hold up
// another connection's small ones.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include <tarveloftp/Coding.h>

#include "ServerFixture.h"
#include "StorageTestSupport.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kFlags = CLIENT_WRITE_ACKNOWLEDGEMENT | CLIENT_HANDSHAKE_SESSION_ID;
constexpr long kBlock = 4096;

std::unique_ptr<test::WireClient> open(uint16_t port, const std::string& target, bool block_hashing) {
  auto client = std::make_unique<test::WireClient>(port);
  Message handshake = client->handshake(target, 0, kFlags);
  if (handshake.size() < wire::kHeaderSize || handshake.buffer()[wire::kHandshakeStatus] != STATUS_SUCCESS)
    return nullptr;
  if (block_hashing && client->exchange(COMMAND_HASH_HANDSHAKE, 0, 0).size() != wire::kHeaderSize) return nullptr;
  return client;
}

int64_t field(const Message& reply, std::size_t at) { return DecodeBigEndian<int64_t>(reply.buffer() + at); }

// Each connection pipelines rounds of reads, hashes, punches, writes and
// acknowledgement requests of many sizes; every reply must answer the
// request at its place in the round.
TEST(ServerConcurrencyTest, RepliesOfEachConnectionComeInRequestOrder) {
  constexpr long kRegion = 1 << 20;
  constexpr int kConnections = 4;
  test::ServerFixture fixture(kConnections * kRegion, false, nullptr, 4);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int c = 0; c < kConnections; ++c)
    threads.emplace_back([&, c] {
      auto client = open(fixture.port(), "disk", false);
      if (!client) {
        ++failures;
        return;
      }
      std::mt19937 random(static_cast<uint32_t>(c + 1));
      const long base = c * kRegion;
      long writes = 0;  // not yet acknowledged, across rounds
      for (int round = 0; round < 12; ++round) {
        std::vector<Message> requests;
        std::vector<std::pair<tarvelo_protocol_command_t, long>> expected;  // (command, offset or count)
        for (int i = 0; i < 40; ++i) {
          long length = 1 + static_cast<long>(random() % (i % 5 == 0 ? kRegion / 2 : 8192));
          long offset = base + static_cast<long>(random() % static_cast<unsigned long>(kRegion - length));
          switch (random() % 5) {
            case 0:
              requests.push_back(client->request(COMMAND_READ, offset, length));
              expected.emplace_back(COMMAND_READ, offset);
              break;
            case 1:
              requests.push_back(client->request(COMMAND_HASH, offset, length));
              expected.emplace_back(COMMAND_HASH, offset);
              break;
            case 2:
              requests.push_back(client->request(COMMAND_HOLE_PUNCH, offset, length));
              expected.emplace_back(COMMAND_HOLE_PUNCH, offset);
              break;
            case 3:
              requests.push_back(client->request(COMMAND_WRITE, offset, length,
                                                 std::vector<char>(static_cast<std::size_t>(length), 'w')));
              ++writes;
              break;
            default:
              requests.push_back(client->request(COMMAND_WRITE_ACKNOWLEDGE, 0, 0));
              expected.emplace_back(COMMAND_WRITE_ACKNOWLEDGE, writes);
              writes = 0;
          }
        }
        if (!client->send_all(requests).ok()) {
          ++failures;
          return;
        }
        for (const auto& [command, value] : expected) {
          Message reply = client->receive();
          if (reply.size() < wire::kHeaderSize || reply.buffer()[wire::kCommand] != command) {
            ADD_FAILURE() << "connection " << c << " round " << round << ": a reply out of order";
            ++failures;
            return;
          }
          int64_t got = command == COMMAND_WRITE_ACKNOWLEDGE ? field(reply, wire::kAcknowledgeCount)
                        : command == COMMAND_READ            ? field(reply, wire::kReadPosition)
                                                             : field(reply, wire::kOffset);
          EXPECT_EQ(got, value) << "connection " << c << " round " << round << " command " << command;
        }
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
}

// Writers of their own blocks of one image, in block-hash mode, all at once,
// each also hashing what it just wrote: commits, hashes and invalidations of
// several connections on one hash file.
class SharedImageLoad {
 public:
  static constexpr int kConnections = 6;
  static constexpr long kBlocks = 2048;  // an 8 MiB image

  explicit SharedImageLoad(test::ServerFixture& fixture) : m_fixture(fixture), m_expected(fixture.image()) {}

  // Runs the writers; `midway` is called once every writer has done half
  // its rounds. Returns the number of connections that ran to the end.
  int run(const std::function<void()>& midway = nullptr) {
    std::vector<std::thread> threads;
    std::atomic<int> halfway{0};
    std::atomic<int> completed{0};
    for (int c = 0; c < kConnections; ++c)
      threads.emplace_back([&, c] {
        if (writer(c, halfway, midway)) ++completed;
      });
    for (std::thread& thread : threads) thread.join();
    return completed;
  }

 private:
  bool writer(int c, std::atomic<int>& halfway, const std::function<void()>& midway) {
    auto client = open(m_fixture.port(), "disk", true);
    if (!client) {
      ADD_FAILURE() << "connection " << c << " could not open the image for block hashing";
      return false;
    }
    std::mt19937 random(static_cast<uint32_t>(100 + c));
    constexpr int kRounds = 16;
    for (int round = 0; round < kRounds; ++round) {
      if (round == kRounds / 2 && ++halfway == kConnections && midway) midway();
      std::vector<Message> requests;
      std::vector<std::pair<long, std::vector<char>>> changes;
      for (int i = 0; i < 24; ++i) {
        // Blocks c, c + 6, c + 12, ...: this connection's own.
        long block = c + kConnections * static_cast<long>(random() % (kBlocks / kConnections));
        long count = 1 + static_cast<long>(random() % 3);
        if (block + (count - 1) * kConnections >= kBlocks) count = 1;
        bool punch = random() % 6 == 0;
        std::vector<char> data = punch ? std::vector<char>(kBlock, 0)
                                       : test::random_bytes(kBlock, static_cast<uint32_t>(random()));
        for (long k = 0; k < count; ++k) {
          long offset = (block + k * kConnections) * kBlock;
          requests.push_back(punch ? client->request(COMMAND_HOLE_PUNCH, offset, kBlock)
                                   : client->request(COMMAND_WRITE, offset, kBlock, data));
          changes.emplace_back(offset, data);
        }
      }
      requests.push_back(client->request(COMMAND_WRITE_ACKNOWLEDGE, 0, 0));
      long probe = changes.back().first;
      requests.push_back(client->request(COMMAND_HASH, probe, kBlock));
      if (!client->send_all(requests).ok()) return false;
      // Punches are deferred like writes: no reply of their own, an
      // acknowledgement each.
      Message acknowledgements = client->receive();
      Message hash = client->receive();
      if (acknowledgements.size() < wire::kHeaderSize || hash.size() < wire::kHeaderSize)
        return false;  // the server hung up
      EXPECT_EQ(field(acknowledgements, wire::kAcknowledgeFailures), 0) << "connection " << c;
      EXPECT_EQ(field(acknowledgements, wire::kAcknowledgeCount), static_cast<int64_t>(changes.size()));
      {
        std::lock_guard lock(m_mutex);
        for (auto& [offset, data] : changes) std::copy(data.begin(), data.end(), m_expected.begin() + offset);
      }
      EXPECT_EQ(hash.buffer()[wire::kCommand], COMMAND_HASH);
    }
    client->exchange(COMMAND_CLOSE, 0, 0);
    return true;
  }

 public:
  std::vector<char> expected() {
    std::lock_guard lock(m_mutex);
    return m_expected;
  }

 private:
  test::ServerFixture& m_fixture;
  std::mutex m_mutex;
  std::vector<char> m_expected;
};

TEST(ServerConcurrencyTest, ConnectionsShareOneImageInBlockHashMode) {
  {
    test::ServerFixture fixture(SharedImageLoad::kBlocks * kBlock, true, nullptr, 4);
    SharedImageLoad load(fixture);
    EXPECT_EQ(load.run(), SharedImageLoad::kConnections);
    fixture.stop();
    EXPECT_TRUE(fixture.image() == load.expected()) << "an acknowledged write is missing from the image";
    test::verify_hash_file(fixture.image_path());
  }
  // The administrator removes the target while the writers are busy: they
  // are turned away, and what they left is committed and hashed truly.
  test::ServerFixture fixture(SharedImageLoad::kBlocks * kBlock, true, nullptr, 4);
  SharedImageLoad load(fixture);
  int completed = load.run([&] {
    EXPECT_EQ(fixture.server().endpoints().remove_target("disk", true), config::Endpoints::ENDPOINT_OK);
  });
  EXPECT_LT(completed, SharedImageLoad::kConnections);
  fixture.stop();
  test::verify_hash_file(fixture.image_path());
}

// A hash over a gigabyte of cold entries keeps one worker busy for a while;
// small reads of another connection go on meanwhile. So do they beside
// clients that ask for large reads and never take the replies: a worker
// sending those waits for room only while no other job needs it.
TEST(ParallelServingTest, ASlowHashDoesNotHoldUpAnotherConnectionsReads) {
  constexpr long kBig = 1L << 30;
  test::ServerFixture fixture(1 << 20, true, [](config::Endpoints& endpoints, test::TempDir& dir) {
    // Data, not a hole: the server answers hashes of holes without reading.
    std::string big = dir.file("big.img");
    std::vector<char> piece(8 << 20, 'x');
    std::ofstream out(big, std::ios::binary);
    for (long at = 0; at < kBig; at += static_cast<long>(piece.size())) out.write(piece.data(), static_cast<long>(piece.size()));
    EXPECT_TRUE(out.good());
    endpoints.add_target("big");
    endpoints.add_lun("big", 0, big);
  });
  auto hasher = open(fixture.port(), "big", true);
  auto reader = open(fixture.port(), "disk", false);
  ASSERT_TRUE(hasher && reader);
  std::vector<std::unique_ptr<test::WireClient>> stalled;
  for (int i = 0; i < 4; ++i) {  // as many as the fixture has workers
    stalled.push_back(open(fixture.port(), "big", false));
    ASSERT_TRUE(stalled.back());
    for (long at = 0; at < (64L << 20); at += 8L << 20) {
      Message read = stalled.back()->request(COMMAND_READ, at, 8L << 20);
      ASSERT_TRUE(stalled.back()->send(read).ok());
    }
  }

  Message hash = hasher->request(COMMAND_HASH, 0, kBig);
  Clock::time_point started = Clock::now();
  ASSERT_TRUE(hasher->send(hash).ok());
  std::atomic<bool> hashed{false};
  Clock::duration hash_time{};
  std::thread waiting([&] {
    Message answer = hasher->receive();
    hash_time = Clock::now() - started;
    EXPECT_EQ(answer.size(), wire::kHeaderSize + 32);
    hashed = true;
  });
  Clock::duration slowest{};
  int reads = 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  while (!hashed) {
    Message read = reader->request(COMMAND_READ, (reads * kBlock) % (1 << 20), kBlock);
    Clock::time_point sent = Clock::now();
    ASSERT_TRUE(reader->send(read).ok());
    Message answer = reader->receive();
    slowest = std::max(slowest, Clock::now() - sent);
    ASSERT_EQ(answer.buffer()[wire::kReadStatus], STATUS_SUCCESS);
    ++reads;
  }
  waiting.join();
  auto ms = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
  // A fast machine hashes the gigabyte in under half a second.
  ASSERT_GT(ms(hash_time), 300) << "the hash was too quick to show anything";
  // Generous, for loaded and instrumented builds on two cores; served on
  // one thread, a read would wait the whole hash out.
  EXPECT_LT(ms(slowest), std::min<long>(250, ms(hash_time) / 2))
      << reads << " reads during a hash of " << ms(hash_time) << " ms";
}

}  // namespace
}  // namespace tarvelo
