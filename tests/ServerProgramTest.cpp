#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <tarvelo/Crypto.h>
#include <tarveloftp/TarveloConfig.h>

#include "ServerFixture.h"
#include "ServerSafety.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

std::string write_config(test::TempDir& dir, uint16_t port, const std::string& targets) {
  std::string path = dir.file("server.ini");
  std::ofstream(path) << "[config]\naddress = 127.0.0.1\nport = " << port << "\n\n" << targets;
  return path;
}

// A datagram socket like the one systemd gives in NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : m_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    (void)bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    timeval patience{20, 0};
    (void)setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  }
  ~NotifySocket() { ::close(m_fd); }
  // The next notification, "" when none comes.
  std::string receive() {
    char buffer[4096];
    ssize_t got = recv(m_fd, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
  }

 private:
  int m_fd;
};

TEST(ServerProgramTest, SighupReloadsTargetsWhileClientsRead) {
  test::DaemonProcess server(test::random_bytes(1 << 16, 5));
  test::TempDir dir;
  test::write_file(dir.file("old.img"), std::vector<char>(4096, 'o'));
  test::write_file(dir.file("new.img"), std::vector<char>(4096, 'n'));
  std::ofstream(server.config(), std::ios::app) << "[old]\nlun0 = " << dir.file("old.img") << "\n";
  NotifySocket notify(dir.file("notify"));
  ASSERT_TRUE(server.start({}, {"NOTIFY_SOCKET=" + dir.file("notify")})) << server.process().err();
  EXPECT_TRUE(test::contains(server.process().out(), "serving disk (1 LUN), old (1 LUN)")) << server.process().out();
  std::string status = "STATUS=Serving 2 targets (2 LUNs) on 127.0.0.1:" + std::to_string(server.port());

  test::WireClient reader(server.port());
  ASSERT_FALSE(reader.handshake("disk", 0, 0).null());
  auto reads = [&] { return reader.exchange(COMMAND_READ, 0, 4096).size() == wire::kHeaderSize + 4096; };
  auto opens = [&](const std::string& target) {
    Message answer = test::WireClient(server.port()).handshake(target, 0, 0);
    return answer.size() >= wire::kHeaderSize && answer.buffer()[wire::kHandshakeStatus] == STATUS_SUCCESS;
  };
  ASSERT_TRUE(reads());

  // [disk] leaves the file while read, [old] leaves unused, [new] arrives.
  std::ofstream(server.config(), std::ios::trunc) << "[config]\naddress = 127.0.0.1\nport = " << server.port()
                                                  << "\nkeep_alive_timeout = 30\n[new]\nlun0 = "
                                                  << dir.file("new.img") << "\n";
  server.process().signal(SIGHUP);
  ASSERT_TRUE(server.process().wait_for_output("Reloaded " + server.config() +
                                               ": 1 target added, 1 removed, 1 kept in use"))
      << server.process().out() << server.process().err();
  std::string errors = server.process().err();
  EXPECT_TRUE(test::contains(errors, "keeps [disk], which clients still use")) << errors;
  EXPECT_TRUE(test::contains(errors, "leaves keep_alive_timeout as they were")) << errors;
  EXPECT_TRUE(reads());
  EXPECT_TRUE(opens("new"));
  EXPECT_FALSE(opens("old"));

  // A file that cannot be read changes nothing.
  std::filesystem::rename(server.config(), server.config() + ".moved");
  server.process().signal(SIGHUP);
  EXPECT_TRUE(server.process().wait_for_error("refused, nothing changed: cannot read it: No such file"))
      << server.process().err();
  EXPECT_TRUE(reads());
  EXPECT_TRUE(opens("new"));
  EXPECT_EQ(server.stop(), 0) << server.process().err();

#ifdef TARVELOFTP_HAVE_SYSTEMD
  EXPECT_EQ(notify.receive(), "READY=1\n" + status);
  for (int reload = 0; reload < 2; ++reload) {
    EXPECT_TRUE(notify.receive().starts_with("RELOADING=1\nMONOTONIC_USEC="));
    EXPECT_EQ(notify.receive(), "READY=1\n" + status);
  }
  EXPECT_EQ(notify.receive(), "STOPPING=1");
#endif
}

