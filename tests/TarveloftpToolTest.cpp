// The tarveloftp program: its parsers directly, and the program itself run
// against a real server on loopback.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sodium.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <tuple>

#include <nlohmann/json.hpp>

#include "CommandLine.h"
#include "Passphrase.h"
#include "ServerFixture.h"
#include "Session.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using tools::ClientUrl;
using tools::parse_byte_count;
using tools::parse_client_url;

TEST(TarveloftpToolParsing, ClientUrls) {
  struct Case {
    const char* text;
    const char* host;
    uint16_t port;
    const char* target;
    unsigned lun;
  };
  const Case valid[] = {
      {"tarvelo://example.org/disks/0", "example.org", 3263, "disks", 0},
      {"tarvelo://127.0.0.1:4000/t/254", "127.0.0.1", 4000, "t", 254},
      {"tarvelo://[::1]:9/vm-images/7", "::1", 9, "vm-images", 7},
      {"tarvelo://h/with%2Fslash%20and%25/3", "h", 3263, "with/slash and%", 3},
  };
  for (const Case& c : valid) {
    ClientUrl url = parse_client_url(c.text);
    auto fields = [](const ClientUrl& u) { return std::tuple(u.host, u.port, u.target, static_cast<unsigned>(u.lun)); };
    EXPECT_EQ(fields(url), std::tuple(std::string(c.host), c.port, std::string(c.target), c.lun)) << c.text;
    // Printing and parsing again gives the same LUN.
    EXPECT_EQ(fields(parse_client_url(tools::to_string(url))), fields(url)) << c.text;
  }
  const char* invalid[] = {
      "http://h/t/0",       "tarvelo://h/t",       "tarvelo:///t/0",    "tarvelo://h:0/t/0",
      "tarvelo://h:65536/t/0", "tarvelo://h:12x/t/0", "tarvelo://h/t/255", "tarvelo://h/t/-1",
      "tarvelo://h/a/b/0",  "tarvelo://h/t%2/0",   "tarvelo://[::1/t/0",
  };
  for (const char* text : invalid) EXPECT_THROW(parse_client_url(text), std::invalid_argument) << text;
}

TEST(TarveloftpToolParsing, ByteCounts) {
  EXPECT_EQ(parse_byte_count("4096"), 4096);
  EXPECT_EQ(parse_byte_count("4k"), 4096);
  EXPECT_EQ(parse_byte_count("2GiB"), 2L << 30);
  EXPECT_EQ(parse_byte_count("1T"), 1L << 40);
  for (const char* text : {"", "-1", "M", "1.5M", "99999999999999999999", "9000000T"})
    EXPECT_THROW(parse_byte_count(text), std::invalid_argument) << text;
}

TEST(TarveloftpToolParsing, PassphraseSources) {
  // Both programs read passphrase files this way: the first line, without
  // its line end.
  test::TempDir dir;
  const struct {
    const char* contents;
    const char* passphrase;  // nullptr: refused
  } cases[] = {{"secret", "secret"},
               {"secret\n", "secret"},
               {"secret\r\n", "secret"},
               {"secret\nsecond line\n", "secret"},
               {"sec ret \r\n\r\n", "sec ret "},
               {"", nullptr},
               {"\nsecret\n", nullptr}};
  for (const auto& c : cases) {
    std::string file = dir.file("pass");
    { std::ofstream(file, std::ios::binary | std::ios::trunc) << c.contents; }
    if (c.passphrase) {
      EXPECT_EQ(tools::read_passphrase_file(file), c.passphrase) << c.contents;
      // A named file wins over the environment.
      EXPECT_EQ(tools::read_passphrase(file, std::string("from env")), c.passphrase) << c.contents;
    } else {
      EXPECT_THROW(tools::read_passphrase_file(file), std::runtime_error) << c.contents;
    }
  }
  try {
    tools::read_passphrase_file(dir.file("missing"));
    ADD_FAILURE() << "a missing file was read";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()),
              "cannot read passphrase file " + dir.file("missing") + ": No such file or directory");
  }
  EXPECT_EQ(tools::read_passphrase("", std::string("from env")), "from env");
  EXPECT_EQ(tools::read_passphrase("", std::nullopt), "");

  // A missing passphrase is suggested when the server ended the session
  // unanswered, not when it answered with a status.
  tools::Remote remote;
  remote.url = parse_client_url("tarvelo://h/t/0");
  auto failure = [&](const std::string& text) {
    return tools::request_failure(remote, "read failed", {text, TarveloFTPClient::kNoResponse});
  };
  EXPECT_TRUE(test::contains(failure("No response to COMMAND_READ"), "may need a passphrase"));
  EXPECT_FALSE(test::contains(failure("Error during read: STATUS_EIO"), "passphrase"));
}

