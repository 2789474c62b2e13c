// The packaged INI header keeps its member definitions behind this macro;
// this file instantiates the ones the library uses.
#define SI_IMPLEMENTATION
#include <tarveloftp/Logger.h>
#include <tarveloftp/TarveloConfig.h>

#include <tarvelo/Crypto.h>

#include <sodium.h>
#include <strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <regex>
#include <utility>
#include <vector>

namespace tarvelo {

const char* const CONFIG_SECTION = "config";
const char* const ADDRESS_KEY = "address";
const char* const PORT_KEY = "port";
const char* const TRANSPORT_KEY = "transport";
const char* const ENCRYPTION_KEY = "encryption";
const char* const COMPRESSION_KEY = "compression";
const char* const KEEP_ALIVE_TIMEOUT_KEY = "keep_alive_timeout";
const char* const KEEP_ALIVE_PROBE_KEY = "keep_alive_probes";
const char* const KEEP_ALIVE_PROBE_TIMEOUT_KEY = "keep_alive_probe_timeout";
const char* const PUBLIC_KEY_KEY = "public_key";
const char* const SECRET_KEY_KEY = "secret_key";
const char* const TLS_CERTIFICATE_KEY = "tls_certificate_file";
const char* const TLS_KEY_KEY = "tls_key_file";
const char* const PASSWORD_KEY = "password";
const char* const READ_ONLY_KEY = "read_only";
const char* const HASH_DIRECTORY_KEY = "hash_directory";
const char* const TLS_CERTIFICATE_DEFAULT = "/etc/tarveloftp/tarveloftp.crt";
const char* const TLS_KEY_DEFAULT = "/etc/tarveloftp/tarveloftp.key";

namespace {

using transport_type_t = TarveloConfig::transport_type_t;
using crypto_type_t = TarveloConfig::crypto_type_t;
using compression_type_t = TarveloConfig::compression_type_t;

// Used until a configuration selects XSalsa20, which then reads its own pair
// or generates one. The public key is the Curve25519 base-point multiple of
// the secret key.
constexpr unsigned char kDefaultPublicKey[TarveloConfig::kKeySize] = {
    0x53, 0x48, 0x67, 0x7a, 0x8e, 0x0d, 0xe8, 0x63, 0x24, 0x66, 0x6b, 0x95, 0x0c, 0x20, 0x2a, 0x51,
    0x06, 0x96, 0x60, 0xdd, 0x16, 0x64, 0x5b, 0x2c, 0xc9, 0x5c, 0xba, 0x8c, 0x22, 0x71, 0x90, 0x4b};
constexpr unsigned char kDefaultSecretKey[TarveloConfig::kKeySize] = {
    0xfb, 0x97, 0xcb, 0x07, 0x13, 0xbe, 0x92, 0x61, 0x95, 0xa3, 0xcd, 0x5e, 0x32, 0xf7, 0x61, 0xca,
    0xeb, 0xd2, 0x78, 0x2e, 0xbc, 0xef, 0x73, 0x31, 0x37, 0xc5, 0xfa, 0x20, 0xee, 0x79, 0xee, 0x31};

// A target section's LUN keys: lower-case "lun" and the LUN number.
const std::regex LUN_REGEX("lun(\\d+)");

constexpr unsigned long kLastLunId = config::Target::kLunSlots - 1;

// Every INI object here: UTF-8, one value per key, no multi-line values,
// " = " between key and value.
std::unique_ptr<TarveloConfig::ini_t> new_ini() {
  auto ini = std::make_unique<TarveloConfig::ini_t>(true, false, false);
  ini->SetSpaces(true);
  return ini;
}

const char* transport_text(transport_type_t transport) {
  switch (transport) {
    case transport_type_t::TCP:
      return "tcp";
    case transport_type_t::UDT:
      return "udt";
    case transport_type_t::TLS:
      return "tls";
  }
  return "none";
}

const char* crypto_text(crypto_type_t encryption) {
  return encryption == crypto_type_t::XSALSA20 ? "xsalsa20" : "none";
}

const char* compression_text(compression_type_t compression) {
  return compression == compression_type_t::LZ4 ? "lz4" : "none";
}

// Base 10 like atoi: leading white space and a sign accepted, stops at the
// first non-digit, then cut to the low 16 bits.
uint16_t parse_port(const char* text) {
  long value = std::strtol(text, nullptr, 10);
  return static_cast<uint16_t>(static_cast<unsigned long>(value));
}

// Decimal or "0x" hexadecimal, the whole value a number that fits in 32
// bits; anything else gives 0.
int32_t read_int32(TarveloConfig::ini_t& ini, const char* key) {
  long value = ini.GetLongValue(CONFIG_SECTION, key, 0);
  if (value < INT32_MIN || value > INT32_MAX) return 0;
  return static_cast<int32_t>(value);
}

// The LUN number of a key that is "lun" and digits; -1 for other keys and
// for numbers without a slot.
long lun_number(const std::string& key) {
  std::smatch match;
  if (!std::regex_match(key, match, LUN_REGEX)) return -1;
  unsigned long number = 0;
  for (char digit : match[1].str()) {
    number = number * 10 + static_cast<unsigned long>(digit - '0');
    if (number > kLastLunId) return -1;
  }
  return static_cast<long>(number);
}

// Reads one of the 32-byte keys; false when absent or not exactly 32 bytes.
bool read_key(TarveloConfig::ini_t& ini, const char* key, unsigned char (&out)[TarveloConfig::kKeySize]) {
  const char* text = ini.GetValue(CONFIG_SECTION, key, nullptr);
  if (text == nullptr) return false;
  std::string bytes = TarveloConfig::decode(text);
  if (bytes.size() != TarveloConfig::kKeySize) {
    TLOG(WARNING) << "Configuration key " << key << " does not hold " << TarveloConfig::kKeySize
                  << " base64 encoded bytes; a new key pair is generated";
    return false;
  }
  std::memcpy(out, bytes.data(), TarveloConfig::kKeySize);
  return true;
}

// Keys of one section that differ only in case are one key to the INI
// reader: it keeps the first spelling and the last value, so "password"
// followed by "Password" takes the second line's passphrase, and the reverse
// order leaves the target without one. Only a reading that keeps every line
// can see it.
void warn_about_keys_merged_by_case(const char* data, std::size_t size) {
  TarveloConfig::ini_t every_line(true, true, false);
  if (every_line.LoadData(data, size) < 0) return;
  TarveloConfig::ini_t::TNamesDepend sections;
  every_line.GetAllSections(sections);
  for (const auto& section_entry : sections) {
    if (std::strcmp(section_entry.pItem, CONFIG_SECTION) == 0) continue;
    const TarveloConfig::ini_t::TKeyVal* keys = every_line.GetSection(section_entry.pItem);
    if (keys == nullptr) continue;
    // Equal keys are neighbours, in the order of their lines.
    const char* first_spelling = nullptr;
    for (const auto& [key_entry, value] : *keys) {
      (void)value;
      if (first_spelling == nullptr || strcasecmp(first_spelling, key_entry.pItem) != 0) {
        first_spelling = key_entry.pItem;
      } else if (std::strcmp(first_spelling, key_entry.pItem) != 0) {
        TLOG(WARNING) << "Key \"" << key_entry.pItem << "\" of target [" << section_entry.pItem
                      << "] is read as the earlier \"" << first_spelling
                      << "\": keys that differ only in case are one key, with the value of the last line";
      }
    }
  }
}

// yes, true, on or 1 for read-only; no, false, off or 0 for writable, in
// any case. Anything else is reported, read as writable, and the target
// listed for the program to refuse: serving writable what the operator may
// have meant to protect is worse than not serving it.
bool read_only_value(const std::string& section, const char* value, std::vector<std::string>& in_doubt) {
  for (const char* yes : {"yes", "true", "on", "1"})
    if (strcasecmp(value, yes) == 0) return true;
  for (const char* no : {"no", "false", "off", "0"})
    if (strcasecmp(value, no) == 0) return false;
  TLOG(WARNING) << "Target [" << section << "] has " << READ_ONLY_KEY << " = \"" << value
                << "\", which is neither yes nor no";
  in_doubt.push_back(section);
  return false;
}

// The target sections of `endpoints`, in the order of target ids.
void dump_targets(TarveloConfig::ini_t& ini, config::Endpoints& endpoints) {
  for (std::size_t id = 0; id < config::Endpoints::kTargetSlots; ++id) {
    config::Target target = endpoints.target(static_cast<unsigned char>(id));
    std::string name = target.name();
    if (name.empty()) continue;
    std::string password = target.password();
    bool has_entries = !password.empty() || target.luns() != 0 || target.read_only();
    // Section names ignore case, so such a target would be merged into the
    // earlier section when the file is read back.
    if (has_entries && ini.GetSectionSize(name.c_str()) >= 0) {
      TLOG(WARNING) << "Target " << name << " shares its section with an earlier section of the "
                    << "configuration file, which ignores case; their entries are merged";
    }
    if (!password.empty()) ini.SetValue(name.c_str(), PASSWORD_KEY, password.c_str());
    if (target.read_only()) ini.SetValue(name.c_str(), READ_ONLY_KEY, "yes");
    for (std::size_t lun = 0; lun < config::Target::kLunSlots; ++lun) {
      std::string file = target.lun(static_cast<unsigned char>(lun)).file();
      if (file.empty()) continue;
      ini.SetValue(name.c_str(), ("lun" + std::to_string(lun)).c_str(), file.c_str());
    }
  }
}

void ensure_sodium() {
  static const bool initialised = sodium_init() >= 0;
  (void)initialised;
}

}  // namespace

TarveloConfig::TarveloConfig() {
  std::memcpy(m_public_key, kDefaultPublicKey, kKeySize);
  std::memcpy(m_secret_key, kDefaultSecretKey, kKeySize);
}

TarveloConfig::TarveloConfig(const TarveloConfig& other) { copy_settings(other); }

TarveloConfig::TarveloConfig(TarveloConfig&& other) { copy_settings(other); }

TarveloConfig& TarveloConfig::operator=(const TarveloConfig& other) {
  if (this != &other) copy_settings(other);
  return *this;
}

TarveloConfig& TarveloConfig::operator=(TarveloConfig&& other) {
  if (this != &other) copy_settings(other);
  return *this;
}

TarveloConfig::~TarveloConfig() = default;

void TarveloConfig::copy_settings(const TarveloConfig& other) {
  m_address = other.m_address;
  m_port = other.m_port;
  m_port_text = other.m_port_text;
  m_transport = other.m_transport;
  m_compression = other.m_compression;
  m_encryption = other.m_encryption;
  std::memcpy(m_public_key, other.m_public_key, kKeySize);
  std::memcpy(m_secret_key, other.m_secret_key, kKeySize);
  m_tls_certificate_file = other.m_tls_certificate_file;
  m_tls_key_file = other.m_tls_key_file;
  m_keep_alive_timeout = other.m_keep_alive_timeout;
  m_keep_alive_probe_limit = other.m_keep_alive_probe_limit;
  m_keep_alive_probe_timeout = other.m_keep_alive_probe_timeout;
  m_unprotected_targets = other.m_unprotected_targets;
  m_read_only_in_doubt = other.m_read_only_in_doubt;
  m_hash_directory = other.m_hash_directory;
}

TarveloConfig TarveloConfig::load(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return TarveloConfig();
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, &std::fclose);
  // A directory opens and "seeks" to an absurd length; only regular files
  // have a length worth reading.
  struct stat status {};
  if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return TarveloConfig();
  if (std::fseek(file, 0, SEEK_END) != 0) return TarveloConfig();
  long length = std::ftell(file);
  if (length < 0 || std::fseek(file, 0, SEEK_SET) != 0) return TarveloConfig();
  std::vector<char> data;
  try {
    data.resize(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    return TarveloConfig();
  }
  if (std::fread(data.data(), 1, data.size(), file) != data.size()) return TarveloConfig();
  auto ini = new_ini();
  if (ini->LoadData(data.data(), data.size()) < 0) return TarveloConfig();
  warn_about_keys_merged_by_case(data.data(), data.size());
  return load(*ini);
}

TarveloConfig TarveloConfig::loads(const std::string& text) {
  auto ini = new_ini();
  if (ini->LoadData(text) < 0) return TarveloConfig();
  warn_about_keys_merged_by_case(text.data(), text.size());
  return load(*ini);
}

// Every return hands back `config` itself: a move would leave the endpoint
// table behind.
TarveloConfig TarveloConfig::load(ini_t& ini) {
  TarveloConfig config;
  config.m_address = ini.GetValue(CONFIG_SECTION, ADDRESS_KEY, "");
  config.m_port_text = ini.GetValue(CONFIG_SECTION, PORT_KEY, "");
  config.m_port = parse_port(config.m_port_text.c_str());
  config.m_transport = string_to_enum<transport_type_t>(ini.GetValue(CONFIG_SECTION, TRANSPORT_KEY, ""));
  config.m_encryption = string_to_enum<crypto_type_t>(ini.GetValue(CONFIG_SECTION, ENCRYPTION_KEY, ""));
  config.m_compression =
      string_to_enum<compression_type_t>(ini.GetValue(CONFIG_SECTION, COMPRESSION_KEY, ""));
  config.m_keep_alive_timeout = read_int32(ini, KEEP_ALIVE_TIMEOUT_KEY);
  config.m_keep_alive_probe_limit = read_int32(ini, KEEP_ALIVE_PROBE_KEY);
  config.m_keep_alive_probe_timeout = read_int32(ini, KEEP_ALIVE_PROBE_TIMEOUT_KEY);
  config.m_hash_directory = ini.GetValue(CONFIG_SECTION, HASH_DIRECTORY_KEY, "");

  if (config.m_encryption == crypto_type_t::XSALSA20) {
    // Both keys or a fresh pair: never half of one pair and half of another.
    unsigned char public_key[kKeySize];
    unsigned char secret_key[kKeySize];
    bool have_public = read_key(ini, PUBLIC_KEY_KEY, public_key);
    bool have_secret = read_key(ini, SECRET_KEY_KEY, secret_key);
    if (have_public && have_secret) {
      std::memcpy(config.m_public_key, public_key, kKeySize);
      std::memcpy(config.m_secret_key, secret_key, kKeySize);
    } else {
      crypto::XSalsa20::key_pair(config.m_public_key, config.m_secret_key);
    }
    sodium_memzero(secret_key, kKeySize);
  }

  if (config.m_transport == transport_type_t::TLS) {
    const char* certificate = ini.GetValue(CONFIG_SECTION, TLS_CERTIFICATE_KEY, nullptr);
    const char* key = ini.GetValue(CONFIG_SECTION, TLS_KEY_KEY, nullptr);
    if (certificate != nullptr && key != nullptr) {
      config.m_tls_certificate_file = certificate;
      config.m_tls_key_file = key;
    } else {
      config.m_tls_certificate_file = TLS_CERTIFICATE_DEFAULT;
      config.m_tls_key_file = TLS_KEY_DEFAULT;
    }
  }

  // Sections come sorted ignoring case, so that is the order of target ids.
  ini_t::TNamesDepend sections;
  ini.GetAllSections(sections);
  for (const auto& section_entry : sections) {
    std::string section = section_entry.pItem;
    if (section == CONFIG_SECTION) continue;
    config.m_endpoints.add_target(section);
    ini_t::TNamesDepend keys;
    ini.GetAllKeys(section.c_str(), keys);
    for (const auto& key_entry : keys) {
      std::string key = key_entry.pItem;
      const char* value = ini.GetValue(section.c_str(), key.c_str(), "");
      long lun = lun_number(key);
      if (lun >= 0) {
        config.m_endpoints.add_lun(section, static_cast<unsigned char>(lun), value);
      } else if (key == PASSWORD_KEY) {
        config::Target& target = config.m_endpoints.target(section);
        // An undefined name yields the shared empty target; leave it alone.
        if (!target.name().empty()) target.password(value);
      } else if (key == READ_ONLY_KEY) {
        config::Target& target = config.m_endpoints.target(section);
        if (!target.name().empty()) target.read_only(read_only_value(section, value, config.m_read_only_in_doubt));
      } else if (strcasecmp(key.c_str(), READ_ONLY_KEY) == 0) {
        TLOG(WARNING) << "Ignoring key \"" << key << "\" of target [" << section << "]: only \"" << READ_ONLY_KEY
                      << "\" in lower case makes a target read-only";
        config.m_read_only_in_doubt.push_back(section);
      } else if (strcasecmp(key.c_str(), PASSWORD_KEY) == 0) {
        // Keys come back unique ignoring case, so there is no lower-case
        // "password" beside this one: the target really is unprotected.
        TLOG(WARNING) << "Ignoring key \"" << key << "\" of target [" << section << "]: only \""
                      << PASSWORD_KEY << "\" in lower case sets a passphrase, so the target has no passphrase";
        config.m_unprotected_targets.push_back(section);
      } else {
        TLOG(WARNING) << "Ignoring key \"" << key << "\" of target [" << section << "]: a target section reads "
                      << "only \"" << PASSWORD_KEY << "\", \"" << READ_ONLY_KEY << "\" and lun0 to lun" << kLastLunId
                      << ", in lower case";
      }
    }
  }
  return config;
}

void TarveloConfig::dump(ini_t& ini, TarveloConfig& config) {
  ini.SetValue(CONFIG_SECTION, ADDRESS_KEY, config.m_address.c_str());
  ini.SetValue(CONFIG_SECTION, PORT_KEY, std::to_string(config.m_port).c_str());
  ini.SetValue(CONFIG_SECTION, TRANSPORT_KEY, transport_text(config.m_transport));
  ini.SetValue(CONFIG_SECTION, ENCRYPTION_KEY, crypto_text(config.m_encryption));
  ini.SetValue(CONFIG_SECTION, COMPRESSION_KEY, compression_text(config.m_compression));
  if (config.m_encryption == crypto_type_t::XSALSA20) {
    ini.SetValue(CONFIG_SECTION, PUBLIC_KEY_KEY, encode(config.m_public_key, kKeySize).c_str());
    ini.SetValue(CONFIG_SECTION, SECRET_KEY_KEY, encode(config.m_secret_key, kKeySize).c_str());
  }
  if (config.m_transport == transport_type_t::TLS) {
    ini.SetValue(CONFIG_SECTION, TLS_CERTIFICATE_KEY, config.m_tls_certificate_file.c_str());
    ini.SetValue(CONFIG_SECTION, TLS_KEY_KEY, config.m_tls_key_file.c_str());
  }
  if (!config.m_hash_directory.empty())
    ini.SetValue(CONFIG_SECTION, HASH_DIRECTORY_KEY, config.m_hash_directory.c_str());

  dump_targets(ini, config.m_endpoints);
}

std::string TarveloConfig::dump(TarveloConfig& config) {
  auto ini = new_ini();
  dump(*ini, config);
  std::string text;
  if (ini->Save(text, false) < 0) return "";
  return text;
}

bool TarveloConfig::save(TarveloConfig& config, const std::string& path) {
  auto ini = new_ini();
  dump(*ini, config);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool rendered = ini->SaveFile(file, true) >= 0;
  // The data only reaches the file when the stream is flushed at close.
  bool closed = std::fclose(file) == 0;
  return rendered && closed;
}

bool TarveloConfig::saveTargets(config::Endpoints& endpoints, const std::string& path, std::string* error) {
  auto fail = [&](const std::string& what, int number) {
    *error = what + " " + path + ": " + std::strerror(number);
    return false;
  };
  auto ini = new_ini();
  std::string text;
  std::FILE* existing = std::fopen(path.c_str(), "rb");
  if (existing != nullptr) {
    char buffer[65536];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, existing)) > 0) text.append(buffer, count);
    bool failed = std::ferror(existing) != 0;
    std::fclose(existing);
    if (failed) return fail("Cannot read", EIO);
  } else if (errno != ENOENT) {
    return fail("Cannot open", errno);
  }
  if (ini->LoadData(text) < 0) {
    *error = "Cannot parse " + path;
    return false;
  }
  ini_t::TNamesDepend sections;
  ini->GetAllSections(sections);
  std::vector<std::string> targets;
  for (const auto& section : sections)
    if (strcasecmp(section.pItem, CONFIG_SECTION) != 0) targets.emplace_back(section.pItem);
  for (const std::string& section : targets) ini->Delete(section.c_str(), nullptr);
  dump_targets(*ini, endpoints);

  // The temporary name is unique, so a concurrent save cannot write into it;
  // the rename makes the new file appear whole or not at all.
  std::string temporary = path + ".XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) return fail("Cannot create a temporary file beside", errno);
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    int number = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    return fail("Cannot write beside", number);
  }
  // mkstemp made the file 0600, as it must stay for the passphrases.
  bool written = ini->SaveFile(file, true) >= 0 && std::fflush(file) == 0 && fsync(fd) == 0;
  int number = errno;
  if (std::fclose(file) != 0 && written) {
    written = false;
    number = errno;
  }
  if (written && std::rename(temporary.c_str(), path.c_str()) != 0) {
    written = false;
    number = errno;
  }
  if (!written) {
    ::unlink(temporary.c_str());
    return fail("Cannot write", number);
  }
  // The rename is only durable once the directory is synced.
  std::string directory = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/') + 1);
  int directory_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory_fd >= 0) {
    (void)fsync(directory_fd);
    ::close(directory_fd);
  }
  return true;
}

