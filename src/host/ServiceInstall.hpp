#pragma once
#include <string>

class TLogSink;
class TService;

// The entry block's host-specific part: the process set-up, and the install
// and uninstall runs that register the service with the host's service
// manager (a systemd unit on Linux, the service control manager on Windows).
namespace serviceinstall {

// What an install or uninstall run is handed by the entry block.
struct TInstallOptions {
  std::string executablePath;  // the program the service manager starts (full path, UTF-8)
  std::string unitDir;         // Linux: the systemd unit's folder; empty for the default
  std::string user;            // Linux: the account the service runs as (an existing user; empty for root)
  TLogSink* log = nullptr;     // the service log, for a failed install (may be null)
};

// Process-wide settings made before the service object exists.
void PrepareProcess();
// Registers the service; on success tells it (AfterInstall: the install line).
// Answers the exit status.
int Install(TService& service, const TInstallOptions& options);
// Removes the registration. Answers the exit status.
int Uninstall(const TService& service, const TInstallOptions& options);

}  // namespace serviceinstall