// ---- the program against a real server ----

using test::RunResult;
using test::ServerFixture;

std::string url(const ServerFixture& fixture, const std::string& target = "disk") {
  return "tarvelo://127.0.0.1:" + std::to_string(fixture.port()) + "/" + target + "/0";
}

RunResult tarveloftp(std::vector<std::string> args, const std::vector<std::string>& environment = {}) {
  return test::run_tool("tarveloftp", std::move(args), environment);
}

// The number after `words ` in a text report ("sent 24576 bytes"), -1 when
// the words are missing.
long figure(const std::string& text, const std::string& words) {
  std::size_t at = text.find(words + " ");
  return at == std::string::npos ? -1 : std::stol(text.substr(at + words.size() + 1));
}

// A merge's text and JSON reports give the same figures.
void expect_same_merge_figures(const std::string& text, const nlohmann::json& report, const char* moved) {
  EXPECT_EQ(report["compared"], figure(text, "compared")) << text << report;
  EXPECT_EQ(report[moved], figure(text, moved)) << text << report;
  std::string ranges = "(" + report["differing_ranges"].dump() + " of " + report["ranges"].dump() + " ranges differed";
  EXPECT_NE(text.find(ranges), std::string::npos) << text << report;
}

// Hidden files in `dir`: get's temporary files, which must not outlive it.
int hidden_files(const test::TempDir& dir, bool with_data = false) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    struct stat info {};
    if (entry.path().filename().string()[0] == '.' && ::stat(entry.path().c_str(), &info) == 0 &&
        (!with_data || info.st_blocks > 0))
      ++count;
  }
  return count;
}

// The bytes a file holds on disk; holes take none.
long allocated(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return static_cast<long>(info.st_blocks) * 512;
}

