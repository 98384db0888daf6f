#include <pwd.h>
#include <sys/resource.h>

#include <csignal>
#include <exception>
#include <iostream>
#include <stdexcept>

#include "host/ServiceInstall.hpp"
#include "host/TService.hpp"
#include "host/TSystemdUnit.hpp"
#include "log/TLogSink.hpp"

namespace serviceinstall {

void PrepareProcess() {
  // A peer that closes while a reply is on its way must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  // Every analyzer connection holds a descriptor; the default soft limit of
  // 1024 would refuse a large lab long before memory runs short.
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

int Install(TService& service, const TInstallOptions& options) {
  const std::string folder = TSystemdUnit::Folder(options.unitDir);
  try {
    // systemd would only find out at the first start, with the unit already enabled.
    if (!options.user.empty() && !::getpwnam(options.user.c_str()))
      throw std::runtime_error("no such user: " + options.user);
    TSystemdUnit::Install(folder, options.executablePath, options.user);
    TSystemdUnit::ReloadManager(folder);
  } catch (const std::exception& e) {
    if (options.log) options.log->make("N\xE3o foi poss\xEDvel instalar o servi\xE7o. Erro: " + std::string(e.what()));
    std::cerr << "install failed: " << e.what() << std::endl;
    return 1;
  }
  service.AfterInstall();
  std::cout << "installed " << folder << "/" << TSystemdUnit::UNIT_NAME << std::endl;
  return 0;
}

int Uninstall(const TService& /*service: the unit's name is fixed*/, const TInstallOptions& options) {
  const std::string folder = TSystemdUnit::Folder(options.unitDir);
  try {
    const bool removed = TSystemdUnit::Uninstall(folder);
    TSystemdUnit::ReloadManager(folder);
    std::cout << (removed ? "removed " : "not installed: ") << folder << "/" << TSystemdUnit::UNIT_NAME
              << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "uninstall failed: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace serviceinstall
