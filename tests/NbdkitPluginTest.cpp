// The nbdkit plugin, driven by the NBD tools people use (nbdinfo, nbdcopy,
// qemu-img, qemu-io) through nbdkit, against a real server on loopback.

#ifdef TARVELOFTP_NBDKIT_PLUGIN

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ServerFixture.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using test::RunResult;
using test::ServerFixture;

std::string url(const ServerFixture& fixture, const std::string& target = "disk") {
  return "url=tarvelo://127.0.0.1:" + std::to_string(fixture.port()) + "/" + target + "/0";
}

// nbdkit serving the LUN on a private socket for as long as `command` runs
// ($uri and $nbd name the export in it), when it exits with its status; or,
// with no command, on `socket` until stopped.
std::vector<std::string> nbdkit(const std::vector<std::string>& parameters, const std::string& command,
                                const std::string& socket = "-") {
#ifdef TARVELOFTP_NBDKIT_PRELOAD
  // A sanitizer build's plugin, whose runtime nbdkit must load first. Leaks
  // are not looked for: nbdkit may exit with a connection it has not closed
  // yet, and what it holds then would count as ours.
  std::vector<std::string> argv = {"/usr/bin/env", "LD_PRELOAD=" TARVELOFTP_NBDKIT_PRELOAD,
                                   "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1", "/usr/bin/nbdkit"};
  std::string run = "unset LD_PRELOAD; " + command;
#else
  std::vector<std::string> argv = {"/usr/bin/nbdkit"};
  const std::string& run = command;
#endif
  argv.insert(argv.end(), {"-f", "-U", socket, TARVELOFTP_NBDKIT_PLUGIN});
  argv.insert(argv.end(), parameters.begin(), parameters.end());
  if (!command.empty()) argv.insert(argv.end(), {"--run", run});
  return argv;
}

RunResult serve(const std::vector<std::string>& parameters, const std::string& command,
                const std::vector<std::string>& environment = {}) {
  return test::run_program(nbdkit(parameters, command), environment);
}

