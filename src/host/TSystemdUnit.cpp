#include "host/TSystemdUnit.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace fs = std::filesystem;

namespace TSystemdUnit {

namespace {
// ExecStart takes a quoted path when it holds blanks; "%" starts a specifier.
std::string QuoteExecPath(const std::string& path) {
  std::string escaped;
  bool blank = false;
  for (char c : path) {
    if (c == '%') escaped += '%';
    if (c == '"' || c == '\\') escaped += '\\';
    if (c == ' ' || c == '\t') blank = true;
    escaped += c;
  }
  return blank ? "\"" + escaped + "\"" : escaped;
}

// A name systemd takes as it stands: nothing that would end the line, quote or expand.
std::string UserLine(const std::string& user) {
  if (user.empty()) return "";
  for (unsigned char c : user)
    if (c <= ' ' || c == 0x7F || c == '"' || c == '\'' || c == '\\' || c == '%')
      throw std::invalid_argument("user name not usable in a unit: \"" + user + "\"");
  return "User=" + user + "\n";
}
}  // namespace

std::string Text(const std::string& exePath, const std::string& user) {
  return "[Unit]\n"
         "Description=Tevarin (Redurozozi)\n"
         "After=network-online.target\n"
         "Wants=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=simple\n"
         "ExecStart=" + QuoteExecPath(exePath) + "\n" +
         UserLine(user) +
         "Restart=on-failure\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

std::string Folder(const std::string& optionDir) {
  if (!optionDir.empty()) return optionDir;
  const char* env = std::getenv(DIR_ENV);
  if (env && *env) return env;
  return DEFAULT_DIR;
}

void Install(const std::string& folder, const std::string& exePath, const std::string& user) {
  const std::string text = Text(exePath, user);
  const fs::path target = fs::path(folder) / UNIT_NAME;
  const fs::path temp = fs::path(folder) / (std::string(UNIT_NAME) + ".tmp");
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + temp.string());
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + temp.string());
  }
  std::error_code ec;
  fs::rename(temp, target, ec);
  if (ec) {
    fs::remove(temp, ec);
    throw std::runtime_error("cannot write " + target.string());
  }
}

bool Uninstall(const std::string& folder) {
  std::error_code ec;
  const bool removed = fs::remove(fs::path(folder) / UNIT_NAME, ec);
  if (ec) throw std::runtime_error("cannot remove " + (fs::path(folder) / UNIT_NAME).string() + ": " + ec.message());
  return removed;
}

void ReloadManager(const std::string& folder) {
  if (fs::path(folder).lexically_normal() != fs::path(DEFAULT_DIR)) return;
  for (const char* systemctl : {"/usr/bin/systemctl", "/bin/systemctl"}) {
    if (!fs::exists(systemctl)) continue;
    char* const argv[] = {const_cast<char*>(systemctl), const_cast<char*>("daemon-reload"), nullptr};
    // The service blocks its stop signals; systemctl must not inherit that.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, systemctl, nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc == 0) {
      int status = 0;
      waitpid(pid, &status, 0);
    }
    return;
  }
}

}  // namespace TSystemdUnit
