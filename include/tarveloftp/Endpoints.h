#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <tarveloftp/Export.h>
#include <tarveloftp/Lun.h>
#include <tarveloftp/Target.h>

namespace tarvelo::config {

// The table of served targets: kTargetSlots slots, slot i holding target i,
// allocated once. Add and remove operations report refusals both as a status
// and as an ERROR log line, and never throw.
//
// Threading: `mutex` guards `target_index` and `targets`. The lookups hold it
// only for the lookup; callers then use the returned reference unlocked
// (slots never move). Copy and move take no lock: the source must not be in
// use by another thread.
class TARVELOFTP_EXPORT Endpoints {
 public:
  static constexpr std::size_t kTargetSlots = 255;

  enum endpoint_status_t {
    ENDPOINT_OK = 0,
    ENDPOINT_IN_USE = 1,
    ENDPOINT_ALREADY_EXISTS = 2,
    ENDPOINT_DOES_NOT_EXIST = 3,
    ENDPOINT_NO_SLOTS = 4,
  };

  // Returned by target(name) for an undefined name; recognised by its empty
  // name and never to be modified.
  static Target EmptyTarget;

  Endpoints();
  // Each object keeps its own mutex: copies and moves carry the table only.
  Endpoints(const Endpoints& other);
  Endpoints(Endpoints&& other) noexcept;
  Endpoints& operator=(const Endpoints& other);
  Endpoints& operator=(Endpoints&& other) noexcept;
  ~Endpoints();

  bool target_exists(std::string name);
  // The slot with that id (0 to 254); EmptyTarget for 255.
  Target& target(unsigned char id);
  // The defined target of that name, or EmptyTarget.
  Target& target(std::string name);
  // The first free slot, or -1 when all are taken. Takes no lock.
  int64_t next_target_id();

  endpoint_status_t add_target(std::string name);
  endpoint_status_t remove_target(std::string name, bool force);
  endpoint_status_t add_lun(std::string target, unsigned char lun, std::string file);
  endpoint_status_t remove_lun(std::string target, unsigned char lun, bool force);

  static std::string endpoint_status_to_str(endpoint_status_t status);

  // Whether slot `target_id` still holds target `name` with LUN `lun_id`
  // backed by `file`: a connection asks this before each request, since the
  // administration thread may remove what it opened meanwhile.
  bool serves(unsigned char target_id, unsigned char lun_id, const std::string& name,
              const std::string& file);

  // Text listing for people: targets by name, their passwords and LUNs.
  std::string print();
  // JSON listing; `verbose` lists each LUN with its counters. Throws the
  // JSON library's type error when a name, password or path is not valid
  // UTF-8; callers that must stay up catch it.
  std::string print_json(bool verbose);

 private:
  std::map<std::string, unsigned char> target_index;
  std::vector<Target> targets;
  std::mutex mutex;
};

}  // namespace tarvelo::config
