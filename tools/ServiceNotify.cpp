#include "ServiceNotify.h"

#ifdef TARVELOFTP_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#include <time.h>
#endif

namespace tarvelo::tools {

namespace {

void notify(const std::string& state) {
#ifdef TARVELOFTP_HAVE_SYSTEMD
  // Failures are no reason to stop serving: the manager sees no readiness
  // and handles that by its own timeouts.
  (void)sd_notify(0, state.c_str());
#else
  (void)state;
#endif
}

}  // namespace

void notify_ready(const std::string& status) {
  // A newline would start another assignment.
  std::string line = status.substr(0, status.find('\n'));
  notify("READY=1\nSTATUS=" + line);
}

void notify_reloading() {
#ifdef TARVELOFTP_HAVE_SYSTEMD
  // Newer managers match the reload to the signal by this timestamp.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  unsigned long long microseconds =
      static_cast<unsigned long long>(now.tv_sec) * 1000000ULL + static_cast<unsigned long long>(now.tv_nsec) / 1000;
  notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(microseconds));
#endif
}

void notify_stopping() { notify("STOPPING=1"); }

}  // namespace tarvelo::tools
