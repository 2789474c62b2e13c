#pragma once

// What tarveloftpd does on SIGHUP: reads its configuration file again and
// brings the served table to it through the same table operations the
// administration channel uses, leaving alone what clients still use.

#include <string>
#include <vector>

#include <tarveloftp/Endpoints.h>
#include <tarveloftp/TarveloConfig.h>

namespace tarvelo::tools {

// What apply_targets changed, and what it had to keep.
struct TableChanges {
  int targets_added = 0;
  int targets_removed = 0;
  int luns_added = 0;
  int luns_removed = 0;
  int passphrases_changed = 0;
  // Targets ("[disk]") and LUNs ("LUN 1 of [disk] (/path)") the file no
  // longer has, or has with another path, kept because a client uses them.
  std::vector<std::string> kept_in_use;
};

// Makes `served` hold the targets, LUNs and passphrases of `wanted`. A
// target or LUN that a client uses is never removed: it stays and is named
// in kept_in_use, so that a later call removes it once unused. A changed
// LUN path is a removal plus an addition under the same rule. Safe while
// `served` serves clients; `wanted` must be used by no other thread.
TableChanges apply_targets(config::Endpoints& served, config::Endpoints& wanted);

// The [config] settings that would need a new listener and differ between
// the running and the loaded configuration, by key name. Keys count only
// when `loaded_has_keys`: without them the loader makes a fresh pair.
std::vector<std::string> listener_changes(const TarveloConfig& running, const TarveloConfig& loaded,
                                          bool loaded_has_keys);

struct ReloadOutcome {
  bool applied = false;
  // The INFO summary when applied, otherwise why nothing changed.
  std::string message;
};

// Reads `path` and applies its targets to `served`, logging a WARNING for
// what it keeps in use and for listener settings it cannot change, and an
// INFO line with the summary (an ERROR line when refused). A file that
// cannot be read, serves nothing (as one that does not parse does) or
// leaves a target without its passphrase changes nothing. `running` holds
// the settings the listeners were built with.
ReloadOutcome reload_configuration(const std::string& path, const TarveloConfig& running,
                                   config::Endpoints& served);

}  // namespace tarvelo::tools