TEST(TarveloftpTool, PutThenGetRoundTripsAnImage) {
  test::CaptureLog log;
  ServerFixture fixture(4 << 20);
  test::TempDir dir;
  // Random data with a zero megabyte in the middle, not a multiple of the chunk.
  std::vector<char> local = test::random_bytes(3 * (1 << 20) + 1234, 21);
  std::memset(local.data() + (1 << 20), 0, 1 << 20);
  test::write_file(dir.file("local.img"), local);

  // Dense first: every byte goes as data. Then sparse: the zero megabyte
  // over the server's random bytes is punched, not sent.
  RunResult put = tarveloftp({"put", dir.file("local.img"), url(fixture), "--chunk-size", "256K",
                              "--connections", "3", "--quiet", "--no-sparse"});
  ASSERT_EQ(put.status, 0) << put.err;
  EXPECT_NE(put.out.find("sent " + std::to_string(local.size()) + " bytes"), std::string::npos) << put.out;
  EXPECT_GE(allocated(fixture.image_path()), 4L << 20);
  put = tarveloftp({"put", dir.file("local.img"), url(fixture), "--chunk-size", "256K", "--connections", "3",
                    "--quiet"});
  ASSERT_EQ(put.status, 0) << put.err;
  EXPECT_NE(put.out.find("sent " + std::to_string(local.size() - (1 << 20)) + " bytes, "), std::string::npos)
      << put.out;
  std::vector<char> remote = fixture.image();
  ASSERT_EQ(remote.size(), 4u << 20);
  EXPECT_TRUE(std::equal(local.begin(), local.end(), remote.begin()));
  EXPECT_LE(allocated(fixture.image_path()), 3L << 20);

  // get fetches only what is not zeros, and leaves the zeros as holes.
  RunResult get = tarveloftp({"get", url(fixture), dir.file("back.img"), "--length",
                              std::to_string(local.size()), "--chunk-size", "300000", "--quiet"});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(test::read_file(dir.file("back.img")), local);
  EXPECT_NE(get.out.find("received " + std::to_string(local.size() - (1 << 20)) + " bytes"), std::string::npos)
      << get.out;
  EXPECT_LT(allocated(dir.file("back.img")), static_cast<long>(local.size()) - (512 << 10));
  get = tarveloftp({"get", url(fixture), dir.file("dense.img"), "--length", std::to_string(local.size()),
                    "--quiet", "--no-sparse"});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_NE(get.out.find("received " + std::to_string(local.size()) + " bytes"), std::string::npos) << get.out;
  EXPECT_EQ(test::read_file(dir.file("dense.img")), local);

  // A range of the image, and the whole image by default.
  get = tarveloftp({"get", url(fixture), dir.file("part.img"), "--offset", "1000", "--length", "5000", "-q"});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(test::read_file(dir.file("part.img")), std::vector<char>(local.begin() + 1000, local.begin() + 6000));
  get = tarveloftp({"get", url(fixture), dir.file("all.img"), "-q"});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(test::read_file(dir.file("all.img")), fixture.image());
  RunResult get_json = tarveloftp({"get", url(fixture), dir.file("all.img"), "--json"});
  ASSERT_EQ(get_json.status, 0) << get_json.err;
  EXPECT_EQ(nlohmann::json::parse(get_json.out)["received"], figure(get.out, "received")) << get_json.out;
  // Over an existing file: replaced by the range, its mode kept, nothing
  // left beside it; --in-place writes into the file itself.
  ASSERT_EQ(::chmod(dir.file("all.img").c_str(), 0640), 0);
  struct stat info {};
  get = tarveloftp({"get", url(fixture), dir.file("all.img"), "--offset", "1000", "--length", "5000", "-q"});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(test::read_file(dir.file("all.img")), test::read_file(dir.file("part.img")));
  ASSERT_EQ(stat(dir.file("all.img").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  ino_t replaced = info.st_ino;
  get = tarveloftp({"get", url(fixture), dir.file("all.img"), "--length", "7000", "--in-place", "-q"});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(test::read_file(dir.file("all.img")), std::vector<char>(local.begin(), local.begin() + 7000));
  ASSERT_EQ(stat(dir.file("all.img").c_str(), &info), 0);
  EXPECT_EQ(info.st_ino, replaced);
  EXPECT_EQ(hidden_files(dir), 0);

  // compare answers like cmp: 0 equal, 1 different, 2 trouble.
  EXPECT_EQ(tarveloftp({"compare", dir.file("local.img"), url(fixture), "-q"}).status, 0);
  local[3 << 20] ^= 0x40;
  test::write_file(dir.file("local.img"), local);
  RunResult differ = tarveloftp({"compare", dir.file("local.img"), url(fixture), "-q"});
  EXPECT_EQ(differ.status, 1);
  EXPECT_NE(differ.out.find("differ"), std::string::npos) << differ.out;
  RunResult differ_json = tarveloftp({"compare", dir.file("local.img"), url(fixture), "--json"});
  EXPECT_EQ(differ_json.status, 1);
  nlohmann::json report = nlohmann::json::parse(differ_json.out);
  EXPECT_FALSE(report["equal"]);
  ASSERT_EQ(report["differing"].size(), 1u) << differ_json.out;
  EXPECT_NE(differ.out.find(": 1 of " + report["ranges"].dump() + " ranges, the first at offset " +
                            report["differing"][0]["offset"].dump() + " length " +
                            report["differing"][0]["length"].dump()),
            std::string::npos)
      << differ.out << differ_json.out;
  EXPECT_EQ(tarveloftp({"compare", dir.file("missing.img"), url(fixture), "-q"}).status, 2);
}

// Thin images: put punches every gap (far more than go out in one batch)
// over the server's old bytes, and get leaves out a whole window of holes,
// then, in the wide window that follows, fetches a run of data among holes,
// dense data whole, and scattered blocks after dense data without fetching
// them whole.
TEST(TarveloftpTool, SparseTransfersOfThinImages) {
  test::CaptureLog log;
  constexpr long kMiB = 1 << 20;
  constexpr long kImage = 320 * kMiB;
  // Random bytes at the start of the image, the rest holes.
  ServerFixture fixture(kMiB, false, [](config::Endpoints&, test::TempDir& dir) {
    ASSERT_EQ(::truncate(dir.file("image.img").c_str(), kImage), 0);
  });
  test::TempDir dir;
  const std::string path = dir.file("thin.img");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, kImage), 0);
  long data = 0;
  auto put_data = [&](long offset, const std::vector<char>& bytes) {
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    data += static_cast<long>(bytes.size());
  };
  // 0-64 MiB: holes. 64-128 MiB: a run of 1 MiB, the second 4 KiB block a
  // zero block of data (sent as a punch too).
  std::vector<char> run = test::random_bytes(kMiB, 31);
  std::memset(run.data() + 4096, 0, 4096);
  put_data(67 * kMiB, run);
  data -= 4096;
  // 128-192 MiB: dense. 192-320 MiB: a 4 KiB block every 256 KiB, and every
  // 8 KiB in the first 6 MiB after the dense data.
  put_data(128 * kMiB, test::random_bytes(64 * kMiB, 32));
  for (long at = 192 * kMiB; at < kImage; at += at < 198 * kMiB ? 8192 : 256 << 10)
    put_data(at, test::random_bytes(4096, static_cast<uint32_t>(at >> 12)));
  ASSERT_EQ(::close(fd), 0);
  const std::vector<char> local = test::read_file(path);

  RunResult put = tarveloftp({"put", path, url(fixture), "--chunk-size", "1M", "--connections", "2", "--quiet"});
  ASSERT_EQ(put.status, 0) << put.err;
  EXPECT_EQ(figure(put.out, "sent"), data) << put.out;
  EXPECT_TRUE(fixture.image() == local);
  EXPECT_LE(allocated(fixture.image_path()), data + kMiB);

  // One session, so that the windows come in order.
  RunResult get = tarveloftp({"get", url(fixture), dir.file("back.img"), "--chunk-size", "1M", "--connections",
                              "1", "--quiet"});
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_TRUE(test::read_file(dir.file("back.img")) == local);
  EXPECT_LE(allocated(dir.file("back.img")), data + kMiB);
  // The window after dense data is not taken for dense: its samples show
  // zeros although every piece of it holds data.
  EXPECT_GE(figure(get.out, "received"), data) << get.out;
  EXPECT_LE(figure(get.out, "received"), data + data / 10) << get.out;
}

