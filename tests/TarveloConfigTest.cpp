#include <tarveloftp/TarveloConfig.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include <tarvelo/Crypto.h>

#include "TestSupport.h"

namespace tarvelo {
namespace {

using transport_type_t = TarveloConfig::transport_type_t;
using crypto_type_t = TarveloConfig::crypto_type_t;
using compression_type_t = TarveloConfig::compression_type_t;

std::string bytes_of(const TarveloConfig::xsalsa20_key_t& key) {
  return std::string(reinterpret_cast<const char*>(key), TarveloConfig::kKeySize);
}

TEST(TarveloConfigTest, DefaultsForUnreadableFilesAndMissingSections) {
  test::TempDir dir;
  for (const std::string& path : {dir.file("missing.ini"), dir.path().string()}) {
    TarveloConfig config = TarveloConfig::load(path);
    EXPECT_EQ(config.getAddress(), "*") << path;
    EXPECT_EQ(config.getPort(), 3263) << path;
    EXPECT_TRUE(crypto::XSalsa20::is_key_pair(config.getXSalsa20PublicKey(), config.getXSalsa20SecretKey()));
  }
  // A readable file without a [config] section gives each key's own default.
  test::CaptureLog log;
  TarveloConfig config = TarveloConfig::loads("[disk]\nlun0 = /img/a\n");
  EXPECT_EQ(config.getAddress(), "");
  EXPECT_EQ(config.getPort(), 0);
  EXPECT_EQ(config.getTransport(), transport_type_t::TCP);
  EXPECT_EQ(config.getEndpoints().target("disk").lun(0).file(), "/img/a");
}

TEST(TarveloConfigTest, NumberParsing) {
  // A number's prefix counts, and ports wrap to 16 bits.
  for (auto [text, port] : {std::pair<std::string, long>{"3263abc", 3263}, {"70000", 4464}, {"abc", 0}})
    EXPECT_EQ(TarveloConfig::loads("[config]\nport = " + text + "\n").getPort(), port) << text;
  // Keep-alive values take hex, refuse suffixes and values out of range.
  for (auto [text, value] : {std::pair<std::string, long>{"0X1f", 31}, {"10s", 0}, {"-5", -5}, {"99999999999", 0}}) {
    TarveloConfig config = TarveloConfig::loads("[config]\nkeep_alive_timeout = " + text +
                                                "\nkeep_alive_probes = " + text +
                                                "\nkeep_alive_probe_timeout = " + text + "\n");
    EXPECT_EQ(config.getKeepAliveTimeout(), value) << text;
    EXPECT_EQ(config.getKeepAliveProbeLimit(), value) << text;
    EXPECT_EQ(config.getKeepAliveProbeTimeout(), value) << text;
  }
}

TEST(TarveloConfigTest, TargetSectionsAndLunKeys) {
  test::CaptureLog log;
  TarveloConfig config = TarveloConfig::loads(
      "[zeta]\nlun007 = /img/z-007\nlun7 = /img/z-7\nlun255 = /img/z-255\nlun254 = /img/z-254\n"
      "lun99999999999999999999999 = /img/z-huge\nlun = /img/z-none\nlun1x = /img/z-1x\nPassword = ignored\n"
      "[Alpha]\nLUN1 = /img/a-upper\npassword = open sesame\nlun0 = /img/a-0\n[CONFIG]\nport = 4000\n");
  config::Endpoints& endpoints = config.getEndpoints();
  // Sections come sorted ignoring case, and that gives the ids.
  EXPECT_EQ(endpoints.target(0).name(), "Alpha");
  EXPECT_EQ(endpoints.target(1).name(), "CONFIG");
  EXPECT_EQ(endpoints.target(2).name(), "zeta");
  EXPECT_EQ(config.getPort(), 4000);
  EXPECT_EQ(endpoints.target("CONFIG").luns(), 0u);

  config::Target& alpha = endpoints.target("Alpha");
  EXPECT_EQ(alpha.password(), "open sesame");
  EXPECT_FALSE(alpha.lun_exists(1));
  EXPECT_EQ(alpha.lun(0).file(), "/img/a-0");

  config::Target& zeta = endpoints.target("zeta");
  EXPECT_EQ(zeta.password(), "");
  EXPECT_TRUE(zeta.lun_exists(7));
  // Keys come sorted, so lun007 is seen first and lun7 is refused.
  EXPECT_EQ(zeta.lun(7).file(), "/img/z-007");
  EXPECT_TRUE(test::contains(log.err(), "Trying to add lun 7 that already exists to target: zeta\n"));
  EXPECT_EQ(zeta.lun(254).file(), "/img/z-254");
  EXPECT_EQ(zeta.luns(), 2u);
}

// A key the reading skips must say so: a misspelled passphrase key would
// otherwise leave a target open that the operator believes protected.
TEST(TarveloConfigTest, IgnoredTargetKeysAreReported) {
  for (const std::string key : {"Password", "PASSWORD", "lun", "LUN1", "lun255", "foo"}) {
    test::CaptureLog log;
    TarveloConfig config = TarveloConfig::loads("[disk1]\nlun0 = /img/a\n" + key + " = x\n");
    EXPECT_TRUE(test::contains(log.err(), "WARNING")) << log.err();
    EXPECT_TRUE(test::contains(log.err(), "Ignoring key \"" + key + "\" of target [disk1]: ")) << log.err();
    bool passphrase_key = key == "Password" || key == "PASSWORD";
    EXPECT_EQ(test::contains(log.err(), "the target has no passphrase\n"), passphrase_key) << log.err();
    EXPECT_EQ(config.getUnprotectedTargets(), passphrase_key ? std::vector<std::string>{"disk1"}
                                                             : std::vector<std::string>{})
        << key;
    EXPECT_EQ(config.getEndpoints().target("disk1").password(), "") << key;
  }
  {
    test::CaptureLog log;
    TarveloConfig config = TarveloConfig::loads("[disk1]\nlun007 = /img/a\npassword = p\n");
    EXPECT_EQ(log.err(), "");
    EXPECT_TRUE(config.getUnprotectedTargets().empty());
  }
  // The usual spellings of yes and no are read; anything else, or the key
  // in another case, is reported and listed as in doubt.
  for (const auto& [line, read_only, in_doubt] : std::vector<std::tuple<std::string, bool, bool>>{
           {"read_only = yes", true, false},   {"read_only = TRUE", true, false}, {"read_only = 1", true, false},
           {"read_only = on", true, false},    {"read_only = No", false, false},  {"read_only = 0", false, false},
           {"read_only = maybe", false, true}, {"read_only = ", false, true},     {"Read_Only = yes", false, true}}) {
    test::CaptureLog log;
    TarveloConfig config = TarveloConfig::loads("[disk1]\nlun0 = /img/a\n" + line + "\n");
    EXPECT_EQ(config.getEndpoints().target("disk1").read_only(), read_only) << line;
    EXPECT_EQ(test::contains(log.err(), "WARNING"), in_doubt) << line << log.err();
    EXPECT_EQ(config.getReadOnlyInDoubt().size(), in_doubt ? 1u : 0u) << line;
  }
  // Keys differing only in case are one key: the first spelling names it,
  // the last line gives the value. So the order decides whether the target
  // is protected, and both orders are reported.
  for (const auto& [first, second, password] :
       std::vector<std::tuple<std::string, std::string, std::string>>{{"password", "Password", "second"},
                                                                      {"Password", "password", ""}}) {
    test::CaptureLog log;
    TarveloConfig config =
        TarveloConfig::loads("[disk1]\nlun0 = /img/a\n" + first + " = first\n" + second + " = second\n");
    EXPECT_EQ(config.getEndpoints().target("disk1").password(), password);
    EXPECT_EQ(config.getUnprotectedTargets().size(), password.empty() ? 1u : 0u);
    EXPECT_TRUE(test::contains(log.err(), "Key \"" + second + "\" of target [disk1] is read as the earlier \"" +
                                              first + "\""))
        << log.err();
    EXPECT_EQ(test::contains(log.err(), "Ignoring key \"Password\" of target [disk1]: only \"password\" in "
                                        "lower case sets a passphrase, so the target has no passphrase\n"),
              password.empty())
        << log.err();
  }
}

TEST(TarveloConfigTest, MoreSectionsThanSlots) {
  test::CaptureLog log;
  std::string text;
  for (int i = 0; i < 256; ++i) {
    char name[8];
    std::snprintf(name, sizeof(name), "t%03d", i);
    text += "[" + std::string(name) + "]\nlun0 = /img/" + name + "\npassword = pw\n";
  }
  TarveloConfig config = TarveloConfig::loads(text);
  EXPECT_EQ(config.getEndpoints().target(254).name(), "t254");
  EXPECT_FALSE(config.getEndpoints().target_exists("t255"));
  EXPECT_TRUE(test::contains(log.err(), "Ran out of space trying to add target: t255\n"));
  EXPECT_TRUE(test::contains(log.err(), "Trying to add lun to non existent target: t255\n"));
  // The password of the refused section went nowhere.
  EXPECT_EQ(config::Endpoints::EmptyTarget.password(), "");
}

TEST(TarveloConfigTest, KeysAndTlsFiles) {
  test::CaptureLog log;
  unsigned char public_key[32];
  unsigned char secret_key[32];
  crypto::XSalsa20::key_pair(public_key, secret_key);
  std::string public_text = TarveloConfig::encode(public_key, 32);
  std::string secret_text = TarveloConfig::encode(secret_key, 32);

  TarveloConfig both = TarveloConfig::loads("[config]\nencryption = xsalsa20\npublic_key = " + public_text +
                                            "\nsecret_key = " + secret_text + "\n");
  EXPECT_EQ(both.getCryptoCipher(), crypto_type_t::XSALSA20);
  EXPECT_EQ(bytes_of(both.getXSalsa20PublicKey()), std::string(reinterpret_cast<char*>(public_key), 32));
  EXPECT_EQ(bytes_of(both.getXSalsa20SecretKey()), std::string(reinterpret_cast<char*>(secret_key), 32));

  // Keys are only read when encryption is on.
  TarveloConfig off = TarveloConfig::loads("[config]\npublic_key = " + public_text + "\n");
  EXPECT_EQ(bytes_of(off.getXSalsa20PublicKey()), bytes_of(TarveloConfig().getXSalsa20PublicKey()));

  // Half a pair (no secret key, or one of 31 bytes) is replaced by a fresh pair.
  std::string default_public = bytes_of(TarveloConfig().getXSalsa20PublicKey());
  for (const std::string& secret : {std::string(), "\nsecret_key = " + TarveloConfig::encode(secret_key, 31)}) {
    TarveloConfig fresh =
        TarveloConfig::loads("[config]\nencryption = xsalsa20\npublic_key = " + public_text + secret + "\n");
    std::string fresh_public = bytes_of(fresh.getXSalsa20PublicKey());
    EXPECT_NE(fresh_public, std::string(reinterpret_cast<char*>(public_key), 32)) << secret;
    EXPECT_NE(fresh_public, default_public) << secret;
    EXPECT_TRUE(crypto::XSalsa20::is_key_pair(fresh.getXSalsa20PublicKey(), fresh.getXSalsa20SecretKey())) << secret;
  }
  EXPECT_TRUE(test::contains(log.err(), "Configuration key secret_key does not hold 32 base64 encoded bytes"))
      << log.err();

  TarveloConfig tls = TarveloConfig::loads(
      "[config]\ntransport = tls\ntls_certificate_file = /etc/c.crt\ntls_key_file = /etc/c.key\n");
  EXPECT_EQ(tls.getTLSCertificateFile(), "/etc/c.crt");
  EXPECT_EQ(tls.getTLSPrivateKeyFile(), "/etc/c.key");
  TarveloConfig half_tls = TarveloConfig::loads("[config]\ntransport = tls\ntls_key_file = /etc/c.key\n");
  EXPECT_EQ(half_tls.getTLSCertificateFile(), "/etc/tarveloftp/tarveloftp.crt");
  EXPECT_EQ(half_tls.getTLSPrivateKeyFile(), "/etc/tarveloftp/tarveloftp.key");
  TarveloConfig no_tls = TarveloConfig::loads("[config]\ntransport = udt\ntls_key_file = /etc/c.key\n");
  EXPECT_EQ(no_tls.getTransport(), transport_type_t::UDT);
  EXPECT_EQ(no_tls.getTLSPrivateKeyFile(), "");
}

TEST(TarveloConfigTest, SaveAndLoadRoundTrip) {
  test::CaptureLog log;
  test::TempDir dir;
  TarveloConfig original = TarveloConfig::loads(
      "[config]\naddress = 10.1.2.3\nport = 4100\ntransport = tls\nencryption = xsalsa20\ncompression = lz4\n"
      "keep_alive_timeout = 30\ntls_certificate_file = /etc/s.crt\ntls_key_file = /etc/s.key\n"
      "hash_directory = /var/lib/hashes\n"
      "[disk1]\nlun1 = /srv/images/disk1-b.img\nlun0 = /srv/images/disk1-a.img\n"
      "[locked]\npassword = p w=1\nlun12 = /srv/images/locked.img\n[bare]\n"
      "[frozen]\nread_only = yes\n");
  ASSERT_EQ(original.getKeepAliveTimeout(), 30);
  config::Endpoints& endpoints = original.getEndpoints();
  ASSERT_EQ(endpoints.add_target("only-password"), config::Endpoints::ENDPOINT_OK);
  endpoints.target("only-password").password("pw");

  std::string path = dir.file("tarveloftp.ini");
  ASSERT_TRUE(TarveloConfig::save(original, path));
  std::vector<char> file = test::read_file(path);
  std::string text(file.begin(), file.end());
  ASSERT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_TRUE(test::contains(text, "\n\n\n[locked]\npassword = p w=1\nlun12 = /srv/images/locked.img\n"));
  EXPECT_EQ(TarveloConfig::dump(original), text.substr(3));

  TarveloConfig loaded = TarveloConfig::load(path);
  // Everything the dump holds comes back; keep-alive is not written.
  EXPECT_EQ(TarveloConfig::dump(loaded), TarveloConfig::dump(original));
  EXPECT_EQ(loaded.getCompressionAlgorithm(), compression_type_t::LZ4);
  EXPECT_EQ(bytes_of(loaded.getXSalsa20SecretKey()), bytes_of(original.getXSalsa20SecretKey()));
  EXPECT_EQ(loaded.getTLSPrivateKeyFile(), "/etc/s.key");
  EXPECT_EQ(loaded.getKeepAliveTimeout(), 0);
  EXPECT_EQ(loaded.getHashDirectory(), "/var/lib/hashes");
  EXPECT_TRUE(loaded.getEndpoints().target("frozen").read_only());
  EXPECT_FALSE(loaded.getEndpoints().target("locked").read_only());
  // "bare" has nothing to write, so it has no section and does not return.
  config::Endpoints expected = original.getEndpoints();
  ASSERT_EQ(expected.remove_target("bare", false), config::Endpoints::ENDPOINT_OK);
  EXPECT_EQ(loaded.getEndpoints().print_json(false), expected.print_json(false));
}

TEST(TarveloConfigTest, DumpLayoutAndSaveFailure) {
  test::CaptureLog log;
  TarveloConfig config;
  config::Endpoints& endpoints = config.getEndpoints();
  ASSERT_EQ(endpoints.add_target("disk1"), config::Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_target("b"), config::Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("disk1", 0, "/srv/images/disk1-a.img"), config::Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("disk1", 1, "/srv/images/disk1-b.img"), config::Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("b", 3, "/srv/b3"), config::Endpoints::ENDPOINT_OK);
  endpoints.target("b").password("secret");
  // Sections follow target ids, a password before the LUNs.
  EXPECT_EQ(TarveloConfig::dump(config),
            "[config]\naddress = *\nport = 3263\ntransport = tcp\nencryption = none\ncompression = none\n"
            "\n\n[disk1]\nlun0 = /srv/images/disk1-a.img\nlun1 = /srv/images/disk1-b.img\n"
            "\n\n[b]\npassword = secret\nlun3 = /srv/b3\n");
  test::TempDir dir;
  EXPECT_FALSE(TarveloConfig::save(config, dir.file("no/such/dir/x.ini")));
  std::string error;
  EXPECT_FALSE(TarveloConfig::saveTargets(endpoints, dir.file("no/such/dir/x.ini"), &error));
  EXPECT_TRUE(test::contains(error, "no/such/dir/x.ini")) << error;

  // Sections are matched ignoring case when read back: flagged on dump.
  ASSERT_EQ(endpoints.add_target("DISK1"), config::Endpoints::ENDPOINT_OK);
  ASSERT_EQ(endpoints.add_lun("DISK1", 1, "/b"), config::Endpoints::ENDPOINT_OK);
  TarveloConfig::dump(config);
  EXPECT_TRUE(test::contains(log.err(), "Target DISK1 shares its section")) << log.err();
}

TEST(TarveloConfigTest, CopiesLeaveTheTableBehind) {
  test::CaptureLog log;
  TarveloConfig config = TarveloConfig::loads("[config]\naddress = host\n[disk]\nlun0 = /img\n[open]\nPassword = x\n");
  TarveloConfig copy(config);
  EXPECT_EQ(copy.getAddress(), "host");
  EXPECT_EQ(copy.getUnprotectedTargets(), std::vector<std::string>{"open"});
  EXPECT_FALSE(copy.getEndpoints().target_exists("disk"));
  TarveloConfig moved(std::move(config));
  EXPECT_FALSE(moved.getEndpoints().target_exists("disk"));
  EXPECT_TRUE(config.getEndpoints().target_exists("disk"));  // NOLINT(bugprone-use-after-move)

  TarveloConfig assigned = TarveloConfig::loads("[kept]\nlun0 = /kept\n");
  assigned = copy;
  EXPECT_EQ(assigned.getAddress(), "host");
  EXPECT_TRUE(assigned.getEndpoints().target_exists("kept"));
  EXPECT_FALSE(assigned.getEndpoints().target_exists("disk"));
}

TEST(TarveloConfigTest, Base64) {
  std::vector<char> bytes = test::random_bytes(32, 7);
  for (std::size_t length : {0, 1, 2, 32})
    EXPECT_EQ(TarveloConfig::decode(TarveloConfig::encode(bytes.data(), length)),
              std::string(bytes.begin(), bytes.begin() + static_cast<long>(length)));

  EXPECT_EQ(TarveloConfig::encode("AB", 2), "QUI=");
  EXPECT_EQ(TarveloConfig::decode("QUI"), "");      // padding is required
  EXPECT_EQ(TarveloConfig::decode("QUJDR"), "");    // a one-character block
  EXPECT_EQ(TarveloConfig::decode("Q-_D"), "");     // the URL-safe alphabet is another one
}

}  // namespace
}  // namespace tarvelo
