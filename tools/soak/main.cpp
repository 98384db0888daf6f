// soak: N simulated analyzers of the three protocols (ASTM E1381 results and
// host queries, HL7 ORU^R01 and QRY^Q02, the Icounter JSON document) against a
// running service for a given time, each waiting for its answers as a real
// analyzer does. Then: every acknowledged message is in exactly one archive
// file with the content sent, every query got the answer its sample calls for,
// and the service's resident memory and open descriptors did not grow between
// the warm-up point and the end. Exit status 0 when all holds, 1 for a bad
// command line, 2 when a check failed.
#include <algorithm>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <vector>

#include "Analyzer.hpp"
#include "Checks.hpp"

using namespace soak;
using Clock = std::chrono::steady_clock;

namespace {

const char* kHelp = R"(usage: soak --pid PID --output DIR [options]

Plays N analyzers against the running service on HOST:PORT for SECONDS and
checks what it archived (DIR: its output folder, pastaSaida) and how its
process PID (its /proc/PID/status VmRSS and /proc/PID/fd) grew. Every analyzer
keeps one connection, renewed every 25 exchanges; ASTM and HL7 analyzers ask a
host query every fourth exchange (alternately a demo sample with an order,
1001 or 1005, and the unknown 9999). The LIS must hold the demo orders.

Options:
  --host HOST          (127.0.0.1)
  --port PORT          (KV_PORT, else 6000)
  --pid PID            the service process (required)
  --output DIR         the service's output folder (required; fresh for the run)
  --messages DIR       the demo messages (demo/messages)
  --seconds N          length of the run (120)
  --analyzers N        simulated analyzers, a third of each protocol (50)
  --warmup N           seconds before the memory and descriptor reference (a quarter of the run, at most 30)
  --rss-slack-kb N     growth of VmRSS allowed from the warm-up to the end (8192)
  --fd-slack N         growth of the open descriptors allowed (4)
  --json-pause MS      a JSON analyzer's pause between documents: it awaits no
                       answer, so nothing else paces it (1000)
  --timeout SECONDS    longest wait for any answer (15)
)";

struct Settings {
  sim::Options sim;
  int pid = 0;
  std::string output;
  std::string messages = "demo/messages";
  int seconds = 120;
  int analyzers = 50;
  int warmup = -1;
  long rssSlackKb = 8192;
  long fdSlack = 4;
  long jsonPauseMs = 1000;
};

[[noreturn]] void Usage(const std::string& why) {
  std::cerr << "soak: " << why << " (see --help)\n";
  std::exit(1);
}

long Number(const std::string& text, const std::string& option) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 0) Usage("bad value for " + option + ": " + text);
  return v;
}

Settings Parse(int argc, char** argv) {
  Settings s;
  s.sim.port = 6000;
  if (const char* env = std::getenv("KV_PORT"); env && *env) s.sim.port = static_cast<int>(Number(env, "KV_PORT"));
  s.sim.gap = std::chrono::milliseconds(50);     // the JSON document's EOT as a read of its own
  s.sim.linger = std::chrono::milliseconds(20);  // watch for unexpected bytes after a result
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(a + " needs a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      std::exit(0);
    } else if (a == "--host") s.sim.host = value();
    else if (a == "--port") s.sim.port = static_cast<int>(Number(value(), a));
    else if (a == "--pid") s.pid = static_cast<int>(Number(value(), a));
    else if (a == "--output") s.output = value();
    else if (a == "--messages") s.messages = value();
    else if (a == "--seconds") s.seconds = static_cast<int>(Number(value(), a));
    else if (a == "--analyzers") s.analyzers = static_cast<int>(Number(value(), a));
    else if (a == "--warmup") s.warmup = static_cast<int>(Number(value(), a));
    else if (a == "--rss-slack-kb") s.rssSlackKb = Number(value(), a);
    else if (a == "--fd-slack") s.fdSlack = Number(value(), a);
    else if (a == "--json-pause") s.jsonPauseMs = Number(value(), a);
    else if (a == "--timeout") s.sim.timeout = std::chrono::milliseconds(1000 * Number(value(), a));
    else Usage("unknown argument " + a);
  }
  if (s.pid <= 0 || s.output.empty()) Usage("--pid and --output are required");
  if (s.sim.port < 1 || s.sim.port > 65535) Usage("port out of range");
  if (s.analyzers < 1 || s.seconds < 1 || s.sim.timeout.count() == 0) Usage("--analyzers, --seconds and --timeout must be at least 1");
  if (s.warmup < 0) s.warmup = std::min(30, s.seconds / 4);
  if (s.warmup >= s.seconds) Usage("--warmup must be shorter than --seconds");
  return s;
}

std::string Show(const ProcessSample& p) {
  return "VmRSS " + std::to_string(p.rssKb) + " kB, " + std::to_string(p.fds) + " open descriptors";
}

}  // namespace

