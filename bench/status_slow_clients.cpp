// Whether hanging HTTP clients on the status port slow the analyzers down:
// ASTM found-query latency (EOT -> first reply byte) against the real service
// and an embedded demo LIS, first alone, then while 50 HTTP clients hold
// connections to the status page open with requests they never finish.
//
// Usage: bench_status_slow_clients [queries=100] [repository folder=<build folder>/..]
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.hpp"
#include "DemoLis.hpp"
#include "protocol/Astm.hpp"
#include "protocol/Controls.hpp"
#include "service/TGlobal.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Milliseconds from EOT to the first reply byte for each of `queries` found queries.
std::vector<double> Queries(int fd, int queries) {
  std::vector<double> ms;
  for (int q = 0; q < queries; ++q) ms.push_back(bench::FoundAstmQuery(fd));
  return ms;
}

void Print(const char* title, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double v : ms) sum += v;
  auto pct = [&](double p) { return ms[static_cast<size_t>(p * static_cast<double>(ms.size() - 1))]; };
  std::printf("%-38s median %7.2f ms  mean %7.2f ms  p95 %7.2f ms  max %7.2f ms\n", title, pct(0.5),
              sum / static_cast<double>(ms.size()), pct(0.95), ms.back());
}

}  // namespace

int main(int argc, char** argv) {
  const int queries = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  const std::string buildDir = fs::path(ExecutablePath()).parent_path().string();
  const std::string repo = argc > 2 ? argv[2] : fs::path(buildDir).parent_path().string();
  int rc = 0;
  std::vector<int> hanging;
  try {
    bench::ServiceCopy service(buildDir + "/kv_redurozozi");
    const std::string dir = service.folder();
    const int statusPort = bench::FreePort();
    bench::CreateDemoLis(dir + "/lis.fdb", repo + "/demo");
    std::ostringstream cfg;
    cfg << "{\"porta\": " << service.port() << ", \"portaStatus\": " << statusPort << ", \"pastaSaida\": \"" << dir
        << "/saida/\", \"analisadores\": [{\"aplicacao\": \"Indiko\", \"modelo\": \"1\", \"nomeTevarin\": \"Indiko\","
        << " \"exames\": []}], \"server\": \"\", \"database\": \"" << dir << "/lis.fdb\","
        << " \"user\": \"SYSDBA\", \"password\": \"masterkey\"}";
    service.Start(cfg.str());
    const int fd = service.ConnectWhenListening(std::chrono::seconds(10), true);
    Queries(fd, 5);  // warm the database connection path
    Print("ASTM query, no HTTP clients", Queries(fd, queries));

    // Every one sends half a request and then nothing (slowloris-like).
    for (int i = 0; i < 50; ++i) {
      const int h = bench::Connect(statusPort);
      if (h < 0) throw std::runtime_error("status port refused a connection");
      bench::Send(h, "GET /metrics HTTP/1.1\r\nHost: bench\r\nX-Slow: ");
      hanging.push_back(h);
    }
    Print("ASTM query, 50 hanging HTTP clients", Queries(fd, queries));
    ::close(fd);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench failed: %s\n", e.what());
    rc = 1;
  }
  for (int h : hanging) ::close(h);
  return rc;
}
