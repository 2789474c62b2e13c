#include "SaveConfiguration.h"

#include <nlohmann/json.hpp>

namespace tarvelo::tools {

bool endpoints_from_listing(const std::string& listing, config::Endpoints& endpoints, std::string* error) {
  using json = nlohmann::json;
  json document = json::parse(listing, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    *error = "the server's listing is not a JSON object";
    return false;
  }
  auto refused = [&](const std::string& what, config::Endpoints::endpoint_status_t status) {
    *error = what + ": " + config::Endpoints::endpoint_status_to_str(status);
    return false;
  };
  for (const auto& [name, entry] : document.items()) {
    if (!entry.is_object()) {
      *error = "target " + name + " of the listing is not an object";
      return false;
    }
    if (auto status = endpoints.add_target(name); status != config::Endpoints::ENDPOINT_OK)
      return refused("cannot add target " + name, status);
    config::Target& target = endpoints.target(name);
    try {
      target.password(entry.value("password", std::string()));
      target.read_only(entry.value("read_only", false));
      // Only the verbose listing names LUNs this way; the short one would
      // leave them out without a word.
      const json& luns = entry.at("luns");
      for (const json& lun : luns) {
        auto id = lun.at("id").get<unsigned>();
        if (id >= config::Target::kLunSlots) {
          *error = "target " + name + " lists lun " + std::to_string(id) + ", which has no slot";
          return false;
        }
        auto status = endpoints.add_lun(name, static_cast<unsigned char>(id), lun.at("file").get<std::string>());
        if (status != config::Endpoints::ENDPOINT_OK)
          return refused("cannot add lun " + std::to_string(id) + " of target " + name, status);
      }
    } catch (const json::exception& bad) {
      *error = "target " + name + " of the listing: " + bad.what();
      return false;
    }
  }
  return true;
}

}  // namespace tarvelo::tools
