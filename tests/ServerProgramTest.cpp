#include <gtest/gtest.h>

#include <fstream>

#include "ServerFixture.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

std::string write_config(test::TempDir& dir, uint16_t port, const std::string& targets) {
  std::string path = dir.file("server.ini");
  std::ofstream(path) << "[config]\naddress = 127.0.0.1\nport = " << port << "\n\n" << targets;
  return path;
}

// Serving itself: AbusiveClientTest, whose daemons also end with SIGTERM.
TEST(ServerProgramTest, ServesUntilSigterm) {
  test::DaemonProcess server(test::random_bytes(1 << 16, 11));
  ASSERT_TRUE(server.start()) << server.process().err();
  EXPECT_NE(server.process().out().find("serving disk (1 LUN)"), std::string::npos) << server.process().out();
  test::WireClient client(server.port());
  client.handshake("disk", 0, CLIENT_WRITE_ACKNOWLEDGEMENT);
  Message write = client.request(COMMAND_WRITE, 0, 5, {'h', 'e', 'l', 'l', 'o'});
  Message acknowledge = client.request(COMMAND_WRITE_ACKNOWLEDGE, 0, 0);
  ASSERT_TRUE(client.send(write).ok() && client.send(acknowledge).ok());
  ASSERT_EQ(client.receive().size(), wire::kHeaderSize + wire::kAcknowledgeRecordSize);
  EXPECT_EQ(server.stop(), 0) << server.process().err();
  EXPECT_TRUE(client.closed_by_server());
  EXPECT_EQ(std::string(test::read_file(server.image_path()).data(), 5), "hello");
}

TEST(ServerProgramTest, RefusesWhatItCannotServe) {
  test::TempDir dir;
  uint16_t port = test::free_port();
  auto run = [](const std::vector<std::string>& args) { return test::run_tool("tarveloftpd", args); };
  EXPECT_TRUE(test::failed_with(run({"--config", dir.file("nope.ini")}), -1, "cannot read configuration file"));

  EXPECT_TRUE(test::failed_with(run({"--config", write_config(dir, port, "")}), -1, "serves nothing"));

  test::write_file(dir.file("disk.img"), std::vector<char>(4096));
  std::string targets = "[disk]\nlun0 = " + dir.file("disk.img") + "\n";
  test::ServerFixture busy(4096);  // holds a port
  EXPECT_TRUE(test::failed_with(run({"--config", write_config(dir, busy.port(), targets)}), -1,
                                "Could not listen on 127.0.0.1:" + std::to_string(busy.port())));
  // Its administration port is the one after ours.
  EXPECT_TRUE(test::failed_with(run({"--config", write_config(dir, busy.port() - 1, targets)}), -1,
                                "Administration channel (port + 1): Could not listen on 127.0.0.1:" +
                                    std::to_string(busy.port())));
  EXPECT_TRUE(test::failed_with(run({"--config", write_config(dir, 65535, targets)}), -1,
                                "leaves no port for the administration channel"));

  test::RunResult help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--block-hash-storage"), std::string::npos);
}

}  // namespace
}  // namespace tarvelo
