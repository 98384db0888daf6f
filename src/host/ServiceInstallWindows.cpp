#include <windows.h>

#include <exception>
#include <iostream>
#include <stdexcept>

#include "host/ServiceInstall.hpp"
#include "host/TService.hpp"
#include "log/TLogSink.hpp"
#include "util/FileSystem.hpp"
#include "util/WideText.hpp"

namespace serviceinstall {

namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + fsys::ErrorText(static_cast<int>(::GetLastError())));
}

// Closes a service control manager handle.
struct Handle {
  SC_HANDLE h;
  ~Handle() {
    if (h) ::CloseServiceHandle(h);
  }
};

// Registers the service (own process, automatic start), or points a registration
// made from another place at this executable.
void Register(const TService& service, const std::string& executablePath) {
  Handle scm{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE | SC_MANAGER_CONNECT)};
  if (!scm.h) Fail("OpenSCManager");
  const std::wstring name = WideOf(service.Name());
  const std::wstring display = WideOf(service.DisplayName());
  const std::wstring command = L"\"" + WideOf(executablePath) + L"\"";  // a path with blanks stays one
  Handle svc{::CreateServiceW(scm.h, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr)};
  if (svc.h) return;
  if (::GetLastError() != ERROR_SERVICE_EXISTS) Fail("CreateService");
  Handle old{::OpenServiceW(scm.h, name.c_str(), SERVICE_CHANGE_CONFIG)};
  if (!old.h) Fail("OpenService");
  if (!::ChangeServiceConfigW(old.h, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, display.c_str()))
    Fail("ChangeServiceConfig");
}

}  // namespace

void PrepareProcess() {
  // A crash must not wait on an error dialog nobody sees on a server.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

int Install(TService& service, const TInstallOptions& options) {
  try {
    // Asked for a lesser account, it must not quietly register one that runs as LocalSystem.
    if (!options.user.empty()) throw std::runtime_error("--user is for Linux; the service runs as LocalSystem");
    Register(service, options.executablePath);
  } catch (const std::exception& e) {
    if (options.log) options.log->make("N\xE3o foi poss\xEDvel instalar o servi\xE7o. Erro: " + std::string(e.what()));
    std::cerr << "install failed: " << e.what() << std::endl;
    return 1;
  }
  service.AfterInstall();
  std::cout << "installed service " << service.Name() << std::endl;
  return 0;
}

int Uninstall(const TService& service, const TInstallOptions& /*options: the unit folder is Linux's*/) {
  try {
    Handle scm{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (!scm.h) Fail("OpenSCManager");
    const std::wstring name = WideOf(service.Name());
    Handle svc{::OpenServiceW(scm.h, name.c_str(), DELETE)};
    if (!svc.h && ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
      std::cout << "not installed: service " << service.Name() << std::endl;
      return 0;
    }
    if (!svc.h) Fail("OpenService");
    if (!::DeleteService(svc.h)) Fail("DeleteService");
    std::cout << "removed service " << service.Name() << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "uninstall failed: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace serviceinstall