// Standard input and output carry the image through pipes: in order, zeros
// written out, and nothing else on standard output.
TEST(TarveloftpTool, StreamsThroughPipes) {
  test::CaptureLog log;
  ServerFixture fixture(2 << 20);
  test::TempDir dir;
  ASSERT_EQ(tarveloftp({"punch", url(fixture), "--offset", "64K", "--length", "128K"}).status, 0);
  const std::string tool = "'" + test::tool_path("tarveloftp") + "' ";
  auto shell = [](const std::string& script) { return test::run_program({"/bin/sh", "-c", script}); };
  const std::string out = dir.file("out");
  RunResult get = shell(tool + "get " + url(fixture) + " - --chunk-size 64K --connections 3 | cat >" + out);
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(test::read_file(out), fixture.image());
  get = shell(tool + "get " + url(fixture) + " - --offset 1000 --length 300000 -q | cat >" + out);
  std::vector<char> image = fixture.image();
  EXPECT_EQ(test::read_file(out), std::vector<char>(image.begin() + 1000, image.begin() + 301000));

  std::vector<char> local = test::random_bytes(3 << 19, 51);
  test::write_file(dir.file("in"), local);
  RunResult put = shell("cat " + dir.file("in") + " | " + tool + "put - " + url(fixture) +
                        " -q --chunk-size 256K --connections 3");
  ASSERT_EQ(put.status, 0) << put.err;
  image = fixture.image();
  EXPECT_TRUE(std::equal(local.begin(), local.end(), image.begin()));
  // --size sends that much of the input.
  put = shell("head -c 8K /dev/zero | " + tool + "put - " + url(fixture) + " -q --size 4K");
  ASSERT_EQ(put.status, 0) << put.err;
  std::fill(local.begin(), local.begin() + 4096, 0);
  image = fixture.image();
  EXPECT_TRUE(std::equal(local.begin(), local.end(), image.begin()));

  // Input that does not fit the image is refused, nothing written past its end.
  put = shell("head -c 2097153 /dev/zero | " + tool + "put - " + url(fixture) + " -q");
  EXPECT_TRUE(test::failed_with(put, 1, "standard input is longer than the remote image (2097152 bytes)"));
  EXPECT_EQ(fixture.image().size(), 2u << 20);
  EXPECT_TRUE(test::failed_with(shell(tool + "put - " + url(fixture) + " --size 3M </dev/null"), 1,
                                "is larger than the remote image"));
  EXPECT_TRUE(test::failed_with(shell(tool + "put - " + url(fixture) + " --size 1M </dev/null"), 1,
                                "standard input ended after 0 bytes"));

  // A named pipe, as `<(command)` and `>(command)` give, is read and written
  // in order too, never taken for an empty file.
  auto bash = [](const std::string& script) { return test::run_program({"/bin/bash", "-c", script}); };
  // Its zero blocks are punched, as a file's are.
  local = test::random_bytes(2 << 20, 52);
  std::fill(local.begin() + (1 << 20), local.begin() + (3 << 19), 0);
  test::write_file(dir.file("in"), local);
  put = bash(tool + "put <(cat " + dir.file("in") + ") " + url(fixture) + " --json");
  ASSERT_EQ(put.status, 0) << put.err;
  nlohmann::json report = nlohmann::json::parse(put.out);
  EXPECT_EQ(report["sent"], 3 << 19) << put.out;
  EXPECT_EQ(report["zeros"], 1 << 19) << put.out;
  EXPECT_EQ(fixture.image(), local);
  get = bash(tool + "get " + url(fixture) + " >(cat >" + out + ") -q; wait $!");
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(test::read_file(out), local);
  EXPECT_TRUE(test::failed_with(bash(tool + "compare <(cat " + dir.file("in") + ") " + url(fixture)), 2,
                                "compare needs a regular file or a block device"));
  EXPECT_TRUE(test::failed_with(bash(tool + "put --merge <(cat " + dir.file("in") + ") " + url(fixture)), 2,
                                "can be read only once"));
}

