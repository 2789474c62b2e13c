#pragma once

// Tells the service manager where the daemon is in its life (systemd's
// Type=notify). Does nothing when the build has no libsystemd or when the
// daemon was not started by a manager that listens (no NOTIFY_SOCKET).

#include <string>

namespace tarvelo::tools {

// Ready to serve; `status` is the one-line STATUS= text.
void notify_ready(const std::string& status);
// Reloading the configuration; notify_ready follows when done.
void notify_reloading();
// The clean close has begun.
void notify_stopping();

}  // namespace tarvelo::tools