std::string TarveloConfig::encode(const void* data, std::size_t length) {
  ensure_sodium();
  std::string text(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), static_cast<const unsigned char*>(data), length,
                    sodium_base64_VARIANT_ORIGINAL);
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::string TarveloConfig::decode(const std::string& text) {
  ensure_sodium();
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  std::size_t length = 0;
  // No end pointer: the whole text must be valid base64.
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                        text.size(), nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0)
    return "";
  bytes.resize(length);
  return bytes;
}

std::string TarveloConfig::getAddress() const { return m_address; }
uint16_t TarveloConfig::getPort() const { return m_port; }
const std::string& TarveloConfig::getPortText() const { return m_port_text; }
transport_type_t TarveloConfig::getTransport() const { return m_transport; }
crypto_type_t TarveloConfig::getCryptoCipher() const { return m_encryption; }
compression_type_t TarveloConfig::getCompressionAlgorithm() const { return m_compression; }
TarveloConfig::xsalsa20_key_t& TarveloConfig::getXSalsa20PublicKey() { return m_public_key; }
const TarveloConfig::xsalsa20_key_t& TarveloConfig::getXSalsa20PublicKey() const { return m_public_key; }
TarveloConfig::xsalsa20_key_t& TarveloConfig::getXSalsa20SecretKey() { return m_secret_key; }
const TarveloConfig::xsalsa20_key_t& TarveloConfig::getXSalsa20SecretKey() const { return m_secret_key; }
std::string TarveloConfig::getTLSCertificateFile() const { return m_tls_certificate_file; }
std::string TarveloConfig::getTLSPrivateKeyFile() const { return m_tls_key_file; }
config::Endpoints& TarveloConfig::getEndpoints() { return m_endpoints; }
int32_t TarveloConfig::getKeepAliveTimeout() const { return m_keep_alive_timeout; }
int32_t TarveloConfig::getKeepAliveProbeLimit() const { return m_keep_alive_probe_limit; }
int32_t TarveloConfig::getKeepAliveProbeTimeout() const { return m_keep_alive_probe_timeout; }
const std::vector<std::string>& TarveloConfig::getUnprotectedTargets() const { return m_unprotected_targets; }
const std::vector<std::string>& TarveloConfig::getReadOnlyInDoubt() const { return m_read_only_in_doubt; }
std::string TarveloConfig::getHashDirectory() const { return m_hash_directory; }

}  // namespace tarvelo

using tarvelo::TarveloConfig;

template <>
TarveloConfig::transport_type_t string_to_enum(const std::string& text) {
  if (text == "udt") return TarveloConfig::transport_type_t::UDT;
  if (text == "tls") return TarveloConfig::transport_type_t::TLS;
  return TarveloConfig::transport_type_t::TCP;
}

template <>
TarveloConfig::crypto_type_t string_to_enum(const std::string& text) {
  return text == "xsalsa20" ? TarveloConfig::crypto_type_t::XSALSA20 : TarveloConfig::crypto_type_t::NONE;
}

template <>
TarveloConfig::compression_type_t string_to_enum(const std::string& text) {
  return text == "lz4" ? TarveloConfig::compression_type_t::LZ4 : TarveloConfig::compression_type_t::NONE;
}