// Whatever ends a get over an existing file, the old file stays as it was
// and the temporary file goes.
TEST(TarveloftpTool, InterruptedGetLeavesTheOldFile) {
  test::DaemonProcess daemon(test::random_bytes(16 << 20, 41));
  ASSERT_TRUE(daemon.start()) << daemon.process().err();
  test::TempDir dir;
  const std::string destination = dir.file("old.img");
  const std::vector<char> old = test::random_bytes(100000, 42);
  test::write_file(destination, old);
  // Slowed down so that it is still running when it is ended, once bytes
  // reached the temporary file.
  auto start_get = [&] {
    // A runner started in the background may pass SIGINT on ignored.
    auto previous = signal(SIGINT, SIG_DFL);
    auto get = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        test::tool_path("tarveloftp"), "get", "tarvelo://127.0.0.1:" + std::to_string(daemon.port()) + "/disk/0",
        destination, "--bwlimit", "1M", "--chunk-size", "64K", "-q"});
    signal(SIGINT, previous);
    for (int i = 0; i < 2000 && hidden_files(dir, true) == 0; ++i) usleep(10000);
    return get;
  };
  for (int number : {SIGINT, SIGTERM}) {
    auto get = start_get();
    ASSERT_EQ(hidden_files(dir, true), 1) << get->err();
    get->signal(number);
    EXPECT_EQ(get->wait(), 128 + number) << get->err();
    EXPECT_EQ(test::read_file(destination), old);
    EXPECT_EQ(hidden_files(dir), 0);
  }
  auto get = start_get();
  ASSERT_EQ(hidden_files(dir, true), 1) << get->err();
  daemon.process().signal(SIGKILL);
  EXPECT_EQ(get->wait(), 1) << get->err();
  EXPECT_NE(get->err().find("read failed"), std::string::npos) << get->err();
  EXPECT_EQ(test::read_file(destination), old);
  EXPECT_EQ(hidden_files(dir), 0);
}

