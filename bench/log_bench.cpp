// Log writer throughput: entries per second for a log near its 1,000,000-byte
// cap and for a small log, with bursts coalesced and with a rewrite forced
// after every entry, plus the delay until an entry is in the file.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "log/TLog.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int32_t kCap = 1000000;
// A typical service line: "Item salvo em /srv/saida/CL-1000i/123456.astm" and the like.
const std::string kText = "TSocketClient.ProcessASTM() Item salvo em /srv/saida/CL-1000i/00012345.astm";

void Prefill(const std::string& file, size_t bytes) {
  std::string content;
  content.reserve(bytes + 100);
  const std::string line = "01/01/2025 00:00:00\t" + kText + "\r\n";
  while (content.size() + line.size() <= bytes) content += line;
  content += std::string(bytes - content.size(), 'x');
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int64_t Size(const std::string& file) {
  struct stat st{};
  return stat(file.c_str(), &st) == 0 ? st.st_size : -1;
}

// Rounds of `perRound` entries starting from a file of `startBytes`; each
// round ends with a flush so the figure includes writing the file. Prints the rate.
void Rate(const std::string& file, size_t startBytes, int perRound, int rounds, bool flushEach) {
  Clock::duration total{};
  int64_t endSize = 0;
  for (int r = 0; r < rounds; ++r) {
    Prefill(file, startBytes);
    TLog log(file, kCap);
    const auto t0 = Clock::now();
    for (int i = 0; i < perRound; ++i) {
      log.make(kText);
      if (flushEach) log.flush();
    }
    log.flush();
    total += Clock::now() - t0;
    endSize = Size(file);
  }
  std::printf("    (file grew from %zu to %lld bytes per round)\n", startBytes, static_cast<long long>(endSize));
  std::printf("    %.0f entries/s\n", perRound * rounds / Seconds(total));
}

// What the caller waits for: make() alone, the rewrite left to the writer thread.
void CallerCost(const std::string& file, int perRound) {
  Prefill(file, 950000);
  TLog log(file, kCap);
  Clock::duration total{};
  for (int r = 0; r < 20; ++r) {
    const auto t0 = Clock::now();
    for (int i = 0; i < perRound / 20; ++i) log.make(kText);
    total += Clock::now() - t0;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  const int n = perRound / 20 * 20;
  std::printf("  caller side near the cap: make() returns after %.2f us on average (%.0f entries/s)\n",
              Seconds(total) * 1e6 / n, n / Seconds(total));
}

// The first bytes of the file (where the newest entry stands).
std::string Head(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string buf(200, '\0');
  in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
  buf.resize(static_cast<size_t>(in.gcount()));
  return buf;
}

// Time from make() until the entry stands at the top of the file, with no
// flush() call: the background writer's delay, on a file near the cap.
void Latency(const std::string& file) {
  Prefill(file, 950000);
  TLog log(file, kCap);
  std::vector<double> ms;
  for (int i = 0; i < 30; ++i) {
    const std::string marker = "latency probe " + std::to_string(i) + " ";
    const auto t0 = Clock::now();
    log.make(marker + kText);
    while (Head(file).find(marker) == std::string::npos && Clock::now() - t0 < std::chrono::seconds(2))
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    ms.push_back(Seconds(Clock::now() - t0) * 1000);
    // A pause between probes so each one waits for the writer on its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + i % 7));
  }
  std::sort(ms.begin(), ms.end());
  std::printf("  delay until an entry is in the file (near the cap, %zu entries): median %.1f ms, max %.1f ms\n",
              ms.size(), ms[ms.size() / 2], ms.back());
}

}  // namespace

int main() {
  const fs::path dir = fs::temp_directory_path() / ("kv-log-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string file = (dir / "Redurozozi.txt").string();
  const size_t entryBytes = 20 + kText.size() + 2;
  const int perRound = static_cast<int>(45000 / entryBytes);  // keeps the file under the cap

  std::printf("TLog benchmark: entry of %zu bytes, cap %d bytes\n", entryBytes, kCap);
  std::printf("  near the cap (file from 950,000 bytes), bursts of %d entries coalesced:\n", perRound);
  Rate(file, 950000, perRound, 30, false);
  std::printf("  near the cap, file rewritten after every entry (the uncoalesced cost):\n");
  Rate(file, 950000, 200, 3, true);
  std::printf("  small log (file from 0 bytes), bursts of %d entries coalesced:\n", perRound);
  Rate(file, 0, perRound, 30, false);
  std::printf("  small log, file rewritten after every entry:\n");
  Rate(file, 0, 200, 3, true);
  CallerCost(file, perRound);
  Latency(file);

  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
