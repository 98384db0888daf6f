#include "support/ServiceProcess.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace kvtest {

ServiceProcess::ServiceProcess(const std::string& folder, nlohmann::json config, std::vector<std::string> environment)
    : folder_(folder) {
  fs::create_directories(folder_);
  const std::string exe = folder_ + "/kv_redurozozi";
  fs::copy_file(std::string(KV_BINARY_DIR) + "/kv_redurozozi", exe,
                fs::copy_options::overwrite_existing);
  if (config.is_object()) {
    if (!config.contains("porta")) config["porta"] = FreePort();
    // The status page stays off unless a test asks for it: its fixed default port is for one service only.
    if (!config.contains("portaStatus")) config["portaStatus"] = 0;
    port_ = config["porta"].is_number_integer() ? config["porta"].get<int>() : 0;
    WriteFile(folder_ + "/kv_redurozozi.json", config.dump(2));
  }
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // Run from another working directory: the service must find its files by itself.
    if (::chdir("/") != 0) _exit(126);
    for (std::string& e : environment) ::putenv(e.data());
    ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) Stop();
}

std::string ServiceProcess::LogText() const { return ReadFile(folder_ + "/Logs/Redurozozi.txt"); }
std::string ServiceProcess::DbLogText() const { return ReadFile(folder_ + "/Logs/myDB.txt"); }

bool ServiceProcess::WaitForLog(const std::string& needle, std::chrono::milliseconds timeout) const {
  return WaitFor([&] { return LogText().find(needle) != std::string::npos; }, timeout);
}

bool ServiceProcess::WaitListening(std::chrono::milliseconds timeout) const {
  return WaitFor(
      [&] {
        try {
          TcpClient probe(port_);
          return true;
        } catch (const std::exception&) {
          return false;
        }
      },
      timeout);
}

bool ServiceProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    return false;
  }
  return true;
}

void ServiceProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  status_ = -1;
}

int ServiceProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return status_;
  if (!WaitFor([&] { return !Running(); }, timeout)) return -1;
  return status_;
}

int ServiceProcess::Stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return status_;
  ::kill(pid_, SIGTERM);
  if (WaitExit(timeout) == -1 && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    status_ = -1;
  }
  return status_;
}

}  // namespace kvtest