TEST(TarveloftpTool, MergeMovesOnlyTheChangedBlocks) {
  test::CaptureLog log;
  struct Way {
    bool block_hashing;
    bool udt;
  };
  for (Way way : {Way{false, false}, Way{true, false}, Way{false, true}}) {
    const bool block_hashing = way.block_hashing;
    SCOPED_TRACE(way.udt ? "over udt" : "over tcp");
    ServerFixture fixture(4 << 20, block_hashing, nullptr, 4, way.udt);
    auto tarveloftp = [&](std::vector<std::string> args) {
      if (way.udt) args.insert(args.end(), {"--transport", "udt"});
      return test::run_tool("tarveloftp", std::move(args));
    };
    test::TempDir dir;
    const std::vector<char> original = fixture.image();
    std::vector<char> local = original;
    // Five scattered 4 KiB blocks change (two of them neighbours), and one
    // byte of a sixth.
    for (long block : {3L, 200L, 201L, 640L, 1023L}) std::memset(local.data() + block * 4096, 0x5a, 4096);
    local[4096 * 777 + 13] ^= 1;
    test::write_file(dir.file("local.img"), local);
    // A session held open keeps the LUN's counters from being reset when
    // the program's session ends.
    test::WireClient holder(fixture.port(), way.udt);
    holder.handshake("disk", 0, CLIENT_WRITE_ACKNOWLEDGEMENT);
    uint64_t writes = fixture.lun().write_op_count();

    // UDT's library is loaded only by a program that speaks UDT: loading it
    // costs a tenth of a second.
    RunResult put = test::run_tool(
        "tarveloftp",
        {"put", dir.file("local.img"), url(fixture), "--merge", "--quiet", "--transport", way.udt ? "udt" : "tcp"},
        {"LD_DEBUG=files"});
    ASSERT_EQ(put.status, 0) << put.err;
    EXPECT_EQ(put.err.find("libudt") != std::string::npos, way.udt);
    EXPECT_NE(put.out.find("compared 4194304 bytes, sent 24576 bytes"), std::string::npos)
        << block_hashing << " " << put.out;
    // Neighbours go out as one write: five writes for six blocks.
    EXPECT_EQ(fixture.lun().write_op_count() - writes, 5u) << block_hashing;

    // The same merge from the same state, reported as JSON.
    test::write_file(dir.file("original.img"), original);
    ASSERT_EQ(tarveloftp({"put", dir.file("original.img"), url(fixture), "-q"}).status, 0);
    RunResult put_json = tarveloftp({"put", dir.file("local.img"), url(fixture), "--merge", "--json"});
    ASSERT_EQ(put_json.status, 0) << put_json.err;
    expect_same_merge_figures(put.out, nlohmann::json::parse(put_json.out), "sent");

    // get --merge the other way, into copies that differ in the first, a
    // middle and the last block: those three come back, and nothing else.
    std::vector<char> stale = local;
    for (long block : {0L, 512L, 1023L}) stale[block * 4096 + 7] ^= 0x10;
    test::write_file(dir.file("text.img"), stale);
    test::write_file(dir.file("json.img"), stale);
    RunResult get = tarveloftp({"get", url(fixture), dir.file("text.img"), "--merge", "-q"});
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(figure(get.out, "received"), 3 * 4096) << block_hashing << " " << get.out;
    EXPECT_EQ(test::read_file(dir.file("text.img")), local) << block_hashing;
    RunResult get_json = tarveloftp({"get", url(fixture), dir.file("json.img"), "--merge", "--json"});
    ASSERT_EQ(get_json.status, 0) << get_json.err;
    expect_same_merge_figures(get.out, nlohmann::json::parse(get_json.out), "received");
    EXPECT_EQ(test::read_file(dir.file("json.img")), local) << block_hashing;

    // Resuming: a copy cut short inside a block fetches that block and the
    // rest; a longer one is cut to the image's size and fetches nothing.
    test::write_file(dir.file("text.img"), std::vector<char>(local.begin(), local.begin() + (1 << 20) + 100));
    get = tarveloftp({"get", url(fixture), dir.file("text.img"), "--merge", "-q"});
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(figure(get.out, "received"), 3 << 20) << block_hashing << " " << get.out;
    EXPECT_EQ(test::read_file(dir.file("text.img")), local) << block_hashing;
    std::vector<char> longer = local;
    longer.resize(local.size() + 5000, 'x');
    test::write_file(dir.file("json.img"), longer);
    get = tarveloftp({"get", url(fixture), dir.file("json.img"), "--merge", "-q"});
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(figure(get.out, "received"), 0) << block_hashing << " " << get.out;
    EXPECT_EQ(test::read_file(dir.file("json.img")), local) << block_hashing;
    fixture.stop();
    EXPECT_EQ(fixture.image(), local) << block_hashing;
  }
}

