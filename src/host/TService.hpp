#pragma once
#include <chrono>
#include <memory>
#include <string>

#include <asio/io_context.hpp>

// Our small service framework: runs a service object the way the host's
// service manager does (start, execute, stop). The execute handler runs the
// loop itself with ProcessRequests. How stop requests arrive is the host's
// part (TServicePosix.cpp, TServiceWindows.cpp): on Linux SIGTERM and SIGINT,
// read from a signalfd (the embedded Firebird engine installs its own
// SIGTERM/SIGINT handlers when it attaches a database, which would replace a
// handler of ours and end the process without the stop lines); on Windows the
// service control manager's stop, or Ctrl-C when started from a console.
class TService {
 public:
  // serviceName: the name the host's service manager knows the service by;
  // displayName: the one it shows (Windows).
  explicit TService(const char* serviceName = "", const char* displayName = "");
  virtual ~TService();
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;

  // Start, execute and stop; answers the process exit status.
  int Run();
  // Told by an install run that registered the service.
  void AfterInstall() { OnAfterInstall(); }
  // Waits for the next event (stop request or socket event) and handles it.
  void ProcessRequests(bool pWait);
  // Handles the next event, waiting no later than deadline; false when
  // nothing is left to wait for.
  bool ProcessRequestsUntil(std::chrono::steady_clock::time_point deadline);
  // True once a stop request was accepted; the execute loop ends on it.
  bool Terminated() const { return terminated_; }
  // The event loop every handler of the service runs on.
  asio::io_context& Context() { return io_; }
  const std::string& Name() const { return serviceName_; }
  const std::string& DisplayName() const { return displayName_; }

  // Non-zero when the service stopped because it could not run.
  int ExitCode = 0;

 protected:
  // Called on start; Started false refuses the start.
  virtual void OnStart(bool& Started) = 0;
  // Runs as long as the service runs.
  virtual void OnExecute() = 0;
  // Called on a stop request; Stopped false refuses it.
  virtual void OnStop(bool& Stopped) = 0;
  // Called when the service has ended, before the host is told it stopped.
  virtual void OnFinished() {}
  // Called once an install run has registered the service.
  virtual void OnAfterInstall() {}
  // Reports an error that escaped an event handler (the system's event log).
  virtual void ReportError(const std::string& text);

 private:
  friend struct TServiceHost;  // the host's callbacks (Windows)
  struct StopRequests;  // the host's source of stop requests

  // Start, then (when started) the stop requests are awaited and the execute handler runs.
  int RunHere();
  // Begins waiting for the host's stop requests (on the loop).
  void WatchStopRequests();
  // A stop request, handled on the loop: the stop handler, then the loop ends at its next test.
  void Stop();

  const std::string serviceName_;
  const std::string displayName_;
  asio::io_context io_;
  std::unique_ptr<StopRequests> stops_;
  bool terminated_ = false;
};
