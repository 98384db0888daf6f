#include "status/StatusTestSupport.hpp"

#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace statustest {

nlohmann::json DemoConfig(const std::string& folder, int statusPort) {
  std::string text = kvtest::ReadFile(std::string(KV_SOURCE_DIR) + "/demo/kv_redurozozi.json");
  for (size_t at; (at = text.find("@RUN_DIR@")) != std::string::npos;) text.replace(at, 9, folder);
  nlohmann::json config = nlohmann::json::parse(text);
  config.erase("porta");  // a free one is put in
  config["portaStatus"] = statusPort;
  return config;
}

Reply Get(const std::string& host, int port, const std::string& path, const httplib::Headers& headers) {
  httplib::Client client(host, port);
  client.set_connection_timeout(5, 0);
  client.set_read_timeout(5, 0);
  auto res = client.Get(path, headers);
  if (!res) return {};
  return {res->status, res->body};
}

int Shell(const std::string& command, std::string* output) {
  const std::string file = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/kv-status-run-" +
                           std::to_string(::getpid()) + ".out";
  const int st = std::system((command + " >" + file + " 2>&1").c_str());
  if (output) *output = kvtest::ReadFile(file);
  std::remove(file.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool Have(const std::string& program) { return Shell("command -v " + program) == 0; }

std::string ReadOnlyMount::Make(const std::string& target) {
  if (::mount(target.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
    return std::string("bind: ") + std::strerror(errno);
  target_ = target;
  if (::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
    return std::string("remount read-only: ") + std::strerror(errno);
  return "";
}

}  // namespace statustest
