// The archive's disk work alone, without sockets: C analyzers each hand over
// an HL7 result (25 OBX, about 2 KB) and wait until it is kept, for a few
// seconds; then the time until the background delivery has put every kept
// message into the output folder. Two ways of keeping a group are measured
// side by side in a folder of the machine's disk:
//   journal  the spool journal (TArchiveDisk): one append and one flush a group;
//   files    one spool file per message, written in groups: every file of the
//            group written and flushed (several at once), renamed, the folder
//            flushed once.
// Run it under the fault-injection library to see a slow disk:
//   KV_FAULTFS_CONTROL=ctl LD_PRELOAD=build/libkv_faultfs.so build/bench_archive_disk /var/tmp
//   (ctl holding "delay fsync 10ms /var/tmp")
//
//   bench_archive_disk [FOLDER] [SECONDS]        (defaults /var/tmp and 5)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/TArchiveDisk.hpp"
#include "util/FileSystem.hpp"

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

TArchiveEntry Hl7Result(const std::string& pasta, int client, long n) {
  TArchiveEntry e;
  const std::string sample = std::to_string(100000 + client * 100000 + n);
  e.linhas.push_back("MSH|^~\\&|BC-5380|Mindray|||20240105145707||ORU^R01|" + std::to_string(n) + "|P|2.3.1");
  e.linhas.push_back("PID|1||" + sample + "||DOE^JOHN||19700101|M");
  e.linhas.push_back("OBR|1|" + sample + "||^^^CBC|||20240105145707");
  for (int i = 1; i <= 25; ++i)
    e.linhas.push_back("OBX|" + std::to_string(i) + "|NM|" + std::to_string(6690 + i) + "-2^WBC^LN||" +
                       std::to_string(4 + i % 7) + ".2|10*3/uL|4.0-10.0|N|||F");
  e.protocolo = 20;
  e.modelo = "BC-5380";
  e.nomeTevarin = "Mindray";
  e.pastaSaida = pasta;
  e.origem = "127.0.0.1:" + std::to_string(40000 + client);
  return e;
}

struct TFigures {
  double rate = 0, p50 = 0, p99 = 0, max = 0;
  long kept = 0;
  uint64_t groups = 0;
  double drainSeconds = 0;  // after the load, until everything was in the output folder
};

double Percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

// Runs `clients` closed loops against keep(entry, done) for `seconds`.
template <typename Keep>
TFigures Load(int clients, int seconds, const std::string& pasta, Keep keep) {
  std::vector<std::vector<double>> latencies(clients);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  const auto t0 = Clock::now();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      std::mutex m;
      std::condition_variable cv;
      for (long n = 0; !stop; ++n) {
        bool done = false;
        const auto sent = Clock::now();
        keep(Hl7Result(pasta, c, n), [&] {
          std::lock_guard<std::mutex> lock(m);
          done = true;
          cv.notify_all();
        });
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return done; });
        latencies[c].push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  const double took = std::chrono::duration<double>(Clock::now() - t0).count();
  std::vector<double> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  TFigures f;
  f.kept = static_cast<long>(all.size());
  f.rate = all.size() / took;
  f.max = all.empty() ? 0 : *std::max_element(all.begin(), all.end());
  f.p50 = Percentile(all, 0.50);
  f.p99 = Percentile(all, 0.99);
  return f;
}