// Where systemd-analyze cannot run, a unit known to be good fails too, and
// the test skips.
TEST(ServerProgramTest, ServiceUnitsPassSystemdVerify) {
  test::TempDir dir;
  std::ofstream(dir.file("known-good.service")) << "[Service]\nExecStart=/bin/true\n";
  // env finds the program in PATH (127 when it is not there).
  test::RunResult probe = test::run_program({"/usr/bin/env", "systemd-analyze", "verify", dir.file("known-good.service")});
  if (probe.status != 0 || !probe.err.empty())
    GTEST_SKIP() << "systemd-analyze verify cannot run here (status " << probe.status << "): " << probe.err;
  std::string units = TARVELOFTP_UNITS_DIR;
  test::RunResult verified = test::run_program(
      {"/usr/bin/env", "systemd-analyze", "verify", units + "/tarveloftpd.service", units + "/tarveloftpd@.service"});
  EXPECT_EQ(verified.status, 0) << verified.err;
  // Unknown keys and bad values are warnings only.
  EXPECT_EQ(verified.err, "");
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
  // A port that the file's reader would cut (99999 to 34463) or take as 0
  // (a port the system picks) is refused, not listened on.
  for (const char* port_line : {"port = 65535\n", "port = 99999\n", "port = 0x10\n", ""}) {
    std::ofstream(dir.file("port.ini")) << "[config]\naddress = 127.0.0.1\n" << port_line << targets;
    test::RunResult refused = run({"--config", dir.file("port.ini")});
    EXPECT_TRUE(test::failed_with(refused, -1, "use 1 to 65534")) << port_line;
    EXPECT_FALSE(test::contains(refused.out, "listening")) << refused.out;
  }
  // So is a hash directory that is not there, which every client asking for
  // block hashes would find.
  std::ofstream(dir.file("hashes.ini")) << "[config]\naddress = 127.0.0.1\nport = " << port
                                        << "\nhash_directory = " << dir.file("no-such-dir") << "\n"
                                        << targets;
  EXPECT_TRUE(test::failed_with(run({"--config", dir.file("hashes.ini"), "--block-hash-storage"}), -1,
                                "is not a directory"));

  // A passphrase key in another case is ignored: the target would be open.
  // (Which spelling of keys that differ in case counts: TarveloConfigTest.)
  test::RunResult refused = run({"--config", write_config(dir, port, targets + "Password = x\n")});
  EXPECT_TRUE(test::failed_with(refused, -1, "the target has no passphrase"));
  EXPECT_TRUE(test::failed_with(refused, -1, "refusing to serve [disk] without a passphrase"));
  EXPECT_EQ(refused.out.find("listening"), std::string::npos) << refused.out;
  // Likewise a target that may be meant read-only.
  EXPECT_TRUE(test::failed_with(run({"--config", write_config(dir, port, targets + "read_only = maybe\n")}), -1,
                                "refusing to serve [disk] writable"));
  // Spelled right first, the target is protected and a warning is enough.
  test::ChildProcess both({test::tool_path("tarveloftpd"), "--config",
                           write_config(dir, port, targets + "password = y\nPassword = x\n")});
  EXPECT_TRUE(both.wait_for_output("listening on 127.0.0.1:" + std::to_string(port))) << both.err();
  both.signal(SIGTERM);
  EXPECT_EQ(both.wait(), 0);
  EXPECT_TRUE(test::contains(both.err(), "Key \"Password\" of target [disk] is read as")) << both.err();
  EXPECT_FALSE(test::contains(both.err(), "no passphrase")) << both.err();
  // Loopback only: nothing crosses a network.
  EXPECT_FALSE(test::contains(both.err(), "readable by anyone")) << both.err();

  test::RunResult help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--block-hash-storage"), std::string::npos);

  // Every program names the library it runs with, even where a subcommand
  // is otherwise required.
  for (const std::string program : {"tarveloftpd", "tarveloftp", "tarveloftp-admin"}) {
    test::RunResult version = test::run_tool(program, {"--version"});
    EXPECT_EQ(version.status, 0) << program << ": " << version.err;
    EXPECT_TRUE(test::contains(version.out, program + " ")) << version.out;
    EXPECT_TRUE(test::contains(version.out, "libtarveloftp.so.0")) << version.out;
    EXPECT_TRUE(test::contains(version.out, "protocol ")) << version.out;
  }
}

