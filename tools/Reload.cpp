#include "Reload.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <tarveloftp/Logger.h>

#include "ServerSafety.h"

namespace tarvelo::tools {

namespace {

std::vector<std::string> target_names(config::Endpoints& table) {
  std::vector<std::string> names;
  for (std::size_t id = 0; id < config::Endpoints::kTargetSlots; ++id) {
    std::string name = table.target(static_cast<unsigned char>(id)).name();
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

std::size_t lun_count(config::Endpoints& table) {
  std::size_t count = 0;
  for (const std::string& name : target_names(table)) count += table.target(name).luns();
  return count;
}

std::string counted(int count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// The whole file, or false with `error` saying why not.
bool read_text(const std::string& path, std::string* text, std::string* error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    *error = std::string("cannot read it: ") + std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (fstat(fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
    *error = "it is not a regular file";
    return false;
  }
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text->append(buffer, got);
  if (std::ferror(file.get())) {
    *error = std::string("cannot read it: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

TableChanges apply_targets(config::Endpoints& served, config::Endpoints& wanted) {
  using config::Endpoints;
  TableChanges changes;
  for (const std::string& name : target_names(served)) {
    if (wanted.target_exists(name)) continue;
    // Checked first so that a target in use costs no ERROR line; the
    // removal checks again under the table's lock.
    if (served.target(name).in_use() || served.remove_target(name, false) != Endpoints::ENDPOINT_OK) {
      changes.kept_in_use.push_back("[" + name + "]");
      continue;
    }
    ++changes.targets_removed;
  }

  for (const std::string& name : target_names(wanted)) {
    config::Target& want = wanted.target(name);
    bool added = false;
    if (!served.target_exists(name)) {
      if (served.add_target(name) != Endpoints::ENDPOINT_OK) continue;  // no slot left: logged
      added = true;
      ++changes.targets_added;
    }
    config::Target& have = served.target(name);
    // The administration channel may have removed it meanwhile.
    if (have.name().empty()) continue;
    if (have.password() != want.password()) {
      have.password(want.password());
      if (!added) ++changes.passphrases_changed;
    }
    // Like a passphrase, for connections made from now on.
    have.read_only(want.read_only());
    for (std::size_t slot = 0; slot < config::Target::kLunSlots; ++slot) {
      auto id = static_cast<unsigned char>(slot);
      std::string wanted_file = want.lun_exists(id) ? want.lun(id).file() : "";
      if (have.lun_exists(id)) {
        std::string file = have.lun(id).file();
        if (file == wanted_file) continue;
        if (have.lun(id).reference_count() != 0 ||
            served.remove_lun(name, id, false) != Endpoints::ENDPOINT_OK) {
          changes.kept_in_use.push_back("LUN " + std::to_string(slot) + " of [" + name + "] (" + file + ")");
          continue;
        }
        ++changes.luns_removed;
      }
      if (!wanted_file.empty() && served.add_lun(name, id, wanted_file) == Endpoints::ENDPOINT_OK)
        ++changes.luns_added;
    }
  }
  return changes;
}

std::vector<std::string> listener_changes(const TarveloConfig& running, const TarveloConfig& loaded,
                                          bool loaded_has_keys) {
  std::vector<std::string> changed;
  auto check = [&](bool differs, const char* key) {
    if (differs) changed.emplace_back(key);
  };
  check(running.getAddress() != loaded.getAddress(), ADDRESS_KEY);
  check(running.getPort() != loaded.getPort(), PORT_KEY);
  check(running.getTransport() != loaded.getTransport(), TRANSPORT_KEY);
  check(running.getTLSCertificateFile() != loaded.getTLSCertificateFile(), TLS_CERTIFICATE_KEY);
  check(running.getTLSPrivateKeyFile() != loaded.getTLSPrivateKeyFile(), TLS_KEY_KEY);
  check(running.getCryptoCipher() != loaded.getCryptoCipher(), ENCRYPTION_KEY);
  if (loaded_has_keys && loaded.getCryptoCipher() == TarveloConfig::crypto_type_t::XSALSA20) {
    check(std::memcmp(running.getXSalsa20PublicKey(), loaded.getXSalsa20PublicKey(), TarveloConfig::kKeySize) != 0,
          PUBLIC_KEY_KEY);
    check(std::memcmp(running.getXSalsa20SecretKey(), loaded.getXSalsa20SecretKey(), TarveloConfig::kKeySize) != 0,
          SECRET_KEY_KEY);
  }
  check(running.getCompressionAlgorithm() != loaded.getCompressionAlgorithm(), COMPRESSION_KEY);
  check(running.getKeepAliveTimeout() != loaded.getKeepAliveTimeout(), KEEP_ALIVE_TIMEOUT_KEY);
  check(running.getKeepAliveProbeLimit() != loaded.getKeepAliveProbeLimit(), KEEP_ALIVE_PROBE_KEY);
  check(running.getKeepAliveProbeTimeout() != loaded.getKeepAliveProbeTimeout(), KEEP_ALIVE_PROBE_TIMEOUT_KEY);
  // Fixed too: connections already hold the hash files where it put them.
  check(running.getHashDirectory() != loaded.getHashDirectory(), HASH_DIRECTORY_KEY);
  return changed;
}

ReloadOutcome reload_configuration(const std::string& path, const TarveloConfig& running,
                                   config::Endpoints& served) {
  ReloadOutcome outcome;
  auto refuse = [&](const std::string& why) {
    outcome.message = "Reload of " + path + " refused, nothing changed: " + why;
    TLOG(ERROR) << outcome.message;
    return outcome;
  };
  std::string text;
  std::string error;
  if (!read_text(path, &text, &error)) return refuse(error);
  TarveloConfig loaded = TarveloConfig::loads(text);
  // Without a key pair in the file the loader makes a fresh one each time,
  // which is no change asked for: a second load tells.
  bool has_keys = std::memcmp(loaded.getXSalsa20PublicKey(), TarveloConfig::loads(text).getXSalsa20PublicKey(),
                              TarveloConfig::kKeySize) == 0;
  std::string unsafe = served_unsafely(loaded);
  if (!unsafe.empty()) return refuse("it would serve " + unsafe);
  // The loader takes what it can from a broken file, so a file caught half
  // written or that does not parse shows here.
  if (lun_count(loaded.getEndpoints()) == 0) return refuse("it serves nothing");

  std::vector<std::string> fixed = listener_changes(running, loaded, has_keys);
  if (!fixed.empty()) {
    std::string keys;
    for (const std::string& key : fixed) keys += (keys.empty() ? "" : ", ") + key;
    TLOG(WARNING) << "Reload of " << path << " leaves " << keys
                  << " as they were: they need a new listener; restart the server to apply them";
  }

  TableChanges changes = apply_targets(served, loaded.getEndpoints());
  if (!changes.kept_in_use.empty()) {
    std::string names;
    for (const std::string& name : changes.kept_in_use) names += (names.empty() ? "" : ", ") + name;
    TLOG(WARNING) << "Reload of " << path << " keeps " << names
                  << ", which clients still use; a later reload removes them once unused";
  }
  outcome.applied = true;
  outcome.message = "Reloaded " + path + ": " + counted(changes.targets_added, "target") + " added, " +
                    std::to_string(changes.targets_removed) + " removed, " +
                    std::to_string(changes.kept_in_use.size()) + " kept in use, " +
                    counted(changes.passphrases_changed, "passphrase") + " changed, " +
                    counted(changes.luns_added, "LUN") + " added, " + std::to_string(changes.luns_removed) +
                    " removed";
  TLOG(INFO) << outcome.message;
  return outcome;
}

}  // namespace tarvelo::tools
