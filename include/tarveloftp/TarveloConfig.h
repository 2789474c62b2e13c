#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Only the narrow-character INI class is used; without this the header
// wants a wide-character converter that is not installed. A program that
// calls the INI object itself defines SI_IMPLEMENTATION in one of its files
// before including this header, as the packaged INI header requires.
#if !defined(SI_NO_CONVERSION) && !defined(SI_CONVERT_ICU) && !defined(SI_CONVERT_GENERIC)
#define SI_NO_CONVERSION
#endif
#include <SimpleIni.h>

#include <tarveloftp/Endpoints.h>
#include <tarveloftp/Export.h>

namespace tarvelo {

// Section and key names of the configuration file, shared with programs.
TARVELOFTP_EXPORT extern const char* const CONFIG_SECTION;
TARVELOFTP_EXPORT extern const char* const ADDRESS_KEY;
TARVELOFTP_EXPORT extern const char* const PORT_KEY;
TARVELOFTP_EXPORT extern const char* const TRANSPORT_KEY;
TARVELOFTP_EXPORT extern const char* const ENCRYPTION_KEY;
TARVELOFTP_EXPORT extern const char* const COMPRESSION_KEY;
TARVELOFTP_EXPORT extern const char* const KEEP_ALIVE_TIMEOUT_KEY;
TARVELOFTP_EXPORT extern const char* const KEEP_ALIVE_PROBE_KEY;
TARVELOFTP_EXPORT extern const char* const KEEP_ALIVE_PROBE_TIMEOUT_KEY;
TARVELOFTP_EXPORT extern const char* const PUBLIC_KEY_KEY;
TARVELOFTP_EXPORT extern const char* const SECRET_KEY_KEY;
TARVELOFTP_EXPORT extern const char* const TLS_CERTIFICATE_KEY;
TARVELOFTP_EXPORT extern const char* const TLS_KEY_KEY;
TARVELOFTP_EXPORT extern const char* const PASSWORD_KEY;
TARVELOFTP_EXPORT extern const char* const READ_ONLY_KEY;
TARVELOFTP_EXPORT extern const char* const HASH_DIRECTORY_KEY;
TARVELOFTP_EXPORT extern const char* const TLS_CERTIFICATE_DEFAULT;
TARVELOFTP_EXPORT extern const char* const TLS_KEY_DEFAULT;

// The in-memory form of the server's INI configuration file: listening
// settings, keys, TLS files, keep-alive values and the endpoint table.
// Loading never throws and never fails: unreadable input gives the defaults
// of a default-constructed object, missing or malformed values their
// per-key defaults. Takes no locks of its own.
class TARVELOFTP_EXPORT TarveloConfig {
 public:
  // Section and key lookups ignore ASCII case.
  using ini_t = CSimpleIniTempl<char, SI_GenericNoCase<char>, SI_ConvertA<char>>;

  static constexpr std::size_t kKeySize = 32;
  using xsalsa20_key_t = unsigned char[kKeySize];

  enum class transport_type_t : int32_t { TCP = 0, UDT = 1, TLS = 2 };
  enum class crypto_type_t : int32_t { NONE = 0, XSALSA20 = 1 };
  enum class compression_type_t : int32_t { NONE = 0, LZ4 = 1 };

  TarveloConfig();
  // Copies and moves carry every setting but not the endpoint table: the
  // new object starts with an empty one, and an assigned-to object keeps
  // its own. The table leaves only through getEndpoints().
  TarveloConfig(const TarveloConfig& other);
  TarveloConfig(TarveloConfig&& other);
  TarveloConfig& operator=(const TarveloConfig& other);
  TarveloConfig& operator=(TarveloConfig&& other);
  ~TarveloConfig();

  // Each key of a target section that is not read gives a WARNING line.
  // load(path) and loads(text) also warn of keys merged into an earlier one
  // that differs only in case, which a parsed INI object no longer shows.
  static TarveloConfig load(const std::string& path);
  static TarveloConfig loads(const std::string& text);
  static TarveloConfig load(ini_t& ini);