TFigures Journal(const std::string& folder, int clients, int seconds) {
  const std::string spool = folder + "/spool/", saida = folder + "/saida/";
  fs::create_directories(spool);
  fs::create_directories(saida);
  TFileArchiveWriter writer;
  TArchiveDisk disk({}, spool, writer, nullptr);
  disk.Start();
  TFigures f = Load(clients, seconds, saida, [&](TArchiveEntry e, std::function<void()> done) {
    disk.Keep(std::move(e), TWhenSpoolFails::Refuse, [done](const TKept&) { done(); });
  });
  const auto t0 = Clock::now();
  while (disk.State().waiting > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  f.drainSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
  f.groups = disk.State().groupsKept;
  disk.Stop(std::chrono::seconds(5));
  return f;
}

// The other way: a keeper thread that writes each group as one spool file per message.
TFigures Files(const std::string& folder, int clients, int seconds) {
  const std::string spool = folder + "/spool/";
  fs::create_directories(spool);
  struct TRequest {
    TArchiveEntry entry;
    std::function<void()> done;
  };
  std::mutex m;
  std::condition_variable cv;
  std::deque<TRequest> queue;
  bool stopping = false;
  uint64_t groups = 0;
  std::atomic<long> seq{0};
  std::thread keeper([&] {
    std::unique_lock<std::mutex> lock(m);
    for (;;) {
      cv.wait(lock, [&] { return stopping || !queue.empty(); });
      if (queue.empty()) return;
      std::vector<TRequest> group(std::make_move_iterator(queue.begin()), std::make_move_iterator(queue.end()));
      queue.clear();
      lock.unlock();
      std::vector<std::string> temps(group.size()), names(group.size());
      std::atomic<size_t> next{0};
      auto work = [&] {
        for (size_t i = next++; i < group.size(); i = next++) {
          int err = 0;
          names[i] = spool + std::to_string(++seq) + ".entry";
          (void)fsys::WriteTempFile(names[i], protocol::LinesText(group[i].entry.linhas), false, temps[i], err);
        }
      };
      std::vector<std::thread> helpers;
      for (size_t i = 1; i < std::min<size_t>(group.size(), 16); ++i) helpers.emplace_back(work);
      work();
      for (auto& t : helpers) t.join();
      for (size_t i = 0; i < group.size(); ++i) {
        int err = 0;
        (void)fsys::RenameNew(temps[i], names[i], err);
      }
      int err = 0;
      (void)fsys::FlushFolder(spool, err);
      ++groups;
      for (auto& r : group) r.done();
      lock.lock();
    }
  });
  TFigures f = Load(clients, seconds, folder, [&](TArchiveEntry e, std::function<void()> done) {
    std::lock_guard<std::mutex> lock(m);
    queue.push_back({std::move(e), std::move(done)});
    cv.notify_all();
  });
  {
    std::lock_guard<std::mutex> lock(m);
    stopping = true;
    cv.notify_all();
  }
  keeper.join();
  f.groups = groups;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string base = argc > 1 ? argv[1] : "/var/tmp";
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
  const char* control = std::getenv("KV_FAULTFS_CONTROL");
  std::printf("archive disk work in %s, %d s per figure%s\n", base.c_str(), seconds,
              control ? " (fault injection on: see the control file)" : "");
  std::printf("%-8s %3s | %9s %8s %8s %8s %8s | %s\n", "way", "C", "kept/s", "p50 ms", "p99 ms", "max ms", "msg/grp",
              "delivery after the load");
  for (const char* way : {"journal", "files"}) {
    for (int clients : {1, 20}) {
      char tmpl[4096];
      std::snprintf(tmpl, sizeof tmpl, "%s/kvarchive.XXXXXX", base.c_str());
      if (!::mkdtemp(tmpl)) {
        std::perror(tmpl);
        return 1;
      }
      const std::string folder = tmpl;
      const bool journal = std::string(way) == "journal";
      const TFigures f = journal ? Journal(folder, clients, seconds) : Files(folder, clients, seconds);
      char drained[96] = "-";
      if (journal)
        std::snprintf(drained, sizeof drained, "%.1f s more, %.0f msg/s over all", f.drainSeconds,
                      f.kept / (seconds + f.drainSeconds));
      std::printf("%-8s %3d | %9.0f %8.2f %8.2f %8.1f %8.1f | %s\n", way, clients, f.rate, f.p50, f.p99, f.max,
                  f.groups ? static_cast<double>(f.kept) / f.groups : 0.0, drained);
      std::fflush(stdout);
      std::error_code ec;
      fs::remove_all(folder, ec);
    }
  }
  return 0;
}