// Tests listen on loopback only, so the decision behind the start-up
// warning is tested on its own.
TEST(ServerProgramTest, WarnsOfPassphrasesInClearOffLoopback) {
  test::CaptureLog log;
  auto in_clear = [](const std::string& settings, const std::string& targets = "[disk]\npassword = p\n") {
    TarveloConfig config = TarveloConfig::loads("[config]\n" + settings + "\n" + targets);
    return tools::sends_secrets_in_clear(config);
  };
  for (const std::string address : {"127.0.0.1", "127.1.2.3", "::1", "localhost", "::ffff:127.0.0.1"})
    EXPECT_FALSE(in_clear("address = " + address)) << address;
  for (const std::string address :
       {"*", "", "0.0.0.0", "::", "10.0.0.1", "128.0.0.1", "storage1.example.net", "127.0.0.1.example.net"})
    EXPECT_TRUE(in_clear("address = " + address)) << address;
  EXPECT_FALSE(in_clear("address = *\ntransport = tls"));
  EXPECT_FALSE(in_clear("address = *\nencryption = xsalsa20"));
  EXPECT_FALSE(in_clear("address = *", "[disk]\nlun0 = /img\n[open]\npassword =\n"));
  EXPECT_TRUE(in_clear("address = *", "[disk]\nlun0 = /img\n[locked]\npassword = p\n"));
}

// put then get of a half-zero file with the client program, given the
// connection flags; true when what comes back is what went out.
bool put_and_get_with_tool(const test::DaemonProcess& served, const std::vector<std::string>& flags,
                           std::string* errors) {
  test::TempDir dir;
  std::vector<char> local = test::random_bytes(1 << 20, 21);
  std::fill(local.begin(), local.begin() + local.size() / 2, 0);
  test::write_file(dir.file("local.img"), local);
  std::string url = "tarvelo://127.0.0.1:" + std::to_string(served.port()) + "/disk/0";
  std::vector<std::string> put{"put", dir.file("local.img"), url, "-q"};
  std::vector<std::string> get{"get", url, dir.file("back.img"), "-q"};
  put.insert(put.end(), flags.begin(), flags.end());
  get.insert(get.end(), flags.begin(), flags.end());
  test::RunResult sent = test::run_tool("tarveloftp", put);
  test::RunResult fetched = test::run_tool("tarveloftp", get);
  *errors = sent.err + fetched.err;
  return sent.status == 0 && fetched.status == 0 && test::read_file(dir.file("back.img")) == local;
}

TEST(ServerTransportOptionsTest, ClientProgramSpeaksEachSetting) {
  const test::TlsFiles& files = test::tls_files();
  const std::vector<char> image = test::random_bytes(1 << 20, 3);
  {
    test::DaemonProcess served(image, "transport = tls\ntls_certificate_file = " + files.certificate +
                                          "\ntls_key_file = " + files.key + "\nkeep_alive_timeout = 30\n");
    ASSERT_TRUE(served.start()) << served.process().err();
    test::ChildProcess& server = served.process();
    EXPECT_NE(server.out().find("tarveloftpd: transport tls (certificate " + files.certificate + ", key " +
                                 files.key + "), encryption none, compression none, keep-alive after 30 s"),
              std::string::npos)
        << server.out();
    std::string errors;
    EXPECT_TRUE(put_and_get_with_tool(served, {"--tls", "--ca-file", files.ca}, &errors)) << errors;
    EXPECT_TRUE(put_and_get_with_tool(served, {"--tls", "--insecure"}, &errors)) << errors;
    EXPECT_NE(errors.find("warning: --insecure"), std::string::npos) << errors;
    EXPECT_FALSE(put_and_get_with_tool(served, {"--tls", "--ca-file", files.other_ca}, &errors));
    EXPECT_NE(errors.find("certificate verify failed"), std::string::npos) << errors;
    test::WireClient plain(served.port());
    EXPECT_TRUE(plain.handshake("disk", 0, 0).null());
    EXPECT_TRUE(put_and_get_with_tool(served, {"--tls", "--ca-file", files.ca}, &errors)) << errors;
  }
  {
    test::DaemonProcess served(image, "transport = udt\n");
    ASSERT_TRUE(served.start()) << served.process().err();
    EXPECT_NE(served.process().out().find("tarveloftpd: transport udt, encryption none, compression none"),
              std::string::npos)
        << served.process().out();
    std::string errors;
    EXPECT_TRUE(put_and_get_with_tool(served, {"--transport", "udt"}, &errors)) << errors;
    EXPECT_TRUE(test::failed_with(
        test::run_tool("tarveloftp", {"info", "tarvelo://127.0.0.1:1/disk/0", "--transport", "quic"}), 2,
        "--transport wants tcp, tls or udt"));
    EXPECT_EQ(served.stop(), 0) << served.process().err();
  }
  {
    unsigned char public_key[32], secret_key[32];
    crypto::XSalsa20::key_pair(public_key, secret_key);
    std::string encoded = TarveloConfig::encode(public_key, 32);
    test::DaemonProcess served(image, "encryption = xsalsa20\ncompression = lz4\npublic_key = " + encoded +
                                          "\nsecret_key = " + TarveloConfig::encode(secret_key, 32) + "\n");
    ASSERT_TRUE(served.start()) << served.process().err();
    test::ChildProcess& server = served.process();
    EXPECT_NE(server.out().find("tarveloftpd: transport tcp, encryption xsalsa20 (public key " + encoded +
                                 "), compression lz4, keep-alive off"),
              std::string::npos)
        << server.out();
    std::string errors;
    EXPECT_TRUE(put_and_get_with_tool(served, {"--compression", "lz4", "--server-public-key", encoded}, &errors))
        << errors;
    test::TempDir dir;
    test::write_file(dir.file("server.pub"), std::vector<char>(encoded.begin(), encoded.end()));
    EXPECT_TRUE(put_and_get_with_tool(
        served, {"--compression", "lz4", "--server-public-key", dir.file("server.pub")}, &errors))
        << errors;
    EXPECT_FALSE(put_and_get_with_tool(served, {"--server-public-key", encoded}, &errors));
    EXPECT_NE(errors.find("the server uses compression lz4 and encryption xsalsa20, this client compression none"),
              std::string::npos)
        << errors;
    // A client without the layers is refused, and the server goes on serving.
    test::WireClient plain(served.port());
    EXPECT_TRUE(plain.handshake("disk", 0, 0).null());
    EXPECT_TRUE(put_and_get_with_tool(served, {"--compression", "lz4", "--server-public-key", encoded}, &errors))
        << errors;
    EXPECT_EQ(served.stop(), 0) << server.err();
    EXPECT_NE(server.err().find("settings differ: the client uses compression none"), std::string::npos)
        << server.err();
    EXPECT_TRUE(test::failed_with(
        test::run_tool("tarveloftp", {"info", "tarvelo://127.0.0.1:1/disk/0", "--server-public-key", "abc"}), 2,
        "--server-public-key wants"));
  }
}

