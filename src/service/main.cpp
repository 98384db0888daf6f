// Entry block: the service in the foreground, or the install/uninstall runs.
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "db/TMyDB.hpp"
#include "lis/TLisWorkers.hpp"
#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"
#include "service/TSystemdUnit.hpp"

namespace {

enum class TMode { Run, Install, Uninstall };

struct TArgs {
  TMode mode = TMode::Run;
  std::string unitDir;
  bool ok = true;
};

TArgs ParseArgs(int argc, char** argv) {
  TArgs args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--install" || a == "/install") {
      args.mode = TMode::Install;
    } else if (a == "--uninstall" || a == "/uninstall") {
      args.mode = TMode::Uninstall;
    } else if (a == "--unit-dir" && i + 1 < argc) {
      args.unitDir = argv[++i];
    } else if (a.rfind("--unit-dir=", 0) == 0) {
      args.unitDir = a.substr(std::strlen("--unit-dir="));
    } else {
      args.ok = false;
    }
  }
  return args;
}

// Every analyzer connection holds a descriptor; the default soft limit of
// 1024 would refuse a large lab long before memory runs short.
void RaiseDescriptorLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

int Install(TKVRedurozozi& service, const std::string& unitDir) {
  const std::string folder = TSystemdUnit::Folder(unitDir);
  try {
    TSystemdUnit::Install(folder, ExecutablePath());
    TSystemdUnit::ReloadManager(folder);
  } catch (const std::exception& e) {
    doLog("N\xE3o foi poss\xEDvel instalar o servi\xE7o. Erro: " + std::string(e.what()));
    std::cerr << "install failed: " << e.what() << std::endl;
    return 1;
  }
  service.ServiceAfterInstall();
  std::cout << "installed " << folder << "/" << TSystemdUnit::UNIT_NAME << std::endl;
  return 0;
}

int Uninstall(const std::string& unitDir) {
  const std::string folder = TSystemdUnit::Folder(unitDir);
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

}  // namespace

int main(int argc, char** argv) {
  const TArgs args = ParseArgs(argc, argv);
  if (!args.ok) {
    std::cerr << "usage: " << argv[0] << " [--install | --uninstall] [--unit-dir DIR]" << std::endl;
    return 2;
  }
  // A peer that closes while a reply is on its way must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit();

  int status = 0;
  {
    TKVRedurozozi service;
    switch (args.mode) {
      case TMode::Install:
        status = Install(service, args.unitDir);
        break;
      case TMode::Uninstall:
        status = Uninstall(args.unitDir);
        break;
      case TMode::Run:
        status = service.Run();
        break;
    }
  }
  if (global && global->log_) global->log_->flush();
  // A LIS worker stuck in a hung LIS cannot be joined, and nothing it uses may
  // be destroyed under it: the process ends here, its logs written.
  if (global && global->lisWorkers && global->lisWorkers->ThreadsLeft() > 0) {
    if (global->myDB) global->myDB->log_.flush();
    std::_Exit(status);
  }
  return status;
}
