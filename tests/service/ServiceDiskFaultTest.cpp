// The disk's faults against the real executable, through the fault-injection
// library preloaded into it (build/libkv_faultfs.so): an output folder that
// stops answering (a hung network share), flushes that take 40 ms, and a
// SIGKILL under load. Analyzers are acknowledged once their messages are in
// the spool, whatever the output folder does; every acknowledged message
// ends in exactly one archive file, also across a crash and a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ServiceHarness.hpp"
#include "archive/TSpoolJournal.hpp"
#include "support/FaultFs.hpp"

using namespace kvtest;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kFsCr = "\x1c\r";

// An ORU^R01 of the demo hemogram analyzer for `sample` (archived as <sample>.hl7).
std::string Hl7Result(const std::string& sample) {
  return "\x0bMSH|^~\\&|BC-5380|Mindray|||20260109094500||ORU^R01|" + sample +
         "|P|2.3.1\rPID|1||1005^^^^MR||GONCALVES^PEDRO||20150309|Male\rOBR|1||" + sample +
         "|00001^Automated Count^99MRC\rOBX|1|NM|6690-2^WBC^LN||7.85|10*9/L|5.00-12.00|N|||F\r" + kFsCr;
}

// Sends a result and waits for its ACK^R01; answers how long that took (or -1 ms without AA).
std::chrono::milliseconds SendAndTime(Peer& peer, const std::string& sample, std::chrono::milliseconds timeout = 5000ms) {
  const auto t0 = Clock::now();
  peer.Send(Hl7Result(sample));
  const std::string reply = peer.ReadUntil([](const std::string& r) { return r.find(kFsCr) != std::string::npos; }, timeout);
  if (reply.find("MSA|AA|" + sample + "|") == std::string::npos) return std::chrono::milliseconds(-1);
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
}

// sample -> number of archive files holding it (.tmp left out: nobody imports them).
std::map<std::string, int> ArchivedSamples(const std::string& saida) {
  std::map<std::string, int> out;
  for (const auto& [name, content] : ArchiveFiles(saida)) {
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) continue;
    const size_t obr = content.find("OBR|1||");
    if (obr == std::string::npos) continue;
    ++out[content.substr(obr + 7, content.find('|', obr + 7) - obr - 7)];
  }
  return out;
}

// The service's /health answer (its status port), "" when none came.
std::string Health(int port) {
  try {
    TcpClient c(port);
    c.Send("GET /health HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    return c.ReadUntil([](const std::string& r) { return r.find("\"status\"") != std::string::npos && r.back() == '\n'; },
                       3000ms);
  } catch (const std::exception&) {
    return "";
  }
}

class DiskFault : public ::testing::Test {
 protected:
  DiskFault() : fault_(dir_ / "faultfs.control") {}
  std::string Svc() const { return dir_ / "svc"; }
  std::string Saida() const { return dir_ / "saida"; }
  nlohmann::json Config() const {
    nlohmann::json c = ServiceConfig(dir_.path());
    c["intervaloReenvioSegundos"] = 1;
    return c;
  }
  std::unique_ptr<ServiceProcess> Start(nlohmann::json config) {
    auto svc = std::make_unique<ServiceProcess>(Svc(), std::move(config), fault_.Environment());
    EXPECT_TRUE(svc->WaitListening()) << Repr(svc->LogText().substr(0, 2000));
    return svc;
  }
  size_t Waiting() const { return TSpoolJournal::WaitingIn(Svc() + "/spool"); }

  TempDir dir_;
  FaultFs fault_;
};

}  // namespace

// An output folder that stops answering: every analyzer is still acknowledged
// within a second, /health says the folder does not answer, a stop ends in
// time with status 0, a start with messages waiting opens its port, and once
// the folder answers again each message is archived exactly once.
TEST_F(DiskFault, AHungOutputFolderOnlyLetsTheSpoolGrow) {
  nlohmann::json config = Config();
  config["portaStatus"] = FreePort();
  config["alertaEntregaSegundos"] = 1;
  auto svc = Start(config);
  // (Degraded already: this test's service has no LIS.)
  ASSERT_TRUE(WaitFor([&] { return !Health(config["portaStatus"]).empty(); }));
  EXPECT_EQ(Health(config["portaStatus"]).find("pasta destino"), std::string::npos);
  fault_.Set("block all " + Saida() + "\n");

  std::vector<std::unique_ptr<Peer>> peers;
  for (int n = 0; n < 4; ++n) peers.push_back(std::make_unique<Peer>(svc->port()));
  std::vector<std::string> sent;
  for (int round = 0; round < 3; ++round) {
    for (size_t n = 0; n < peers.size(); ++n) {
      const std::string sample = "H" + std::to_string(round) + std::to_string(n);
      const auto took = SendAndTime(*peers[n], sample);
      EXPECT_GE(took.count(), 0) << sample << " was not acknowledged";
      EXPECT_LT(took, 1000ms) << sample;
      sent.push_back(sample);
    }
  }
  EXPECT_TRUE(ArchivedSamples(Saida()).empty());
  const std::string health = Health(config["portaStatus"]);
  EXPECT_TRUE(WaitFor([&] { return Health(config["portaStatus"]).find("pasta destino n\xC3\xA3o responde h\xC3\xA1 ") != std::string::npos; }))
      << health;
  peers.clear();

  const auto t0 = Clock::now();
  EXPECT_EQ(svc->Stop(10000ms), 0);
  const auto stopTook = Clock::now() - t0;
  EXPECT_LT(stopTook, 5s);
  EXPECT_EQ(Waiting(), sent.size());

  // Still hung: the port opens all the same, and new messages are acknowledged.
  svc = Start(config);
  auto peer = std::make_unique<Peer>(svc->port());
  EXPECT_GE(SendAndTime(*peer, "H99").count(), 0);
  sent.push_back("H99");
  EXPECT_TRUE(ArchivedSamples(Saida()).empty());

  fault_.Off();
  ASSERT_TRUE(WaitFor([&] { return Waiting() == 0; }, 20000ms)) << Repr(svc->LogText().substr(0, 3000));
  const auto archived = ArchivedSamples(Saida());
  for (const std::string& s : sent) EXPECT_EQ(archived.count(s) ? archived.at(s) : 0, 1) << s;
  EXPECT_EQ(archived.size(), sent.size());
  EXPECT_EQ(svc->Stop(), 0);
  std::printf("hung output folder: %zu messages acknowledged, stop took %lld ms\n", sent.size(),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(stopTook).count()));
}

