// Entry block: the service (in the foreground, or run by the host's service
// manager), or the install/uninstall runs.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "db/TMyDB.hpp"
#include "lis/TLisWorkers.hpp"
#include "service/ServiceInstall.hpp"
#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"
#include "util/ProcessMemory.hpp"

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

}  // namespace

int main(int argc, char** argv) {
  fsys::BoundAllocatorCaches();
  const TArgs args = ParseArgs(argc, argv);
  if (!args.ok) {
    std::cerr << "usage: " << argv[0] << " [--install | --uninstall] [--unit-dir DIR]" << std::endl;
    return 2;
  }
  serviceinstall::PrepareProcess();

  int status = 0;
  {
    TKVRedurozozi service;
    switch (args.mode) {
      case TMode::Install:
        status = serviceinstall::Install(service, args.unitDir);
        break;
      case TMode::Uninstall:
        status = serviceinstall::Uninstall(args.unitDir);
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
