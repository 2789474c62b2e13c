#include <tarveloftp/Endpoints.h>
#include <tarveloftp/Logger.h>

#include <utility>

namespace tarvelo::config {

namespace {
// The last LUN id that has a slot; 255 is refused everywhere.
constexpr unsigned char kLastLunId = Target::kLunSlots - 1;
}  // namespace

Target Endpoints::EmptyTarget;

Endpoints::Endpoints() {
  targets.reserve(kTargetSlots);
  targets.resize(kTargetSlots);
}

Endpoints::Endpoints(const Endpoints& other) : target_index(other.target_index), targets(other.targets) {}

Endpoints::Endpoints(Endpoints&& other) noexcept
    : target_index(std::move(other.target_index)), targets(std::move(other.targets)) {}

Endpoints& Endpoints::operator=(const Endpoints& other) {
  if (this == &other) return *this;
  target_index = other.target_index;
  targets = other.targets;
  return *this;
}

Endpoints& Endpoints::operator=(Endpoints&& other) noexcept {
  if (this == &other) return *this;
  target_index = std::move(other.target_index);
  targets = std::move(other.targets);
  return *this;
}

Endpoints::~Endpoints() = default;

bool Endpoints::target_exists(std::string name) {
  std::lock_guard lock(mutex);
  return target_index.contains(name);
}

bool Endpoints::serves(unsigned char target_id, unsigned char lun_id, const std::string& name,
                       const std::string& file) {
  std::lock_guard lock(mutex);
  if (target_id >= targets.size()) return false;
  Target& slot = targets[target_id];
  return slot.name() == name && slot.lun_exists(lun_id) && slot.lun(lun_id).file() == file;
}

Target& Endpoints::target(unsigned char id) {
  std::lock_guard lock(mutex);
  if (id >= targets.size()) {
    TLOG(ERROR) << "Tarvelo config looking for target id " << static_cast<int>(id)
                << " but there is no target slot with that id.";
    return EmptyTarget;
  }
  return targets[id];
}

Target& Endpoints::target(std::string name) {
  std::lock_guard lock(mutex);
  auto entry = target_index.find(name);
  if (entry == target_index.end()) {
    TLOG(ERROR) << "Tarvelo config looking for target " << name
                << " but there are no targets defined by that name.";
    return EmptyTarget;
  }
  return targets[entry->second];
}

int64_t Endpoints::next_target_id() {
  for (std::size_t id = 0; id < targets.size(); ++id)
    if (targets[id].name().empty()) return static_cast<int64_t>(id);
  return -1;
}

Endpoints::endpoint_status_t Endpoints::add_target(std::string name) {
  std::lock_guard lock(mutex);
  // An empty name would be indexed while its slot still looked free.
  if (name.empty()) {
    TLOG(ERROR) << "Trying to add target with an empty name";
    return ENDPOINT_DOES_NOT_EXIST;
  }
  int64_t id = next_target_id();
  if (id == -1) {
    TLOG(ERROR) << "Ran out of space trying to add target: " << name;
    return ENDPOINT_NO_SLOTS;
  }
  if (target_index.contains(name)) {
    TLOG(ERROR) << "Trying to add target that already exists: " << name;
    return ENDPOINT_ALREADY_EXISTS;
  }
  auto slot = static_cast<unsigned char>(id);
  target_index.emplace(name, slot);
  targets[slot] = Target(slot, name, "");
  TLOG(DEBUG) << "Adding target " << name;
  return ENDPOINT_OK;
}

Endpoints::endpoint_status_t Endpoints::remove_target(std::string name, bool force) {
  std::lock_guard lock(mutex);
  auto entry = target_index.find(name);
  if (entry == target_index.end()) {
    TLOG(ERROR) << "Trying to remove non existent target: " << name;
    return ENDPOINT_DOES_NOT_EXIST;
  }
  Target& slot = targets[entry->second];
  if (!force && slot.in_use()) {
    TLOG(ERROR) << "Trying to remove in-use target: " << name;
    return ENDPOINT_IN_USE;
  }
  slot = Target();
  TLOG(DEBUG) << "Removing target " << name;
  target_index.erase(entry);
  return ENDPOINT_OK;
}

Endpoints::endpoint_status_t Endpoints::add_lun(std::string target, unsigned char lun, std::string file) {
  std::lock_guard lock(mutex);
  auto entry = target_index.find(target);
  if (entry == target_index.end()) {
    TLOG(ERROR) << "Trying to add lun to non existent target: " << target;
    return ENDPOINT_DOES_NOT_EXIST;
  }
  if (lun > kLastLunId) {
    TLOG(ERROR) << "Trying to add lun " << static_cast<int>(lun)
                << " beyond the last lun slot to target: " << target;
    return ENDPOINT_DOES_NOT_EXIST;
  }
  Target& slot = targets[entry->second];
  if (slot.lun_exists(lun)) {
    TLOG(ERROR) << "Trying to add lun " << static_cast<int>(lun)
                << " that already exists to target: " << target;
    return ENDPOINT_ALREADY_EXISTS;
  }
  slot.add_lun(Lun(lun, file));
  return ENDPOINT_OK;
}

Endpoints::endpoint_status_t Endpoints::remove_lun(std::string target, unsigned char lun, bool force) {
  std::lock_guard lock(mutex);
  auto entry = target_index.find(target);
  if (entry == target_index.end()) {
    TLOG(ERROR) << "Trying to remove lun from non existent target: " << target;
    return ENDPOINT_DOES_NOT_EXIST;
  }
  Target& slot = targets[entry->second];
  if (!slot.lun_exists(lun)) {
    TLOG(ERROR) << "Trying to remove lun " << static_cast<int>(lun)
                << " that doesn't exist from target: " << target;
    return ENDPOINT_DOES_NOT_EXIST;
  }
  if (!force && slot.lun(lun).reference_count() != 0) {
    TLOG(ERROR) << "Trying to remove lun " << static_cast<int>(lun)
                << " that is in use from target: " << target;
    return ENDPOINT_IN_USE;
  }
  slot.remove_lun(lun);
  TLOG(DEBUG) << "Removing lun " << static_cast<int>(lun) << " from target: " << target;
  return ENDPOINT_OK;
}

std::string Endpoints::endpoint_status_to_str(endpoint_status_t status) {
  switch (status) {
    case ENDPOINT_OK:
      return "";
    case ENDPOINT_IN_USE:
      return "Endpoint currently in use";
    case ENDPOINT_ALREADY_EXISTS:
      return "Endpoint already exists";
    case ENDPOINT_DOES_NOT_EXIST:
      return "Endpoint does not exist";
    case ENDPOINT_NO_SLOTS:
      return "No endpoint slots available";
  }
  return "Unknown";
}

}  // namespace tarvelo::config