// Twelve analyzers send a result at the same moment while every flush takes
// 40 ms: all are acknowledged (the figure is printed), each archived once.
TEST_F(DiskFault, TwelveResultsAtOnceWithSlowFlushes) {
  auto svc = Start(Config());
  std::vector<std::unique_ptr<Peer>> peers;
  for (int n = 0; n < 12; ++n) peers.push_back(std::make_unique<Peer>(svc->port()));
  // A first message each, so that every connection is open and named.
  for (int n = 0; n < 12; ++n) ASSERT_GE(SendAndTime(*peers[n], "W" + std::to_string(n)).count(), 0);
  fault_.Set("delay fsync 40ms " + dir_.path() + "\n");

  std::mutex m;
  std::condition_variable cv;
  bool go = false;
  std::vector<long long> took(12, -1);
  std::vector<std::thread> threads;
  for (int n = 0; n < 12; ++n) {
    threads.emplace_back([&, n] {
      {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return go; });
      }
      took[n] = SendAndTime(*peers[n], "T" + std::to_string(n)).count();
    });
  }
  {
    std::lock_guard<std::mutex> lock(m);
    go = true;
  }
  cv.notify_all();
  for (auto& t : threads) t.join();
  for (int n = 0; n < 12; ++n) EXPECT_GE(took[n], 0) << "analyzer " << n << " got no AA";
  std::printf("twelve results at once, 40 ms per flush: slowest ACK^R01 after %lld ms\n",
              *std::max_element(took.begin(), took.end()));
  fault_.Off();
  ASSERT_TRUE(WaitFor([&] { return Waiting() == 0; }, 20000ms));
  const auto archived = ArchivedSamples(Saida());
  for (int n = 0; n < 12; ++n) EXPECT_EQ(archived.count("T" + std::to_string(n)), 1u) << n;
  for (const auto& [sample, files] : archived) EXPECT_EQ(files, 1) << sample;
  EXPECT_EQ(svc->Stop(), 0);
}

// SIGKILL while analyzers send; a restart delivers what the spool kept.
// Every acknowledged message is archived, none twice.
TEST_F(DiskFault, AKillUnderLoadLosesNothingAcknowledgedAndFilesNothingTwice) {
  auto svc = Start(Config());
  // A slower output folder keeps a backlog in the spool when the kill comes.
  fault_.Set("delay fsync 5ms " + Saida() + "\n");
  std::mutex m;
  std::set<std::string> acked;
  std::atomic<bool> stop{false};
  std::vector<std::thread> analyzers;
  for (int n = 0; n < 16; ++n) {
    analyzers.emplace_back([&, n] {
      try {
        Peer peer(svc->port());
        for (int seq = 0; !stop; ++seq) {
          char sample[16];
          std::snprintf(sample, sizeof sample, "K%02d%05d", n, seq);
          if (SendAndTime(peer, sample, 3000ms).count() < 0) return;
          std::lock_guard<std::mutex> lock(m);
          acked.insert(sample);
        }
      } catch (const std::exception&) {
        // the kill closed the connection
      }
    });
  }
  EXPECT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(m);
    return acked.size() >= 300;
  }, 30000ms));
  svc->Kill();
  stop = true;
  for (auto& t : analyzers) t.join();
  const size_t waiting = Waiting();

  fault_.Off();
  svc = Start(Config());
  ASSERT_TRUE(WaitFor([&] { return Waiting() == 0; }, 30000ms)) << Repr(svc->LogText().substr(0, 3000));
  const auto archived = ArchivedSamples(Saida());
  for (const std::string& s : acked) EXPECT_EQ(archived.count(s) ? archived.at(s) : 0, 1) << s;
  for (const auto& [sample, files] : archived) EXPECT_EQ(files, 1) << sample;
  EXPECT_EQ(svc->Stop(), 0);
  std::printf("killed under load: %zu acknowledged, %zu waited in the spool, %zu archived after the restart\n",
              acked.size(), waiting, archived.size());
}
