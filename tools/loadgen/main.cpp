// Load generator: C simulated analyzers on their own connections, each
// waiting for its answers as the instrument does, against the service (or
// any host) or against its own null server (--null) to show its ceiling.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Analyzer.hpp"
#include "NullServer.hpp"
#include "analyzer-sim/Connection.hpp"

using namespace loadgen;
using Clock = std::chrono::steady_clock;

namespace {

const char* kUsage =
    "usage: loadgen --mode MODE [--port P] [--host H] [--clients C] [--seconds S | --count N]\n"
    "               [--timeout MS] [--samples ID,ID,...] [--null]\n"
    "modes: hl7 (ORU^R01, 25 OBX, waits for ACK^R01), astm (E1381 session H P O 25R L),\n"
    "       astm-eot-enq (the same, EOT and the next ENQ in one write), astm-query (host query,\n"
    "       reply acknowledged frame by frame), hl7-query (QRY^Q02, QCK^Q02 + DSR^Q03),\n"
    "       idle (C connections held open for S seconds)\n"
    "--null runs the built-in null server and loads it instead of a host.\n"
    "Prints one line: rate, latency p50/p95/p99 (results: sent to acknowledgement; queries:\n"
    "the EOT or FS that ends the query to the first reply byte), mismatched and missing\n"
    "answers. Exit status 0 when every answer came and matched, 3 otherwise, 1 for a bad\n"
    "command line, 2 when the host cannot be reached.\n";

struct Totals {
  std::mutex mutex;
  std::vector<long> micros;
  long ok = 0, mismatched = 0, missing = 0;
  std::vector<std::string> problems;

  void Add(Outcome o, long us, const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex);
    if (o != Outcome::Missing && us > 0) micros.push_back(us);
    if (o == Outcome::Ok) ++ok;
    if (o == Outcome::Mismatch) ++mismatched;
    if (o == Outcome::Missing) ++missing;
    if (o != Outcome::Ok && problems.size() < 5) problems.push_back(why);
  }
};

double Percentile(std::vector<long>& v, double p) {
  if (v.empty()) return 0;
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(i), v.end());
  return static_cast<double>(v[i]) / 1000.0;
}

void RaiseFileLimit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
}

int RunIdle(const Settings& s) {
  std::vector<std::unique_ptr<Analyzer>> held;
  long open = 0;
  for (int i = 0; i < s.clients; ++i) {
    held.push_back(std::make_unique<Analyzer>(s, i));
    long us = 0;
    if (held.back()->Play(0, us) == Outcome::Ok) ++open;
    else std::fprintf(stderr, "loadgen: %s\n", held.back()->why().c_str());
  }
  std::printf("mode=idle clients=%d connections=%ld seconds=%.1f\n", s.clients, open, s.seconds);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::duration<double>(s.seconds));
  return open == s.clients ? 0 : 3;
}

int Run(const Settings& s) {
  Totals totals;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::atomic<long> claimed{0};
  Clock::time_point deadline{};
  std::vector<std::thread> threads;
  for (int i = 0; i < s.clients; ++i) {
    threads.emplace_back([&, i] {
      Analyzer a(s, i);
      long us = 0;
      // Not counted: the first item pays for the connection and the identification.
      const Outcome warm = a.Play(0, us);
      if (warm != Outcome::Ok) totals.Add(warm, 0, "first item: " + a.why());
      ++ready;
      while (!go) std::this_thread::yield();
      for (long seq = 1;; ++seq) {
        if (s.count > 0 ? claimed.fetch_add(1) >= s.count : Clock::now() >= deadline) break;
        const Outcome o = a.Play(seq, us);
        totals.Add(o, us, a.why());
      }
      a.Finish();
    });
  }
  while (ready < s.clients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto t0 = Clock::now();
  deadline = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.seconds));
  go = true;
  for (auto& t : threads) t.join();
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  const long done = totals.ok + totals.mismatched;
  std::printf("mode=%s clients=%d %s=%ld seconds=%.3f rate=%.1f p50_ms=%.3f p95_ms=%.3f p99_ms=%.3f "
              "mismatched=%ld missing=%ld\n",
              ModeName(s.mode).c_str(), s.clients, UnitName(s.mode).c_str(), done, secs, done / secs,
              Percentile(totals.micros, 0.50), Percentile(totals.micros, 0.95), Percentile(totals.micros, 0.99),
              totals.mismatched, totals.missing);
  for (const std::string& p : totals.problems) std::fprintf(stderr, "loadgen: %s\n", p.c_str());
  return totals.mismatched + totals.missing > 0 ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  bool null = false;
  bool modeGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--null") null = true;
    else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!hasValue) {
      std::fprintf(stderr, "loadgen: %s needs a value\n%s", a.c_str(), kUsage);
      return 1;
    } else {
      const std::string v = argv[++i];
      if (a == "--mode") {
        if (!ParseMode(v, s.mode)) {
          std::fprintf(stderr, "loadgen: unknown mode %s\n%s", v.c_str(), kUsage);
          return 1;
        }
        modeGiven = true;
      } else if (a == "--host") s.host = v;
      else if (a == "--port") s.port = std::atoi(v.c_str());
      else if (a == "--clients") s.clients = std::atoi(v.c_str());
      else if (a == "--seconds") s.seconds = std::atof(v.c_str());
      else if (a == "--count") s.count = std::atol(v.c_str());
      else if (a == "--timeout") s.timeout = std::chrono::milliseconds(std::atol(v.c_str()));
      else if (a == "--samples") {
        std::stringstream ss(v);
        for (std::string item; std::getline(ss, item, ',');)
          if (!item.empty()) s.samples.push_back(item);
      } else {
        std::fprintf(stderr, "loadgen: unknown option %s\n%s", a.c_str(), kUsage);
        return 1;
      }
    }
  }
  if (!modeGiven || s.clients < 1 || s.seconds <= 0 || (!null && s.port <= 0)) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  if (s.samples.empty()) s.samples = s.mode == Mode::Hl7Query ? std::vector<std::string>{"1001", "1005"}
                                                              : std::vector<std::string>{"1001", "1005", "1011"};
  // Sample ids of result messages differ from run to run, so archive names never collide.
  char tag[16];
  std::snprintf(tag, sizeof tag, "T%u", std::random_device{}() % 900000 + 100000);
  s.tag = tag;
  RaiseFileLimit();
  try {
    std::unique_ptr<NullServer> server;
    if (null) {
      server = std::make_unique<NullServer>();
      s.host = "127.0.0.1";
      s.port = server->port();
    }
    { sim::Connection probe(s.host, s.port, s.timeout); }  // an unreachable host is one error, not a count
    return s.mode == Mode::Idle ? RunIdle(s) : Run(s);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "loadgen: %s\n", e.what());
    return 2;
  }
}