TEST(ServerTransportOptionsTest, RefusesSettingsItCannotHonour) {
  unsigned char public_key[32], secret_key[32], other_public[32], other_secret[32];
  crypto::XSalsa20::key_pair(public_key, secret_key);
  crypto::XSalsa20::key_pair(other_public, other_secret);
  const std::vector<std::pair<std::string, std::string>> cases{
      {"transport = udt\nkeep_alive_timeout = 30\n", "transport udt: the keep_alive settings apply to tcp and tls only"},
      {"transport = tls\ntls_certificate_file = /nonexistent/server.crt\ntls_key_file = /nonexistent/server.key\n",
       "transport tls: Cannot read TLS certificate file /nonexistent/server.crt"},
      {"keep_alive_probes = -1\n", "keep_alive_probes = -1 is out of range"},
      {"keep_alive_timeout = 40000\n", "keep_alive_timeout = 40000 is out of range"},
      {"encryption = xsalsa20\npublic_key = " + TarveloConfig::encode(other_public, 32) +
           "\nsecret_key = " + TarveloConfig::encode(secret_key, 32) + "\n",
       "encryption xsalsa20: public_key is not the public key of secret_key"},
  };
  // The way to a key pair for the file.
  test::RunResult keys = test::run_tool("tarveloftpd", {"--generate-keys"});
  ASSERT_EQ(keys.status, 0) << keys.err;
  TarveloConfig generated = TarveloConfig::loads("[config]\nencryption = xsalsa20\n" + keys.out);
  std::size_t at = keys.out.find("public_key = ");
  ASSERT_NE(at, std::string::npos) << keys.out;
  EXPECT_EQ(keys.out.substr(at + 13, 44), TarveloConfig::encode(generated.getXSalsa20PublicKey(), 32));
  EXPECT_TRUE(crypto::XSalsa20::is_key_pair(generated.getXSalsa20PublicKey(), generated.getXSalsa20SecretKey()));
  EXPECT_TRUE(test::failed_with(test::run_tool("tarveloftpd", {}), -1, "--config is required"));

  for (const auto& [settings, message] : cases) {
    test::DaemonProcess served(test::random_bytes(1 << 20, 3), settings);
    test::RunResult result = test::run_tool("tarveloftpd", {"--config", served.config()});
    EXPECT_NE(result.status, 0) << settings;
    EXPECT_NE(result.err.find("tarveloftpd: " + message), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("listening"), std::string::npos) << result.out;
  }
}

}  // namespace
}  // namespace tarvelo
