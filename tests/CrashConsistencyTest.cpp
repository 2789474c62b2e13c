// Kills a block-hash-storage server at many moments while two clients stream
// writes to one image, their commits running side by side on the server's
// workers; restarts it, and checks that the hash file tells the truth and
// that every acknowledged write is in the image.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

#include <nlohmann/json.hpp>

#include <tarveloftp/BlockHashStore.h>
#include <tarveloftp/Coding.h>

#include "ServerFixture.h"
#include "StorageTestSupport.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

constexpr long kBlock = 4096;
constexpr long kImageBlocks = 512;  // a 2 MiB image
constexpr long kWriters = 2;        // writer w owns the blocks b with b % kWriters == w

struct BlockHistory {
  std::vector<char> acknowledged;              // last content acknowledged STATUS_SUCCESS
  std::vector<std::vector<char>> unconfirmed;  // sent since, outcome unknown
};

class CrashHarness {
 public:
  CrashHarness() : m_image(m_dir.file("image.img")) {
    std::vector<char> initial = test::random_bytes(kImageBlocks * kBlock, 99);
    test::write_file(m_image, initial);
    for (long block = 0; block < kImageBlocks; ++block)
      m_blocks[block].acknowledged.assign(initial.begin() + block * kBlock, initial.begin() + (block + 1) * kBlock);
  }

  std::unique_ptr<test::ChildProcess> start_server() {
    m_port = test::free_port();
    std::string config = m_dir.file("server.ini");
    std::ofstream(config) << "[config]\naddress = 127.0.0.1\nport = " << m_port << "\n\n[disk]\nlun0 = " << m_image
                          << "\n";
    auto server = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{test::tool_path("tarveloftpd"), "--config", config, "--block-hash-storage",
                                 "--threads", "4"});
    EXPECT_TRUE(server->wait_for_output("listening on")) << server->err();
    return server;
  }

  // Connects with a hash handshake, which repairs what a crash left behind.
  std::unique_ptr<test::WireClient> connect() {
    auto client = std::make_unique<test::WireClient>(m_port);
    Message response = client->handshake("disk", 0, CLIENT_WRITE_ACKNOWLEDGEMENT | CLIENT_HANDSHAKE_SESSION_ID);
    EXPECT_EQ(response.buffer()[wire::kHandshakeStatus], STATUS_SUCCESS);
    EXPECT_EQ(client->exchange(COMMAND_HASH_HANDSHAKE, 0, 0).size(), wire::kHeaderSize) << "hash handshake refused";
    return client;
  }

  // Sends one whole-block or partial write to one of the writer's blocks and
  // remembers it as unconfirmed.
  void send_write(test::WireClient& client, int writer, std::mt19937& random) {
    long block = writer + kWriters * static_cast<long>(random() % (kImageBlocks / kWriters));
    bool partial = random() % 4 == 0;
    long offset = block * kBlock + (partial ? static_cast<long>(random() % 2048) : 0);
    long length = partial ? static_cast<long>(1 + random() % 2048) : kBlock;
    std::vector<char> data = test::random_bytes(static_cast<std::size_t>(length), static_cast<uint32_t>(random()));
    Message write = client.request(COMMAND_WRITE, offset, length, data);
    client.send(write);
    BlockHistory& history = m_blocks[block];
    std::vector<char> content = history.unconfirmed.empty() ? history.acknowledged : history.unconfirmed.back();
    std::copy(data.begin(), data.end(), content.begin() + (offset - block * kBlock));
    history.unconfirmed.push_back(content);
    m_pending[writer].push_back({offset, block});
  }

  // Reads the answer to an acknowledgement request; on a full answer,
  // settles the histories.
  bool take_acknowledgements(test::WireClient& client, int writer) {
    std::vector<std::pair<long, long>>& pending = m_pending[writer];
    Transport::StatusCode status;
    Message answer = client.receive(&status);
    if (!status.ok() || answer.size() < wire::kHeaderSize) return false;
    uint64_t count = DecodeFixed64BE(answer.buffer() + wire::kAcknowledgeCount);
    EXPECT_EQ(count, pending.size());
    for (uint64_t i = 0; i < count && i < pending.size(); ++i) {
      const char* record = answer.buffer() + wire::kAcknowledgeRecords + 17 * i;
      EXPECT_EQ(DecodeBigEndian<int64_t>(record), pending[i].first);
      BlockHistory& history = m_blocks[pending[i].second];
      if (record[16] == STATUS_SUCCESS) {
        // Writes to one block are acknowledged in order: this one is the oldest unconfirmed.
        history.acknowledged = history.unconfirmed.front();
        ++m_acknowledged;
      }
      history.unconfirmed.erase(history.unconfirmed.begin());
    }
    pending.clear();
    return true;
  }

  // Every block holds its last acknowledged content or a later unconfirmed one.
  void check_image() {
    std::vector<char> image = test::read_file(m_image);
    ASSERT_EQ(image.size(), static_cast<std::size_t>(kImageBlocks * kBlock));
    for (auto& [block, history] : m_blocks) {
      std::vector<char> actual(image.begin() + block * kBlock, image.begin() + (block + 1) * kBlock);
      bool known = actual == history.acknowledged;
      for (const auto& candidate : history.unconfirmed) known |= actual == candidate;
      ASSERT_TRUE(known) << "block " << block << " lost an acknowledged write";
      // Whatever is there now is what later checks start from.
      history.acknowledged = actual;
      history.unconfirmed.clear();
    }
    for (auto& pending : m_pending) pending.clear();
  }

  test::TempDir m_dir;
  std::string m_image;
  uint16_t m_port = 0;
  std::map<long, BlockHistory> m_blocks;
  // Per writer: (offset, block) awaiting acknowledgement.
  std::vector<std::pair<long, long>> m_pending[kWriters];
  int m_acknowledged = 0;
};

