#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

#include <tarveloftp/AdminProtocol.h>
#include <tarveloftp/Coding.h>
#include <tarveloftp/TarveloConfig.h>
#include <tarveloftp/TarveloFTPServer.h>

#include "ServerFixture.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using namespace admin_wire;

struct Answer {
  bool answered = false;
  uint8_t status = 0;
  std::string text;
};

Message command(uint8_t code, std::size_t size = kHeaderSize) {
  Message message(static_cast<long>(size));
  message.buffer()[kCommand] = static_cast<char>(code);
  return message;
}

// Commands as the administration program sends them.
Message encoded(uint8_t code, const std::string& name, const std::string& second = "", int lun = 0) {
  AdminCommand command;
  command.command = code;
  command.name = name;
  command.secret_or_path = second;
  command.lun = static_cast<uint8_t>(lun);
  return encode_admin_command(command);
}
Message add_target(const std::string& name, const std::string& passphrase = "") {
  return encoded(IPC_ADD_TARGET, name, passphrase);
}
Message remove_target(const std::string& name) { return encoded(IPC_REMOVE_TARGET, name); }
Message add_lun(const std::string& name, int lun, const std::string& path) {
  return encoded(IPC_ADD_LUN, name, path, lun);
}
Message remove_lun(const std::string& name, int lun) { return encoded(IPC_REMOVE_LUN, name, "", lun); }
Message listing(bool verbose) {
  AdminCommand command;
  command.command = IPC_GET_CONFIGURATION;
  command.verbose = verbose;
  return encode_admin_command(command);
}

Answer answer_of(const char* reply, std::size_t size) {
  Answer answer;
  if (size < kHeaderSize) return answer;
  answer.answered = true;
  EXPECT_EQ(reply[kCommand], IPC_STATUS);
  answer.status = static_cast<uint8_t>(reply[kStatus]);
  uint64_t length = DecodeFixed64BE(reply + kTextLength);
  EXPECT_EQ(size, kHeaderSize + length);
  answer.text.assign(reply + kText, std::min<uint64_t>(length, size - kText));
  return answer;
}

// One command on a fresh connection to the administration port.
Answer send_command(uint16_t admin_port, Message message) {
  BasicSocket socket(std::make_unique<TCPTransport>());
  if (!socket.connect("127.0.0.1", admin_port).ok() || !socket.send(message).ok()) return {};
  Transport::StatusCode status;
  Message reply = socket.receive(&status);
  if (!status.ok()) return {};
  // One command per connection: the server hangs up after answering.
  EXPECT_TRUE(socket.receive(&status).null());
  return answer_of(reply.buffer(), reply.size());
}

TEST(AdminChannelTest, EveryCommandAndItsRefusals) {
  test::ServerFixture fixture(8192);
  uint16_t port = fixture.server().admin_port();
  // A duplicate is refused (the program test sees the text) but the
  // passphrase changes all the same.
  ASSERT_EQ(send_command(port, add_target("second")).status, kSuccess);
  EXPECT_EQ(send_command(port, add_target("second", "new secret")).status, kFailure);
  EXPECT_EQ(fixture.server().endpoints().target("second").password(), "new secret");

  test::write_file(fixture.dir().file("second.img"), std::vector<char>(4096, 'Z'));
  EXPECT_EQ(send_command(port, add_lun("second", 3, fixture.dir().file("second.img"))).status, kSuccess);
  EXPECT_EQ(send_command(port, add_lun("second", 3, "/elsewhere")).text, "Endpoint already exists");
  EXPECT_EQ(send_command(port, add_lun("nosuch", 0, "/x")).text, "Endpoint does not exist");
  // What a saved configuration file could not give back the same is
  // refused, and nothing changes.
  for (const char* name : {"a]b", " padded", "two\nlines", "Config"})
    EXPECT_TRUE(test::contains(send_command(port, add_target(name)).text, "a saved configuration file cannot keep"))
        << name;
  EXPECT_TRUE(test::contains(send_command(port, add_lun("second", 5, "/x.img\nlun6 = /y.img")).text,
                             "it holds a control character"));
  EXPECT_TRUE(test::contains(send_command(port, add_target("second", "secret ")).text, "white space"));
  EXPECT_EQ(fixture.server().endpoints().target("second").password(), "new secret");
  EXPECT_FALSE(fixture.server().endpoints().target_exists("a]b"));

  // The new LUN is served at once.
  test::WireClient client(fixture.port());
  client.handshake("second", 3, 0);
  Message read = client.request(COMMAND_READ, 0, 16);
  client.authenticate("new secret");
  ASSERT_TRUE(client.send(read).ok());
  Message data = client.receive();
  ASSERT_EQ(data.size(), wire::kHeaderSize + 16);
  EXPECT_EQ(data.buffer()[wire::kReadData], 'Z');

  EXPECT_TRUE(test::contains(send_command(port, listing(true)).text, "\"ref_count\": 1"));

  // Removals in use are forced: the client is turned away, and others are
  // still served.
  EXPECT_EQ(send_command(port, remove_lun("second", 4)).text, "Endpoint does not exist");
  EXPECT_EQ(send_command(port, remove_target("nosuch")).status, kFailure);
  EXPECT_EQ(send_command(port, remove_target("second")).status, kSuccess);
  read = client.request(COMMAND_READ, 0, 16);
  ASSERT_TRUE(client.send(read).ok());
  EXPECT_TRUE(client.closed_by_server());
  EXPECT_EQ(send_command(port, remove_lun("disk", 0)).status, kSuccess);
  EXPECT_EQ(send_command(port, remove_target("disk")).status, kSuccess);
  EXPECT_EQ(send_command(port, listing(false)).text, "{}");
}