  // The INI text of a configuration; empty if it cannot be rendered.
  static std::string dump(TarveloConfig& config);
  static void dump(ini_t& ini, TarveloConfig& config);
  // Writes the file with a UTF-8 byte-order mark; false on failure.
  static bool save(TarveloConfig& config, const std::string& path);
  // Replaces the target sections of the file at `path` with those of
  // `endpoints`, leaving its [config] section as it is (a missing file
  // starts empty). The file holds passphrases, so it is written with mode
  // 0600 to a temporary file beside it, synced and renamed over it. False,
  // with `error` set, on failure; the file is then unchanged.
  static bool saveTargets(config::Endpoints& endpoints, const std::string& path, std::string* error);

  // Base64 (RFC 4648 alphabet, "=" padding required). decode gives the
  // empty string for anything that is not valid base64.
  static std::string encode(const void* data, std::size_t length);
  static std::string decode(const std::string& text);

  std::string getAddress() const;
  uint16_t getPort() const;
  // The port value as the file wrote it ("" when missing), for a program
  // that wants to refuse what getPort() has had to cut or default.
  const std::string& getPortText() const;
  transport_type_t getTransport() const;
  crypto_type_t getCryptoCipher() const;
  compression_type_t getCompressionAlgorithm() const;
  xsalsa20_key_t& getXSalsa20PublicKey();
  const xsalsa20_key_t& getXSalsa20PublicKey() const;
  xsalsa20_key_t& getXSalsa20SecretKey();
  const xsalsa20_key_t& getXSalsa20SecretKey() const;
  std::string getTLSCertificateFile() const;
  std::string getTLSPrivateKeyFile() const;
  config::Endpoints& getEndpoints();
  int32_t getKeepAliveTimeout() const;
  int32_t getKeepAliveProbeLimit() const;
  int32_t getKeepAliveProbeTimeout() const;
  // Target sections whose passphrase key is read in another case than
  // "password" (keys differing only in case are one key, spelled as the
  // first): it sets nothing, so the target is open to anyone while the file
  // looks protected. A program should refuse to serve them.
  const std::vector<std::string>& getUnprotectedTargets() const;
  // Target sections that may be meant read-only but are read as writable: a
  // read_only value other than yes/no, true/false, on/off or 1/0, or the key
  // spelled in another case. A program should refuse to serve them.
  const std::vector<std::string>& getReadOnlyInDoubt() const;
  // Where block-hash files and journals live; empty: beside each image.
  std::string getHashDirectory() const;

 private:
  void copy_settings(const TarveloConfig& other);

  std::string m_address = "*";
  uint16_t m_port = 3263;
  std::string m_port_text;
  transport_type_t m_transport = transport_type_t::TCP;
  compression_type_t m_compression = compression_type_t::NONE;
  crypto_type_t m_encryption = crypto_type_t::NONE;
  xsalsa20_key_t m_public_key;
  xsalsa20_key_t m_secret_key;
  std::string m_tls_certificate_file;
  std::string m_tls_key_file;
  config::Endpoints m_endpoints;
  int32_t m_keep_alive_timeout = 0;
  int32_t m_keep_alive_probe_limit = 0;
  int32_t m_keep_alive_probe_timeout = 0;
  std::vector<std::string> m_unprotected_targets;
  std::vector<std::string> m_read_only_in_doubt;
  std::string m_hash_directory;
};

}  // namespace tarvelo

// Text of the configuration file to enumeration value; unrecognised text
// gives the first enumerator (TCP, NONE).
template <typename T>
T string_to_enum(const std::string& text);
template <>
TARVELOFTP_EXPORT tarvelo::TarveloConfig::transport_type_t string_to_enum(const std::string& text);
template <>
TARVELOFTP_EXPORT tarvelo::TarveloConfig::crypto_type_t string_to_enum(const std::string& text);
template <>
TARVELOFTP_EXPORT tarvelo::TarveloConfig::compression_type_t string_to_enum(const std::string& text);