TEST(TarveloftpTool, HashCacheSparesOnlyBlocksWhoseBytesAreUnchanged) {
  ServerFixture fixture(4 << 20, true);
  test::TempDir dir;
  std::vector<char> local = fixture.image();
  std::string image = dir.file("local.img");
  std::string cache = dir.file("local.hashes");
  auto merge = [&](const std::string& cache_path) {
    test::write_file(image, local);
    return tarveloftp({"put", image, url(fixture), "--merge", "--quiet", "--hash-cache", cache_path});
  };
  RunResult first = merge(cache);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("sent 0 bytes"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("; 0 block hashes from the cache"), std::string::npos) << first.out;
  struct stat info {};
  ASSERT_EQ(::stat(cache.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);  // it holds the checksum key

  // Changed bytes are hashed again, even where the change is one bit.
  local[4096 * 5 + 100] ^= 1;
  RunResult second = merge(cache);
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.out.find("sent 4096 bytes"), std::string::npos) << second.out;
  EXPECT_NE(second.out.find("; 1023 block hashes from the cache"), std::string::npos) << second.out;

  // A cache made for a file of another size is not used.
  test::write_file(dir.file("half.img"), std::vector<char>(local.begin(), local.begin() + local.size() / 2));
  std::string half_cache = dir.file("half.hashes");
  ASSERT_EQ(tarveloftp({"put", dir.file("half.img"), url(fixture), "--merge", "--quiet", "--hash-cache", half_cache})
                .status,
            0);
  RunResult foreign = merge(half_cache);
  ASSERT_EQ(foreign.status, 0) << foreign.err;
  EXPECT_NE(foreign.out.find("; 0 block hashes from the cache"), std::string::npos) << foreign.out;

  // Never over the image itself.
  RunResult clobber = merge(image);
  EXPECT_NE(clobber.status, 0);
  EXPECT_NE(clobber.err.find("would overwrite"), std::string::npos) << clobber.err;
  fixture.stop();
  EXPECT_EQ(fixture.image(), local);
}

// Writes past a file-size limit fail on the server (EFBIG) as they would on
// a full disk; put must say which ranges did not land and exit non-zero.
TEST(TarveloftpTool, PutListsTheWritesTheServerFailed) {
  test::CaptureLog log;
  ServerFixture fixture(1 << 20);
  test::TempDir dir;
  test::write_file(dir.file("local.img"), test::random_bytes(1 << 20, 31));
  RunResult put;
  {
    test::FileSizeLimit limit(512 << 10);
    ASSERT_TRUE(limit.active());
    put = tarveloftp({"put", dir.file("local.img"), url(fixture), "--chunk-size", "128K", "-q"});
  }

  EXPECT_EQ(put.status, 1) << put.out << put.err;
  EXPECT_NE(put.err.find("4 write(s) failed on the server"), std::string::npos) << put.err;
  for (long offset : {512L << 10, 640L << 10, 768L << 10, 896L << 10})
    EXPECT_NE(put.err.find("  " + std::to_string(offset) + "+131072 ("), std::string::npos) << put.err;
  EXPECT_EQ(put.err.find("  0+"), std::string::npos) << put.err;
}