TEST(AdminChannelTest, DecoderNeedsTheDeclaredBytesAndNoMore) {
  Message verbose = command(IPC_GET_CONFIGURATION, kVerbose + 1);
  verbose.buffer()[kVerbose] = 1;
  Message endless = remove_target("abc");
  EncodeFixed64BE(endless.buffer() + kRemoveTargetNameLength, UINT64_MAX);
  struct Case {
    const char* what;
    Message message;
    std::size_t size;  // how much of it arrives
    bool accepted;
  };
  const std::vector<Case> cases{
      {"listing of 9 bytes", verbose, verbose.size(), true},
      {"listing without its verbose byte", verbose, kVerbose, false},
      {"remove target of 16 + N bytes", remove_target("abc"), 16 + 3, true},
      {"remove target a byte short", remove_target("abc"), 16 + 2, false},
      {"remove target cut in its length", remove_target("abc"), 12, false},
      {"remove target of endless name", endless, endless.size(), false},
      {"remove LUN of 24 + N bytes", remove_lun("abc", 7), 24 + 3, true},
      {"remove LUN a byte short", remove_lun("abc", 7), 24 + 2, false},
      {"add target of 24 + N + P bytes", add_target("abc", "pw"), 24 + 5, true},
      {"add target a byte short", add_target("abc", "pw"), 24 + 4, false},
      {"add LUN of 32 + N + P bytes", add_lun("abc", 1, "/p"), 32 + 5, true},
      {"add LUN a byte short", add_lun("abc", 1, "/p"), 32 + 4, false},
      {"padded as the admin program sends", command(IPC_GET_CONFIGURATION, kHeaderSize + 7), kHeaderSize + 7, true},
      {"command byte alone", remove_lun("abc", 7), 1, false},
      {"unknown command byte alone", command(9), 1, false},
      {"nothing", command(IPC_GET_CONFIGURATION), 0, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    // Exactly what arrived, so that a read past it is caught by the sanitizers.
    std::vector<char> bytes(test.message.buffer(), test.message.buffer() + test.size);
    AdminCommand decoded;
    std::string error;
    bool accepted = decode_admin_command(bytes.data(), bytes.size(), &decoded, &error);
    EXPECT_EQ(accepted, test.accepted) << error;
    EXPECT_EQ(error.empty(), accepted);
    if (accepted && decoded.command != IPC_GET_CONFIGURATION) {
      EXPECT_EQ(decoded.name, "abc");
    }
  }
  AdminCommand decoded;
  std::string error;
  ASSERT_TRUE(decode_admin_command(verbose.buffer(), verbose.size(), &decoded, &error));
  EXPECT_TRUE(decoded.verbose);
  ASSERT_TRUE(decode_admin_command(remove_lun("abc", 7).buffer(), 27, &decoded, &error));
  EXPECT_EQ(decoded.lun, 7);
  ASSERT_TRUE(decode_admin_command(add_lun("abc", 1, "/p").buffer(), 37, &decoded, &error));
  EXPECT_EQ(decoded.secret_or_path, "/p");

  // What the administration program sends: the 32-byte front, then the strings.
  auto bytes_of = [](const Message& message) { return std::string(message.buffer(), message.size()); };
  const std::string zeros(8, '\0');
  EXPECT_EQ(bytes_of(add_lun("ab", 7, "/p")), std::string("\x02", 1) + zeros.substr(1) + "\x07" + zeros.substr(1) +
                                                  zeros.substr(1) + "\x02" + zeros.substr(1) + "\x02" + "ab/p");
  EXPECT_EQ(bytes_of(remove_target("ab")),
            std::string("\x01", 1) + zeros.substr(1) + zeros.substr(1) + "\x02" + "ab" + zeros + zeros);
  EXPECT_EQ(bytes_of(listing(true)), std::string("\x05", 1) + zeros.substr(1) + "\x01" + std::string(23, '\0'));

  // A status needs its front and the text it declares.
  Message status = encode_admin_status(kFailure, "no");
  AdminStatus answer;
  EXPECT_EQ(decode_admin_status(status.buffer(), kHeaderSize - 1, &answer), ADMIN_STATUS_SHORT);
  for (uint64_t declared : {status.size() - kText + 1, uint64_t{UINT64_MAX}}) {
    EncodeFixed64BE(status.buffer() + kTextLength, declared);
    EXPECT_EQ(decode_admin_status(status.buffer(), status.size(), &answer), ADMIN_STATUS_TEXT_CUT) << declared;
  }
  status = encode_admin_status(kFailure, "no");
  ASSERT_EQ(decode_admin_status(status.buffer(), status.size(), &answer), ADMIN_STATUS_COMPLETE);
  EXPECT_EQ(answer.status, kFailure);
  EXPECT_EQ(answer.text, "no");
}

TEST(AdminChannelTest, MalformedUnknownAndUnrenderable) {
  test::ServerFixture fixture(8192);
  uint16_t port = fixture.server().admin_port();
  Answer unknown = send_command(port, command(4));
  ASSERT_TRUE(unknown.answered);  // answered and closed, not left hanging
  EXPECT_EQ(unknown.status, kFailure);
  EXPECT_EQ(unknown.text, "Unknown command");

  Message lying = add_target("abc");
  EncodeFixed64BE(lying.buffer() + kAddTargetNameLength, 1000);  // more than arrived
  Answer malformed = send_command(port, lying);
  EXPECT_EQ(malformed.status, kFailure);
  EXPECT_NE(malformed.text.find("shorter than the lengths it declares"), std::string::npos);
  EXPECT_EQ(send_command(port, command(IPC_GET_CONFIGURATION, 4)).status, kFailure);
  // A command as short as its own fields is complete, even short of byte 32.
  Answer listed = send_command(port, command(IPC_GET_CONFIGURATION, kVerbose + 1));
  EXPECT_EQ(listed.status, kSuccess);
  EXPECT_TRUE(test::contains(listed.text, fixture.image_path())) << listed.text;

  // A path that is not UTF-8 cannot be listed as JSON, in either form; the
  // administration thread is still there and the table was released.
  EXPECT_EQ(send_command(port, add_lun("disk", 9, "/bad\xff\xfe")).status, kSuccess);
  for (bool verbose : {false, true}) {
    Answer refused = send_command(port, listing(verbose));
    EXPECT_EQ(refused.status, kFailure);
    EXPECT_TRUE(test::contains(refused.text, "invalid UTF-8 byte at index 4")) << refused.text;
  }
  EXPECT_EQ(send_command(port, remove_lun("disk", 9)).status, kSuccess);
  EXPECT_EQ(send_command(port, listing(false)).status, kSuccess);
}

TEST(AdminChannelTest, OnlyTheServersUserAndRootMayAdminister) {
  if (geteuid() != 0) GTEST_SKIP() << "Connecting as another user needs root";
  test::CaptureLog log;
  test::ServerFixture fixture(8192);
  uint16_t port = fixture.server().admin_port();
  Message takeover = add_target("stolen");
  test::ChildOutput other = test::run_as_user(test::kNobody, [&] {
    return test::ask_raw("127.0.0.1", port, std::string(takeover.buffer(), takeover.size()));
  });
  ASSERT_TRUE(other.ok);
  Answer refused = answer_of(other.output.data(), other.output.size());
  EXPECT_TRUE(refused.answered);  // and then hung up on (ask_raw checks)
  EXPECT_EQ(refused.status, kFailure);
  EXPECT_EQ(refused.text, "Permission denied");
  EXPECT_TRUE(test::contains(log.err(), "Refusing administration client of uid 65534: Permission denied"))
      << log.err();
  // Root (this test) still administers the server.
  Answer listed = send_command(port, listing(false));
  EXPECT_EQ(listed.status, kSuccess);
  EXPECT_FALSE(test::contains(listed.text, "stolen")) << listed.text;
  EXPECT_EQ(send_command(port, add_target("mine")).status, kSuccess);
}

// The administration program: each command, the passphrase file's first
// line only (as tarveloftp reads it), and what the server serves now saved
// and read back through the configuration reader, where the [config]
// section stays as it was written and old target sections go.
TEST(AdminChannelTest, AdminProgramEditsAndSavesTheServedTargets) {
  test::ServerFixture fixture(8192);
  fixture.server().endpoints().target("disk").read_only(true);
  std::string port = std::to_string(fixture.port());
  auto admin = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", port});
    return test::run_tool("tarveloftp-admin", args);
  };
  std::ofstream(fixture.dir().file("secret")) << "hunter2\r\nsecond line\n";
  test::RunResult added = admin({"add-target", "extra", "--passphrase-file", fixture.dir().file("secret")});
  ASSERT_EQ(added.status, 0) << added.err;
  ASSERT_EQ(admin({"add-lun", "extra", "2", fixture.image_path()}).status, 0);
  EXPECT_NE(admin({"list"}).out.find("\"extra\""), std::string::npos);
  EXPECT_TRUE(test::failed_with(admin({"add-target", "extra"}), -1, "Endpoint already exists"));
  // Changing a passphrase through the channel leaves the target read-only.
  admin({"add-target", "disk", "--passphrase-file", fixture.dir().file("secret")});
  EXPECT_EQ(admin({"add-lun", "extra", "3", fixture.image_path()}).status, 0);
  EXPECT_EQ(admin({"remove-lun", "extra", "3"}).status, 0);
  // A relative path is the one the program's user sees, not one in the
  // server's working directory.
  test::RunResult relative = test::run_program(
      {"/bin/sh", "-c", "cd '" + fixture.dir().path().string() + "' && '" + test::tool_path("tarveloftp-admin") +
                            "' --port " + port + " add-lun extra 4 relative.img"});
  ASSERT_EQ(relative.status, 0) << relative.err;
  EXPECT_EQ(fixture.server().endpoints().target("extra").lun(4).file(), fixture.dir().file("relative.img"));
  EXPECT_EQ(admin({"remove-lun", "extra", "4"}).status, 0);

  std::string path = fixture.dir().file("tarveloftp.ini");
  std::ofstream(path) << "[config]\nport = 4100\nkeep_alive_timeout = 30\n\n[gone]\nlun0 = /img/gone\n";
  test::RunResult saved = admin({"save", "--config", path});
  ASSERT_EQ(saved.status, 0) << saved.err;
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);

  TarveloConfig config = TarveloConfig::load(path);
  EXPECT_EQ(config.getPort(), 4100);
  EXPECT_EQ(config.getKeepAliveTimeout(), 30);  // a key the writer would not have written
  config::Endpoints& endpoints = config.getEndpoints();
  EXPECT_FALSE(endpoints.target_exists("gone"));
  EXPECT_EQ(endpoints.target("extra").password(), "hunter2");
  EXPECT_EQ(endpoints.target("extra").lun(2).file(), fixture.image_path());
  EXPECT_FALSE(endpoints.target("extra").lun_exists(3));
  EXPECT_FALSE(endpoints.target("extra").read_only());
  EXPECT_TRUE(endpoints.target("disk").read_only());
  EXPECT_EQ(endpoints.target("disk").lun(0).file(), fixture.image_path());
  EXPECT_TRUE(test::failed_with(admin({"save", "--config", fixture.dir().file("no/such/x.ini")}), -1,
                                "cannot save"));
  EXPECT_EQ(admin({"remove-target", "extra"}).status, 0);
  EXPECT_FALSE(fixture.server().endpoints().target_exists("extra"));
  EXPECT_TRUE(test::failed_with(
      test::run_tool("tarveloftp-admin", {"--port", std::to_string(test::free_port()), "list"}), -1,
      "cannot reach"));
}

}  // namespace
}  // namespace tarvelo
