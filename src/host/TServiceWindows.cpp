#include <windows.h>

#include <asio/post.hpp>
#include <atomic>

#include "host/TService.hpp"
#include "util/FileSystem.hpp"
#include "util/WideText.hpp"

// The service control manager starts the process and calls ServiceMain on a
// thread of its own; its stop request and a console's Ctrl-C are posted into
// the loop, where they are handled between two events like any other.
struct TService::StopRequests {
  SERVICE_STATUS_HANDLE status = nullptr;
  std::atomic<bool> asked{false};
};

namespace {

TService* running = nullptr;  // the one service of the process, for the system's callbacks

void Report(SERVICE_STATUS_HANDLE handle, DWORD state, DWORD exitCode = 0) {
  if (!handle) return;
  SERVICE_STATUS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  if (exitCode != 0) {
    s.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    s.dwServiceSpecificExitCode = exitCode;
  }
  s.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 30000;
  ::SetServiceStatus(handle, &s);
}

}  // namespace

// Reaches the private parts of the service for the system's callbacks.
struct TServiceHost {
  static void RequestStop(TService& s) {
    if (s.stops_->asked.exchange(true)) return;
    asio::post(s.io_, [&s] {
      s.Stop();
      if (!s.terminated_) s.stops_->asked = false;  // refused: the next request counts again
    });
  }

  static DWORD WINAPI Control(DWORD code, DWORD, void*, void* context) {
    auto& s = *static_cast<TService*>(context);
    switch (code) {
      case SERVICE_CONTROL_STOP:
      case SERVICE_CONTROL_SHUTDOWN:
        Report(s.stops_->status, SERVICE_STOP_PENDING);
        RequestStop(s);
        return NO_ERROR;
      case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
      default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
  }

  static void WINAPI Main(DWORD, LPWSTR*) {
    TService& s = *running;
    const std::wstring name = WideOf(s.serviceName_);
    s.stops_->status = ::RegisterServiceCtrlHandlerExW(name.c_str(), Control, &s);
    Report(s.stops_->status, SERVICE_START_PENDING);
    const int code = s.RunHere();
    s.OnFinished();
    Report(s.stops_->status, SERVICE_STOPPED, static_cast<DWORD>(code));
    s.ExitCode = code;
  }

  static BOOL WINAPI Console(DWORD type) {
    if (!running) return FALSE;
    switch (type) {
      case CTRL_C_EVENT:
      case CTRL_BREAK_EVENT:
      case CTRL_CLOSE_EVENT:
        RequestStop(*running);
        return TRUE;
      default:
        return FALSE;
    }
  }

  static int Run(TService& s) {
    running = &s;
    std::wstring name = WideOf(s.serviceName_);
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), Main}, {nullptr, nullptr}};
    if (::StartServiceCtrlDispatcherW(table)) return s.ExitCode;
    const DWORD err = ::GetLastError();
    if (err != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      s.ReportError("StartServiceCtrlDispatcher: " + fsys::ErrorText(static_cast<int>(err)));
      return 1;
    }
    // Started from a console, not by the control manager: in the foreground, Ctrl-C stops it.
    ::SetConsoleCtrlHandler(Console, TRUE);
    const int code = s.RunHere();
    s.OnFinished();
    return code;
  }
};

TService::TService(const char* serviceName, const char* displayName)
    : serviceName_(serviceName), displayName_(displayName), io_(1), stops_(std::make_unique<StopRequests>()) {}

TService::~TService() {
  if (running == this) running = nullptr;
}

int TService::Run() { return TServiceHost::Run(*this); }

void TService::WatchStopRequests() {
  Report(stops_->status, SERVICE_RUNNING);
}
