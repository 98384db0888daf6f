// Time from an analyzer's EOT to the first reply byte for an ASTM host query
// whose order is found, against the real service and an embedded demo LIS.
//
// Usage: bench_astm_query_latency [queries=50] [repository folder=<build folder>/..]
// Starts build/kv_redurozozi (copied to a temp folder) on a free port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.hpp"
#include "DemoLis.hpp"
#include "protocol/Astm.hpp"
#include "protocol/Controls.hpp"
#include "service/TGlobal.hpp"

namespace fs = std::filesystem;
int main(int argc, char** argv) {
  const int queries = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  const std::string buildDir = fs::path(ExecutablePath()).parent_path().string();
  const std::string repo = argc > 2 ? argv[2] : fs::path(buildDir).parent_path().string();

  int rc = 0;
  try {
    bench::ServiceCopy service(buildDir + "/kv_redurozozi");
    const std::string dir = service.folder();
    bench::CreateDemoLis(dir + "/lis.fdb", repo + "/demo");
    std::ostringstream cfg;
    cfg << "{\"porta\": " << service.port() << ", \"pastaSaida\": \"" << dir << "/saida/\", \"debug\": false,"
        << " \"analisadores\": [{\"aplicacao\": \"Indiko\", \"modelo\": \"1\", \"nomeTevarin\": \"Indiko\","
        << " \"exames\": []}], \"server\": \"\", \"database\": \"" << dir << "/lis.fdb\","
        << " \"user\": \"SYSDBA\", \"password\": \"masterkey\"}";
    service.Start(cfg.str());
    const int fd = service.ConnectWhenListening(std::chrono::seconds(10), true);

    std::vector<double> ms;
    for (int q = 0; q < queries; ++q) ms.push_back(bench::FoundAstmQuery(fd));
    ::close(fd);

    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (double v : ms) sum += v;
    auto pct = [&](double p) { return sorted[static_cast<size_t>(p * (sorted.size() - 1))]; };
    std::printf("ASTM found query, EOT -> first reply byte, %d queries (embedded Firebird, demo LIS)\n", queries);
    std::printf("  first (cold)  %8.2f ms\n", ms.front());
    std::printf("  min           %8.2f ms\n", sorted.front());
    std::printf("  median        %8.2f ms\n", pct(0.5));
    std::printf("  mean          %8.2f ms\n", sum / static_cast<double>(ms.size()));
    std::printf("  p95           %8.2f ms\n", pct(0.95));
    std::printf("  max           %8.2f ms\n", sorted.back());
    std::printf("  (includes the service's 5 ms pause before a reply, counted from the EOT)\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench failed: %s\n", e.what());
    rc = 1;
  }
  return rc;
}