TEST(NbdkitPlugin, NbdToolsCopyCompareAndTrimALun) {
  test::CaptureLog log;
  constexpr long kSize = 4 << 20;
  ServerFixture fixture(kSize);
  test::TempDir dir;
  std::vector<char> local = test::random_bytes(kSize, 7);
  test::write_file(dir.file("local.img"), local);

  RunResult info = serve({url(fixture)}, "nbdinfo --json $uri");
  ASSERT_EQ(info.status, 0) << info.err;
  auto exported = nlohmann::json::parse(info.out)["exports"][0];
  EXPECT_EQ(exported["export-size"], kSize);
  EXPECT_EQ(exported["is_read_only"], false);
  EXPECT_EQ(exported["can_flush"], true);
  EXPECT_EQ(exported["can_trim"], true);
  EXPECT_EQ(exported["can_zero"], true);
  // Writes wait in each connection's session until its flush.
  EXPECT_EQ(exported["can_multi_conn"], false);
  EXPECT_EQ(exported["block_size_preferred"], 4096);
  info = serve({url(fixture), "readonly=yes"}, "nbdinfo --json $uri");
  ASSERT_EQ(info.status, 0) << info.err;
  exported = nlohmann::json::parse(info.out)["exports"][0];
  EXPECT_EQ(exported["is_read_only"], true);
  EXPECT_EQ(exported["can_multi_conn"], true);

  RunResult copy = serve({url(fixture)}, "nbdcopy --flush " + dir.file("local.img") + " $uri");
  ASSERT_EQ(copy.status, 0) << copy.err;
  EXPECT_EQ(fixture.image(), local);
  copy = serve({url(fixture), "readonly=yes"}, "nbdcopy $uri " + dir.file("back.img"));
  ASSERT_EQ(copy.status, 0) << copy.err;
  EXPECT_EQ(test::read_file(dir.file("back.img")), local);
  ServerFixture over_udt(kSize, false, nullptr, 4, true);
  copy = serve({url(over_udt), "transport=udt"}, "nbdcopy --flush " + dir.file("local.img") + " $uri");
  ASSERT_EQ(copy.status, 0) << copy.err;
  EXPECT_EQ(over_udt.image(), local);

  std::string compare = "qemu-img compare -f raw -F raw " + dir.file("local.img") + " $nbd";
  RunResult same = serve({url(fixture)}, compare);
  EXPECT_EQ(same.status, 0) << same.out << same.err;
  local[3 << 20] ^= 1;
  test::write_file(dir.file("local.img"), local);
  RunResult differ = serve({url(fixture)}, compare);
  EXPECT_EQ(differ.status, 1) << differ.out << differ.err;
  EXPECT_NE(differ.out.find("Content mismatch at offset 3145728"), std::string::npos) << differ.out;

  // A write (not FUA: writeback) is read back whole over two sessions, one
  // of which did not carry it (against block-hash storage it stays in that
  // session until the flush commits it). A trim and a zero that may trim punch holes; a
  // plain zero writes zeros; all read back as zeros, here and on the server.
  local[3 << 20] ^= 1;
  std::fill(local.begin(), local.begin() + (2 << 20), 0x55);
  for (auto [offset, length] : {std::pair{8192L, 16384L}, {1L << 20, 65536L}, {2L << 20, 4096L}})
    std::fill(local.begin() + offset, local.begin() + offset + length, 0);
  for (bool block_hash_storage : {false, true}) {
    ServerFixture server(kSize, block_hash_storage);
    std::vector<char> expected = server.image();
    std::copy(local.begin(), local.begin() + (2 << 20) + 4096, expected.begin());
    RunResult zeroed = serve({url(server), "connections=2"},
                             "qemu-io -f raw -t writeback -c 'write -P 0x55 0 2M' -c 'read -P 0x55 0 2M' "
                             "-c 'discard 8192 16384' -c 'write -z -u 1M 64k' -c 'write -z 2M 4096' "
                             "-c 'read -P 0 8192 16384' -c 'read -P 0 1M 64k' -c flush $nbd");
    ASSERT_EQ(zeroed.status, 0) << zeroed.out << zeroed.err;
    EXPECT_EQ(zeroed.out.find("Pattern verification failed"), std::string::npos)
        << "block-hash storage " << block_hash_storage << "\n" << zeroed.out;
    EXPECT_EQ(server.image(), expected) << "block-hash storage " << block_hash_storage;
    int fd = ::open(server.image_path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    // The trimmed range holds no data on a file system that keeps holes.
    off_t data = lseek(fd, 8192, SEEK_DATA);
    ::close(fd);
    if (data != 8192) {
      EXPECT_GE(data, 8192 + 16384);
    }
  }
}

TEST(NbdkitPlugin, FailuresReachTheNbdClient) {
  test::CaptureLog log;
  ServerFixture fixture(1 << 20, false, test::add_locked_target);
  test::TempDir dir;

  RunResult wrong = serve({url(fixture, "locked")}, "nbdinfo $uri", {"TARVELOFTP_PASSPHRASE=nope"});
  EXPECT_NE(wrong.status, 0);
  EXPECT_NE(wrong.err.find("wrong passphrase for target \"locked\" LUN 0"), std::string::npos) << wrong.err;
  test::write_file(dir.file("pass"), {'o', 'p', 'e', 'n', ' ', 's', 'e', 's', 'a', 'm', 'e', '\n'});
  RunResult right = serve({url(fixture, "locked"), "passphrase-file=" + dir.file("pass")}, "nbdinfo --size $uri",
                          {"TARVELOFTP_PASSPHRASE=nope"});
  EXPECT_EQ(right.status, 0) << right.err;
  EXPECT_EQ(right.out, "8192\n");
  EXPECT_TRUE(test::failed_with(serve({url(fixture), "compression=zstd"}, "true"), -1,
                                "compression must be lz4 or none, not zstd"));

  // Writes past a file-size limit fail on the server, as on a full disk:
  // the flush that ends the copy must say so. Without a flush the client
  // cannot be told; nbdkit's log still is, once the connection has closed.
  test::write_file(dir.file("local.img"), test::random_bytes(1 << 20, 3));
  RunResult copy, unflushed;
  std::string socket = dir.file("nbd.sock");
  std::unique_ptr<test::ChildProcess> served;
  {
    test::FileSizeLimit limit(512 << 10);
    ASSERT_TRUE(limit.active());
    copy = serve({url(fixture)}, "nbdcopy --flush " + dir.file("local.img") + " $uri");
    served = std::make_unique<test::ChildProcess>(nbdkit({url(fixture)}, "", socket));
    for (int i = 0; i < 500 && access(socket.c_str(), F_OK) != 0; ++i) usleep(10000);
    unflushed = test::run_program({"/usr/bin/nbdcopy", dir.file("local.img"), "nbd+unix:///?socket=" + socket});
  }
  test::ChildProcess& serving = *served;
  // Requests in flight together reach the plugin in any order, so the
  // failed writes may be listed in any order.
  EXPECT_NE(copy.status, 0);
  EXPECT_NE(copy.err.find("write(s) failed on the server: "), std::string::npos) << copy.err;
  EXPECT_NE(copy.err.find(" 524288+262144 (STATUS_EIO)"), std::string::npos) << copy.err;
  EXPECT_EQ(unflushed.status, 0) << unflushed.err;
  EXPECT_TRUE(serving.wait_for_error("when the connection closed: ")) << serving.err();
  EXPECT_NE(serving.err().find("write(s) failed on the server: "), std::string::npos) << serving.err();
  EXPECT_NE(serving.err().find(" 524288+262144 (STATUS_EIO)"), std::string::npos) << serving.err();
  serving.signal(SIGTERM);
  EXPECT_EQ(serving.wait(), 0) << serving.err();

  // The server going away under a connection in use: the next read fails,
  // nothing hangs.
  test::DaemonProcess daemon(test::random_bytes(1 << 20, 5));
  ASSERT_TRUE(daemon.start()) << daemon.process().err();
  test::ChildProcess reader(
      nbdkit({"url=tarvelo://127.0.0.1:" + std::to_string(daemon.port()) + "/disk/0"},
             "stdbuf -oL qemu-io -f raw -c 'read 0 64k' -c 'sleep 2000' -c 'read 512k 64k' $nbd"));
  ASSERT_TRUE(reader.wait_for_output("read 65536/65536 bytes")) << reader.err();
  daemon.stop();
  EXPECT_NE(reader.wait(), -1) << "still running after the server stopped";
  EXPECT_NE(reader.out().find("read failed: Input/output error"), std::string::npos) << reader.out();
  EXPECT_NE(reader.err().find("reading failed: Receive: connection closed by peer"), std::string::npos)
      << reader.err();
}

}  // namespace
}  // namespace tarvelo

#endif