int main(int argc, char** argv) {
  const Settings s = Parse(argc, argv);
  Templates templates;
  try {
    templates = Templates::Load(s.messages);
  } catch (const std::exception& e) {
    Usage(e.what());
  }
  std::vector<std::unique_ptr<Analyzer>> analyzers;
  for (int i = 0; i < s.analyzers; ++i)
    analyzers.push_back(std::make_unique<Analyzer>(i, static_cast<Protocol>(i % 3), templates, s.sim,
                                                std::chrono::milliseconds(s.jsonPauseMs)));

  const ProcessSample start = SampleProcess(s.pid);
  std::cout << "soak: " << s.analyzers << " analyzers for " << s.seconds << " s against " << s.sim.host << ":"
            << s.sim.port << " (pid " << s.pid << ")\n  start:   " << Show(start) << std::endl;
  if (start.rssKb < 0) Usage("cannot read /proc/" + std::to_string(s.pid));

  // The samples are taken with every analyzer connected and idle, so both
  // points see the same connections.
  std::barrier sync(s.analyzers + 1);
  const Clock::time_point begin = Clock::now();
  const Clock::time_point warmEnd = begin + std::chrono::seconds(s.warmup);
  const Clock::time_point end = begin + std::chrono::seconds(s.seconds);
  std::vector<std::thread> threads;
  for (auto& a : analyzers) {
    threads.emplace_back([&, an = a.get()] {
      while (Clock::now() < warmEnd) an->Step();
      an->EnsureConnected();
      sync.arrive_and_wait();  // warm-up sample
      sync.arrive_and_wait();
      while (Clock::now() < end) an->Step();
      an->EnsureConnected();
      sync.arrive_and_wait();  // end sample
      sync.arrive_and_wait();
      an->Disconnect();
    });
  }
  // The service closes a renewed connection's old socket as it handles the close.
  const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(500)); };
  sync.arrive_and_wait();
  settle();
  const ProcessSample warm = SampleProcess(s.pid);
  std::cout << "  warm-up: " << Show(warm) << " (after " << s.warmup << " s)" << std::endl;
  sync.arrive_and_wait();
  sync.arrive_and_wait();
  settle();
  const ProcessSample last = SampleProcess(s.pid);
  std::cout << "  end:     " << Show(last) << std::endl;
  sync.arrive_and_wait();
  for (std::thread& t : threads) t.join();

  Tally total;
  std::vector<Archived> acknowledged;
  for (const auto& a : analyzers) {
    const Tally& t = a->tally();
    for (int p = 0; p < 3; ++p) total.results[p] += t.results[p];
    total.queriesFound += t.queriesFound;
    total.queriesNotFound += t.queriesNotFound;
    total.reconnects += t.reconnects;
    total.failureCount += t.failureCount;
    total.failures.insert(total.failures.end(), t.failures.begin(), t.failures.end());
    acknowledged.insert(acknowledged.end(), a->archived().begin(), a->archived().end());
  }
  const ArchiveReport report = CheckArchives(s.output, acknowledged, std::chrono::seconds(15));

  std::cout << "  results acknowledged: ASTM " << total.results[0] << ", HL7 " << total.results[1]
            << "; JSON documents sent: " << total.results[2] << "\n  queries answered as expected: " << total.queriesFound
            << " with their order, " << total.queriesNotFound << " unknown samples not found\n"
            << "  connections renewed: " << total.reconnects << ", exchange failures: " << total.failureCount
            << "\n  archives: " << report.identical << " of "
            << report.checked << " in exactly one identical file; missing " << report.missing << ", different "
            << report.different << ", in several files " << report.duplicates << ", .tmp left " << report.tmpFiles
            << "\n";
  bool ok = true;
  const auto fail = [&ok](const std::string& why) {
    std::cout << "FAIL: " << why << "\n";
    ok = false;
  };
  long shown = 0;
  for (const std::string& f : total.failures)
    if (shown++ < 20) fail(f);
  if (total.failureCount > std::min(shown, 20L))
    fail(std::to_string(total.failureCount - std::min(shown, 20L)) + " more exchange failures");
  for (const std::string& p : report.problems) fail(p);
  if (report.identical != report.checked || report.tmpFiles > 0) fail("the archive check failed");
  if (report.checked == 0) fail("no message was acknowledged");
  if (warm.rssKb < 0 || last.rssKb < 0) fail("the service process is gone");
  if (last.rssKb - warm.rssKb > s.rssSlackKb)
    fail("resident memory grew by " + std::to_string(last.rssKb - warm.rssKb) + " kB (allowed " +
         std::to_string(s.rssSlackKb) + ")");
  if (last.fds - warm.fds > s.fdSlack)
    fail("open descriptors grew by " + std::to_string(last.fds - warm.fds) + " (allowed " +
         std::to_string(s.fdSlack) + ")");
  std::cout << (ok ? "OK" : "SOAK FAILED") << std::endl;
  return ok ? 0 : 2;
}
