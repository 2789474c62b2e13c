#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <tarveloftp/TarveloConfig.h>

#include "Reload.h"
#include "TestSupport.h"

namespace tarvelo {
namespace {

using config::Endpoints;

void add(Endpoints& table, const std::string& name, const std::string& password,
         const std::vector<std::pair<unsigned char, std::string>>& luns) {
  ASSERT_EQ(table.add_target(name), Endpoints::ENDPOINT_OK);
  table.target(name).password(password);
  for (const auto& [id, file] : luns) ASSERT_EQ(table.add_lun(name, id, file), Endpoints::ENDPOINT_OK);
}

TEST(ReloadTest, AppliesTheFileButKeepsWhatClientsUse) {
  test::CaptureLog log;
  Endpoints served;
  add(served, "keep", "old", {{0, "/a"}, {1, "/b"}, {2, "/c"}, {3, "/d"}});
  add(served, "gone", "", {{0, "/g"}});
  add(served, "busy", "", {{0, "/u"}});
  served.target("busy").lun(0).increment_reference_count();
  served.target("keep").lun(2).increment_reference_count();

  Endpoints wanted;
  add(wanted, "keep", "new", {{0, "/a"}, {1, "/b2"}, {2, "/c2"}});
  add(wanted, "fresh", "p", {{0, "/f"}});
  wanted.target("fresh").read_only(true);

  tools::TableChanges changes = tools::apply_targets(served, wanted);
  EXPECT_EQ(changes.targets_added, 1);
  EXPECT_EQ(changes.targets_removed, 1);
  EXPECT_EQ(changes.passphrases_changed, 1);
  EXPECT_EQ(changes.luns_added, 2);    // LUN 1's new path, [fresh]'s LUN
  EXPECT_EQ(changes.luns_removed, 2);  // LUN 1's old path, LUN 3
  EXPECT_EQ(changes.kept_in_use, (std::vector<std::string>{"[busy]", "LUN 2 of [keep] (/c)"}));
  EXPECT_FALSE(served.target_exists("gone"));
  EXPECT_EQ(served.target("keep").password(), "new");
  EXPECT_EQ(served.target("keep").lun(1).file(), "/b2");
  EXPECT_EQ(served.target("keep").lun(2).file(), "/c");
  EXPECT_FALSE(served.target("keep").lun_exists(3));
  EXPECT_EQ(served.target("fresh").password(), "p");
  EXPECT_EQ(served.target("fresh").lun(0).file(), "/f");
  EXPECT_TRUE(served.target("fresh").read_only());
  EXPECT_FALSE(served.target("keep").read_only());

  // Once released, the next reload finishes the job and nothing else moves.
  served.target("busy").lun(0).decrement_reference_count();
  served.target("keep").lun(2).decrement_reference_count();
  changes = tools::apply_targets(served, wanted);
  EXPECT_TRUE(changes.kept_in_use.empty());
  EXPECT_EQ(changes.targets_removed + changes.luns_removed + changes.luns_added, 1 + 1 + 1);
  EXPECT_EQ(changes.targets_added + changes.passphrases_changed, 0);
  EXPECT_FALSE(served.target_exists("busy"));
  EXPECT_EQ(served.target("keep").lun(2).file(), "/c2");
  // Nothing in use means no refusal was logged on the way.
  EXPECT_FALSE(test::contains(log.err(), "ERROR")) << log.err();
}

TEST(ReloadTest, RefusesWhatWouldBreakServingAndNamesFixedSettings) {
  test::TempDir dir;
  TarveloConfig running = TarveloConfig::loads("[config]\nport = 4000\n");
  std::string path = dir.file("server.ini");
  auto write = [&](const std::string& text) { std::ofstream(path, std::ios::trunc) << text; };
  Endpoints served;
  add(served, "disk", "", {{0, "/a"}});

  std::filesystem::create_directory(dir.file("folder"));
  const std::vector<std::pair<std::string, std::string>> refusals{
      {"", "cannot read it: No such file or directory"},
      {"folder", "it is not a regular file"},
      {"[config]\nport = 4000\n", "it serves nothing"},
      {"[disk]\nlun0 = /a\nPassword = x\n", "it would serve [disk] without a passphrase"},
      {"[disk]\nlun0 = /a\nread_only = true-ish\n", "it would serve [disk] writable"},
  };
  for (const auto& [text, reason] : refusals) {
    test::CaptureLog log;
    std::string file = path;
    if (text == "folder") file = dir.file("folder");
    else if (text.empty()) file = dir.file("missing.ini");
    else write(text);
    tools::ReloadOutcome outcome = tools::reload_configuration(file, running, served);
    EXPECT_FALSE(outcome.applied) << reason;
    EXPECT_TRUE(test::contains(log.err(), "Reload of " + file + " refused, nothing changed: " + reason)) << log.err();
  }
  EXPECT_EQ(served.target("disk").lun(0).file(), "/a");

  test::CaptureLog log;
  write("[config]\nport = 4001\nkeep_alive_timeout = 30\nencryption = xsalsa20\n[disk]\npassword = s\nlun0 = /a\n");
  tools::ReloadOutcome outcome = tools::reload_configuration(path, running, served);
  EXPECT_TRUE(outcome.applied);
  EXPECT_EQ(outcome.message, "Reloaded " + path +
                                 ": 0 targets added, 0 removed, 0 kept in use, 1 passphrase changed, "
                                 "0 LUNs added, 0 removed");
  // A fresh key pair made for a file without keys is no change of its own.
  EXPECT_TRUE(test::contains(log.err(), "leaves port, encryption, keep_alive_timeout as they were")) << log.err();
  EXPECT_EQ(served.target("disk").password(), "s");
}

}  // namespace
}  // namespace tarvelo
