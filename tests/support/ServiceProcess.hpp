#pragma once
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/TestSupport.hpp"

namespace kvtest {

// The real executable run as the service: copied into `folder` beside its own
// kv_redurozozi.json (and database.json when given), started in the foreground.
class ServiceProcess {
 public:
  // config: the main configuration; when it has no "porta", a free port is put in.
  // environment: "NAME=value" entries added to the process's own (a preloaded library).
  ServiceProcess(const std::string& folder, nlohmann::json config, std::vector<std::string> environment = {});
  ~ServiceProcess();  // stops the process if it still runs
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  int port() const { return port_; }
  const std::string& folder() const { return folder_; }
  std::string LogText() const;    // Logs/Redurozozi.txt (Windows-1252 bytes)
  std::string DbLogText() const;  // Logs/myDB.txt
  // Waits until the service log holds `needle`.
  bool WaitForLog(const std::string& needle, std::chrono::milliseconds timeout = 10000ms) const;
  // Waits until the listener accepts connections.
  bool WaitListening(std::chrono::milliseconds timeout = 10000ms) const;
  bool Running();
  // SIGTERM and wait; answers the exit status (or -1 when killed after a timeout).
  int Stop(std::chrono::milliseconds timeout = 10000ms);
  // Ends the process at once (SIGKILL), as a crash or a power cut would.
  void Kill();
  // Waits for the process to end by itself; answers the exit status or -1.
  int WaitExit(std::chrono::milliseconds timeout = 10000ms);

 private:
  std::string folder_;
  int port_ = 0;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace kvtest
