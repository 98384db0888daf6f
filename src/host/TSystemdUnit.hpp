#pragma once
#include <string>

// The systemd unit that registers the service (the install and uninstall runs).
namespace TSystemdUnit {

inline constexpr const char* UNIT_NAME = "kvredurozozi.service";
inline constexpr const char* DEFAULT_DIR = "/etc/systemd/system";
// Environment variable that overrides the unit folder (the option wins over it).
inline constexpr const char* DIR_ENV = "KV_SYSTEMD_UNIT_DIR";

// Text of the unit for the executable at exePath, run as user (User=) when
// one is given, else as root. Throws std::invalid_argument for a user name
// the unit could not carry (blanks, control characters, quotes, "%", "\").
std::string Text(const std::string& exePath, const std::string& user = "");
// The unit folder: the option when given, else the environment variable, else the default.
std::string Folder(const std::string& optionDir);
// Writes the unit into folder; throws std::runtime_error when it cannot.
void Install(const std::string& folder, const std::string& exePath, const std::string& user = "");
// Removes the unit from folder; false when there was none.
bool Uninstall(const std::string& folder);
// Runs "systemctl daemon-reload" when folder is the system's and systemctl exists.
void ReloadManager(const std::string& folder);

}  // namespace TSystemdUnit