TEST(CrashConsistencyTest, KilledServersLoseNoAcknowledgedWriteAndKeepHashesTrue) {
  CrashHarness harness;
  std::mt19937 random(20261206);
  const int rounds = 16;
  for (int round = 0; round < rounds; ++round) {
    auto server = harness.start_server();
    std::unique_ptr<test::WireClient> clients[kWriters];
    for (auto& client : clients) client = harness.connect();
    int batches = 1 + static_cast<int>(random() % 4);
    for (int batch = 0; batch < batches; ++batch) {
      for (int w = 0; w < kWriters; ++w) {
        int writes = 1 + static_cast<int>(random() % 200);
        for (int i = 0; i < writes; ++i) harness.send_write(*clients[w], w, random);
      }
      if (batch + 1 < batches) {
        // Both commits are under way before either answer is read.
        for (auto& client : clients) {
          Message request = client->request(COMMAND_WRITE_ACKNOWLEDGE, 0, 0);
          ASSERT_TRUE(client->send(request).ok());
        }
        for (int w = 0; w < kWriters; ++w) ASSERT_TRUE(harness.take_acknowledgements(*clients[w], w));
      }
    }
    // The last acknowledgement requests start commits; the kill lands
    // somewhere before, during or after them.
    for (auto& client : clients) {
      Message request = client->request(COMMAND_WRITE_ACKNOWLEDGE, 0, 0);
      client->send(request);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    server->signal(SIGKILL);
    EXPECT_EQ(server->wait(), 128 + SIGKILL);
    for (auto& client : clients) client.reset();
    harness.check_image();

    // A restart with a hash handshake repairs the journal's ranges; after a
    // clean close the hash file must match the image.
    auto restarted = harness.start_server();
    auto checker = harness.connect();
    checker->exchange(COMMAND_CLOSE, 0, 0);
    restarted->signal(SIGTERM);
    ASSERT_EQ(restarted->wait(), 0) << restarted->err();
    ASSERT_EQ(test::verify_hash_file(harness.m_image), 0) << "after round " << round;
  }
  EXPECT_GT(harness.m_acknowledged, 0);
}

}  // namespace
}  // namespace tarvelo

namespace tarvelo {
namespace {

TEST(VerifyHashesTest, ReportsMismatchesAndRefusesForeignHeaders) {
  test::TempDir dir;
  std::string image = dir.file("image.img");
  std::vector<char> bytes = test::random_bytes(10 * 4096 + 100, 4);
  test::write_file(image, bytes);
  BlockHashStore::create(image + ".hash", HASH_FUNCTION_BLAKE2B, bytes.size(), 0, 4096, true);
  {
    auto store = BlockHashStore::open(image + ".hash", bytes.size());
    store->update_hashes(0, bytes.data(), 8 * 4096);  // blocks 0-7 valid
  }
  std::ostringstream out, err;
  EXPECT_EQ(tools::verify_hashes(image, out, err), 0) << err.str();
  EXPECT_NE(out.str().find("8 valid entries checked, 0 mismatched, 3 not valid"), std::string::npos) << out.str();

  bytes[5 * 4096 + 7] ^= 1;  // block 5 changes behind the store's back
  test::write_file(image, bytes);
  out.str("");
  EXPECT_EQ(tools::verify_hashes(image, out, err), 1);
  EXPECT_NE(out.str().find("mismatched blocks: 5"), std::string::npos) << out.str();
  // The same check as the command-line client runs it.
  test::RunResult program = test::run_program({test::tool_path("tarveloftp"), "verify-hashes", image});
  EXPECT_EQ(program.status, 1) << program.err;
  EXPECT_NE(program.out.find("1 mismatched"), std::string::npos) << program.out;
  program = test::run_program({test::tool_path("tarveloftp"), "verify-hashes", image, "--json"});
  EXPECT_EQ(program.status, 1) << program.err;
  nlohmann::json report = nlohmann::json::parse(program.out);
  EXPECT_EQ(std::tuple(report["valid"], report["mismatched"], report["invalid"], report["first_mismatched"]),
            std::tuple(8, 1, 3, nlohmann::json{5}))
      << program.out;

  bytes.push_back('x');  // the image grew: the header no longer fits it
  test::write_file(image, bytes);
  std::ostringstream refused;
  EXPECT_EQ(tools::verify_hashes(image, out, refused), 2);
  EXPECT_NE(refused.str().find("sized for an image of"), std::string::npos) << refused.str();
  EXPECT_EQ(tools::verify_hashes(dir.file("missing"), out, refused), 2);
}

}  // namespace
}  // namespace tarvelo