TEST(TarveloftpTool, HashAndPunch) {
  test::CaptureLog log;
  ASSERT_GE(sodium_init(), 0);
  ServerFixture fixture(1 << 20);
  std::vector<char> image = fixture.image();
  RunResult hash = tarveloftp({"hash", url(fixture), "--offset", "4096", "--length", "12288", "--chunk-size", "8K"});
  ASSERT_EQ(hash.status, 0) << hash.err;
  auto hex = [&](long offset, long length) {
    unsigned char digest[32];
    crypto_generichash(digest, 32, reinterpret_cast<unsigned char*>(image.data() + offset),
                       static_cast<unsigned long long>(length), nullptr, 0);
    char text[65];
    sodium_bin2hex(text, sizeof(text), digest, 32);
    return std::string(text);
  };
  EXPECT_EQ(hash.out, hex(4096, 4096) + " 4096 4096\n" + hex(8192, 8192) + " 8192 8192\n");
  hash = tarveloftp({"hash", url(fixture), "--offset", "4096", "--length", "12288", "--chunk-size", "8K", "--json"});
  ASSERT_EQ(hash.status, 0) << hash.err;
  EXPECT_EQ(nlohmann::json::parse(hash.out)["hashes"],
            nlohmann::json::parse(R"([{"offset": 4096, "length": 4096, "hash": ")" + hex(4096, 4096) +
                                  R"("}, {"offset": 8192, "length": 8192, "hash": ")" + hex(8192, 8192) + R"("}])"));
  RunResult info = tarveloftp({"info", url(fixture), "--json"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(nlohmann::json::parse(info.out)["size"], 1 << 20) << info.out;

  RunResult punch = tarveloftp({"punch", url(fixture), "--offset", "8192", "--length", "16K"});
  ASSERT_EQ(punch.status, 0) << punch.err;
  std::vector<char> after = fixture.image();
  std::fill(image.begin() + 8192, image.begin() + 8192 + 16384, 0);
  EXPECT_EQ(after, image);
}

TEST(TarveloftpTool, FailuresNameTheirCause) {
  test::CaptureLog log;
  ServerFixture fixture(1 << 16, false, test::add_locked_target);
  test::TempDir dir;
  test::write_file(dir.file("pass"), {'o', 'p', 'e', 'n', ' ', 's', 'e', 's', 'a', 'm', 'e', '\n'});

  RunResult wrong = tarveloftp({"info", url(fixture, "locked")}, {"TARVELOFTP_PASSPHRASE=nope"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.err, "tarveloftp: wrong passphrase for target \"locked\" LUN 0\n");
  RunResult right = tarveloftp({"info", url(fixture, "locked"), "--passphrase-file", dir.file("pass")},
                               {"TARVELOFTP_PASSPHRASE=nope"});
  EXPECT_EQ(right.status, 0) << right.err;
  EXPECT_NE(right.out.find("size: 8192 bytes"), std::string::npos) << right.out;
  EXPECT_TRUE(test::failed_with(tarveloftp({"info", url(fixture, "locked")}), 1, "may need a passphrase"));
  EXPECT_TRUE(test::failed_with(tarveloftp({"info", url(fixture, "nosuch")}), 1, "no such target or LUN"));
  EXPECT_TRUE(test::failed_with(
      tarveloftp({"info", "tarvelo://127.0.0.1:" + std::to_string(test::free_port()) + "/disk/0"}), 1,
      "Connection refused"));

  // A peer that accepts and never answers is given up on.
  uint16_t silent_port = 0;
  int silent = test::listen_raw(&silent_port);
  ASSERT_GE(silent, 0);
  EXPECT_TRUE(test::failed_with(
      tarveloftp({"info", "tarvelo://127.0.0.1:" + std::to_string(silent_port) + "/disk/0", "--timeout", "0.3"}),
      1, "nothing arrived for 0.300 s"));
  ::close(silent);
  for (const char* timeout : {"nan", "inf", "-1"})
    EXPECT_TRUE(test::failed_with(tarveloftp({"info", url(fixture), "--timeout", timeout}), 2,
                                  "timeout wants a number of seconds"))
        << timeout;

  test::write_file(dir.file("big.img"), std::vector<char>((1 << 16) + 1, 'b'));
  EXPECT_TRUE(
      test::failed_with(tarveloftp({"put", dir.file("big.img"), url(fixture), "-q"}), 1, "is smaller than"));

  EXPECT_TRUE(test::failed_with(tarveloftp({"get", "http://nowhere/x/0", dir.file("out")}), 2, "invalid URL"));
}

}  // namespace
}  // namespace tarvelo
