// Entry block: the service (in the foreground, or run by the host's service
// manager), or the install/uninstall runs.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "db/TMyDB.hpp"
#include "host/ServiceInstall.hpp"
#include "lis/TLisWorkers.hpp"
#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"
#include "util/ProcessMemory.hpp"

namespace {

enum class TMode { Run, Install, Uninstall };

struct TArgs {
  TMode mode = TMode::Run;
  std::string unitDir;
  std::string user;
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
    } else if (a == "--user" && i + 1 < argc) {
      args.user = argv[++i];
    } else if (a.rfind("--user=", 0) == 0) {
      args.user = a.substr(std::strlen("--user="));
    } else {
      args.ok = false;
    }
  }
  if (!args.user.empty() && args.mode != TMode::Install) args.ok = false;
  return args;
}

// The service object has made `global`: the install runs log into its service log.
serviceinstall::TInstallOptions InstallOptions(const std::string& unitDir, const std::string& user = "") {
  serviceinstall::TInstallOptions options;
  options.executablePath = ExecutablePath();
  options.unitDir = unitDir;
  options.user = user;
  options.log = global ? global->log_.get() : nullptr;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  fsys::BoundAllocatorCaches();
  const TArgs args = ParseArgs(argc, argv);
  if (!args.ok) {
    std::cerr << "usage: " << argv[0] << " [--install [--user NAME] | --uninstall] [--unit-dir DIR]" << std::endl;
    return 2;
  }
  serviceinstall::PrepareProcess();

  int status = 0;
  {
    TKVRedurozozi service;
    switch (args.mode) {
      case TMode::Install:
        status = serviceinstall::Install(service, InstallOptions(args.unitDir, args.user));
        break;
      case TMode::Uninstall:
        status = serviceinstall::Uninstall(service, InstallOptions(args.unitDir));
        break;
      case TMode::Run:
        status = service.Run();
        break;
    }
  }
  if (global && global->log_) global->log_->flush();
  // A LIS worker stuck in a hung LIS, or a disk thread stuck in a folder that
  // does not answer, cannot be joined, and nothing it uses may be destroyed
  // under it: the process ends here, its logs written. (What the stuck disk
  // thread held is in the spool, for the next start.)
  const bool lisLeft = global && global->lisWorkers && global->lisWorkers->ThreadsLeft() > 0;
  const bool diskLeft = global && global->disk && global->disk->ThreadsLeft() > 0;
  if (lisLeft || diskLeft) {
    if (global->myDB) global->myDB->log_.flush();
    std::_Exit(status);
  }
  return status;
}
