#pragma once
#include <string>

class TKVRedurozozi;

// The entry block's host-specific part: the process set-up, and the install
// and uninstall runs that register the service with the host's service
// manager (a systemd unit on Linux, the service control manager on Windows).
namespace serviceinstall {

// Process-wide settings made before the service object exists.
void PrepareProcess();
// Registers the service; on success logs the install line. Answers the exit status.
// unitDir: where the systemd unit goes (Linux; empty for the default).
// user: the account the service runs as (Linux, an existing user; empty for root).
int Install(TKVRedurozozi& service, const std::string& unitDir, const std::string& user);
// Removes the registration. Answers the exit status.
int Uninstall(const std::string& unitDir);

}  // namespace serviceinstall
