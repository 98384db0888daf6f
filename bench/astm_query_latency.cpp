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
using Clock = std::chrono::steady_clock;

namespace {

void Send(int fd, const std::string& s) {
  if (::send(fd, s.data(), s.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(s.size()))
    throw std::runtime_error("send failed");
}

// Reads until the received text ends with `tail`.
std::string ReadUntilTail(int fd, const std::string& tail) {
  std::string got;
  char buf[4096];
  while (got.size() < tail.size() || got.compare(got.size() - tail.size(), tail.size(), tail) != 0) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) throw std::runtime_error("connection closed");
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

std::string Frame(int n, const std::string& rec) {
  std::string body = std::to_string(n) + rec + "\r" + ETX;
  return STX + body + astm::GetCheckSumASTM(body) + "\r\n";
}

}  // namespace

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

    const std::string ack(1, ACK);
    const std::string header = "H|\\^&|||1^Analyzer 1^7.0|||||||P||20240804232655";
    std::vector<double> ms;
    for (int q = 0; q < queries; ++q) {
      Send(fd, std::string(1, ENQ));
      ReadUntilTail(fd, "\x06\r\n");
      Send(fd, Frame(1, header));
      ReadUntilTail(fd, "\x06\r\n");
      Send(fd, Frame(2, "Q|1|^2240801237^^||^^^ALL^||||||||O"));
      ReadUntilTail(fd, "\x06\r\n");
      Send(fd, Frame(3, "L|1|N"));
      ReadUntilTail(fd, "\x06\r\n");
      const auto t0 = Clock::now();
      Send(fd, std::string(1, EOT));
      char first = 0;
      if (::recv(fd, &first, 1, 0) != 1) throw std::runtime_error("no reply");
      const auto t1 = Clock::now();
      if (first != ENQ) throw std::runtime_error("reply does not begin with ENQ");
      ReadUntilTail(fd, "\r\n");
      std::string frames;
      for (int i = 0; i < 5; ++i) {
        Send(fd, ack);
        frames += ReadUntilTail(fd, "\r\n");
      }
      if (frames.find("P|1|||3|") == std::string::npos) throw std::runtime_error("order not found in the reply");
      ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
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
    std::printf("  (includes the service's fixed 5 ms pause before a reply is sent)\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench failed: %s\n", e.what());
    rc = 1;
  }
  return rc;
}
