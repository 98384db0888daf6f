// Cost of reception on the service thread: a client record fed 16 MiB in
// 64 KiB reads, for a few kinds of stream. Prints the time per stream and per
// MiB, and the input bytes the record holds at the end.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <unistd.h>

#include "protocol/Controls.hpp"
#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"

namespace {

// Resident memory of the process in KiB.
long RssKiB() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f)) {
    if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  }
  std::fclose(f);
  return kib;
}

constexpr size_t TOTAL = 16u << 20;
constexpr size_t READ = 64u << 10;

void Run(const char* name, const std::string& unit, bool keepTransfer, const std::string& prefix = "") {
  std::string stream = prefix;
  while (stream.size() < TOTAL) stream += unit;
  stream.resize(TOTAL);
  const long rss0 = RssKiB();
  TSocketClient c("bench:1", global->config->pastaSaida);
  if (keepTransfer) c.ReadMessage(std::string(1, ENQ));
  const auto t0 = std::chrono::steady_clock::now();
  for (size_t i = 0; i < stream.size(); i += READ) c.ReadMessage(stream.substr(i, READ));
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%-44s %7.3f s %7.1f ms/MiB  lines %9zu  held %9zu B  memory +%6ld MiB\n", name, s, s * 1000.0 / 16,
              c.inputBuffer.size(), c.InputBufferBytes(), (RssKiB() - rss0) / 1024);
}

}  // namespace

int main() {
  const auto dir = std::filesystem::temp_directory_path() / ("kvbench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "saida");
  std::filesystem::create_directories(dir / "Logs");
  global = std::make_unique<TGlobal>((dir / "kv_redurozozi").string());
  global->config = std::make_unique<TConfigJson>();
  global->config->pastaSaida = (dir / "saida").string() + "/";

  std::printf("16 MiB per stream in 64 KiB reads, unconsumed input kept\n");
  Run("one line without a break", std::string(1000, 'x'), false);
  Run("short garbage lines (10 bytes)", "garbage..\r", false);
  Run("line breaks only", "\r", false);
  Run("garbage lines during a transfer", "garbage..\r", true);
  Run("VT line then short lines (continuation test)", std::string(1, VT) + "garbage\r", false);
  Run("ASTM header then one endless line", std::string(1000, 'x'), false, "H|\\^&|||M|||||||||LIS2-A2\r");
  Run("ASTM header still open, endless", std::string(1000, 'x'), false, "H|\\^&|||M|||||||||LIS2-A2|");
  Run("MLLP header then endless segment", std::string(1000, 'x'), false, std::string(1, VT) + "MSH|^~\\&|A|B\r");
  global.reset();
  std::filesystem::remove_all(dir);
  return 0;
}
