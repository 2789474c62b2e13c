// The two listings of the endpoint table: text for people, JSON for programs.

#include <tarveloftp/Endpoints.h>

#include <nlohmann/json.hpp>

#include <sstream>

namespace tarvelo::config {

std::string Endpoints::print() {
  std::lock_guard lock(mutex);
  std::ostringstream text;
  text << "Target configuration:" << std::endl;
  for (const auto& [name, id] : target_index) {
    Target& target = targets[id];
    text << '\t' << name << std::endl;
    std::string password = target.password();
    if (!password.empty()) text << "\t\tpassword: " << password << std::endl;
    if (target.read_only()) text << "\t\tread-only" << std::endl;
    for (std::size_t lun = 0; lun < Target::kLunSlots; ++lun) {
      if (!target.lun_exists(static_cast<unsigned char>(lun))) continue;
      text << "\t\t" << lun << ": " << target.lun(static_cast<unsigned char>(lun)).file() << std::endl;
    }
  }
  return text.str();
}

std::string Endpoints::print_json(bool verbose) {
  nlohmann::json document = nlohmann::json::object();
  // Held through rendering, so the listing shows one state of the table.
  std::lock_guard lock(mutex);
  for (const auto& [name, id] : target_index) {
    Target& target = targets[id];
    nlohmann::json& entry = document[name];
    entry = nlohmann::json::object();
    std::string password = target.password();
    if (!password.empty()) entry["password"] = password;
    if (target.read_only()) entry["read_only"] = true;
    nlohmann::json luns = nlohmann::json::array();
    for (std::size_t lun_id = 0; lun_id < Target::kLunSlots; ++lun_id) {
      auto slot = static_cast<unsigned char>(lun_id);
      if (!target.lun_exists(slot)) continue;
      Lun& lun = target.lun(slot);
      if (verbose) {
        luns.push_back({{"id", lun_id},
                        {"file", lun.file()},
                        {"ref_count", lun.reference_count()},
                        {"read_ops", lun.read_op_count()},
                        {"write_ops", lun.write_op_count()}});
      } else {
        entry[std::to_string(lun_id)] = lun.file();
      }
    }
    if (verbose) entry["luns"] = std::move(luns);
  }
  return document.dump(1, ' ', false);
}

}  // namespace tarvelo::config
