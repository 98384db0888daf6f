// Memory of the service with many idle analyzer connections.
//
//   bench_idle_connections [--count N] [--exe PATH]     starts its own service copy
//   bench_idle_connections [--count N] --pid PID --port PORT   measures a running one
//
// Prints the service's resident memory (VmRSS) before the connections, with
// all of them open and named (the connect line logged), and after they closed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.hpp"
#include "service/TGlobal.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

long VmRssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

size_t CountInFile(const std::string& path, const std::string& needle) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

template <typename F>
bool WaitUntil(F cond, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 1000;
  std::string exe = (fs::path(ExecutablePath()).parent_path() / "kv_redurozozi").string();
  pid_t pid = -1;
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--count") count = std::strtoul(argv[i + 1], nullptr, 10);
    else if (a == "--exe") exe = argv[i + 1];
    else if (a == "--pid") pid = std::atoi(argv[i + 1]);
    else if (a == "--port") port = std::atoi(argv[i + 1]);
  }
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);

  std::string logFile;
  const bool own = pid <= 0;
  std::unique_ptr<bench::ServiceCopy> service;
  if (own) {
    service = std::make_unique<bench::ServiceCopy>(exe);
    const std::string folder = service->folder();
    port = service->port();
    service->Start("{\"porta\": " + std::to_string(port) + ", \"pastaSaida\": \"" + folder +
                   "/saida/\", \"analisadores\": [], \"server\": \"\", \"database\": \"\"}");
    pid = service->pid();
    logFile = folder + "/Logs/Redurozozi.txt";
    if (!WaitUntil([&] { return CountInFile(logFile, "Servidor ativo") > 0; }, 20s)) {
      std::cerr << "service did not start\n";
      return 1;
    }
  }

  const long before = VmRssKb(pid);
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<int> fds;
  for (size_t i = 0; i < count; ++i) {
    const int fd = bench::Connect(port);
    if (fd < 0) {
      std::cerr << "connect " << i << " failed\n";
      break;
    }
    fds.push_back(fd);
  }
  // Each connection is named (reverse look-up) before it is read: wait for all.
  if (own) WaitUntil([&] { return CountInFile(logFile, "** Nova conex") >= fds.size(); }, 60s);
  else std::this_thread::sleep_for(2s);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const long open = VmRssKb(pid);
  for (int fd : fds) ::close(fd);
  if (own) WaitUntil([&] { return CountInFile(logFile, "encerrada: ") >= fds.size(); }, 60s);
  else std::this_thread::sleep_for(2s);
  const long after = VmRssKb(pid);

  std::printf("idle connections:            %zu (all named after %.2f s)\n", fds.size(), secs);
  std::printf("service VmRSS before:        %ld kB\n", before);
  std::printf("service VmRSS with them open: %ld kB (+%ld kB, %.1f kB per connection)\n", open, open - before,
              fds.empty() ? 0.0 : static_cast<double>(open - before) / static_cast<double>(fds.size()));
  std::printf("service VmRSS after closing: %ld kB\n", after);

  if (own) std::printf("service exit status:         %d\n", service->Stop());
  return 0;
}
