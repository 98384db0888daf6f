#pragma once
#include <chrono>
#include <string>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

// Our small service framework: runs a service object in the foreground the way
// the service manager would (start, execute, stop). SIGTERM and SIGINT are the
// stop request. The execute handler runs the loop itself with ProcessRequests.
// The stop signals are blocked in every thread and read from a signalfd on the
// loop: the embedded Firebird engine installs its own SIGTERM/SIGINT handlers
// when it attaches a database, which would replace a handler of ours
// (asio::signal_set) and end the process without the stop lines.
class TService {
 public:
  TService();
  virtual ~TService();
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;

  // Start, execute and stop; answers the process exit status.
  int Run();
  // Waits for the next event (stop request or socket event) and handles it.
  void ProcessRequests(bool pWait);
  // Handles the next event, waiting no later than deadline; false when
  // nothing is left to wait for.
  bool ProcessRequestsUntil(std::chrono::steady_clock::time_point deadline);
  // True once a stop request was accepted; the execute loop ends on it.
  bool Terminated() const { return terminated_; }
  // The event loop every handler of the service runs on.
  asio::io_context& Context() { return io_; }

  // Non-zero when the service stopped because it could not run.
  int ExitCode = 0;

 protected:
  // Called on start; Started false refuses the start.
  virtual void OnStart(bool& Started) = 0;
  // Runs as long as the service runs.
  virtual void OnExecute() = 0;
  // Called on a stop request; Stopped false refuses it.
  virtual void OnStop(bool& Stopped) = 0;
  // Reports an error that escaped an event handler (the system's event log).
  virtual void ReportError(const std::string& text);

 private:
  void WaitStopRequest();

  asio::io_context io_;
  asio::posix::stream_descriptor signals_;  // signalfd of SIGTERM and SIGINT
  char signalInfo_[128] = {};              // one signalfd_siginfo
  bool terminated_ = false;
};
