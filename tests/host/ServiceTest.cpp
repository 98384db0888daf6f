// The service framework on Linux: a service object started, its stop requests
// read as real signals, and the install and uninstall runs into a real folder.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <asio/post.hpp>

#include "host/ServiceInstall.hpp"
#include "host/TService.hpp"
#include "host/TSystemdUnit.hpp"
#include "support/MemoryLog.hpp"
#include "support/TestSupport.hpp"

using kvtest::ReadFile;
using kvtest::TempDir;
namespace fs = std::filesystem;

namespace {

// A service blocks its stop signals in the thread that makes it; the test
// process gets its signal mask back afterwards, without a stop request that a
// failed run left pending (it would end the test program).
class SignalMaskKept {
 public:
  SignalMaskKept() { pthread_sigmask(SIG_SETMASK, nullptr, &saved_); }
  ~SignalMaskKept() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    const timespec none{};
    while (sigtimedwait(&stops, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }

 private:
  sigset_t saved_;
};

// What a run does, and how the service answers.
struct Script {
  bool startAccepted = true;
  int exitCodeAtStart = 0;           // set when the start is refused
  bool throwInExecute = false;       // an event handler fails before the first stop request
  int exitCodeInExecute = 0;
  std::vector<bool> stopAnswers{true};  // one per stop request; a refusal sends the next
};

// Records its events. Stop requests are raised as signals to this thread: a
// signalfd reads them only while they are blocked, as the service keeps them.
class Probe : public TService {
 public:
  explicit Probe(Script script = {}) : TService("KVProbe", "Probe (test)"), script_(std::move(script)) {}
  std::vector<std::string> events;

 protected:
  void OnStart(bool& Started) override {
    events.push_back("start");
    Started = script_.startAccepted;
    if (!Started) ExitCode = script_.exitCodeAtStart;
  }
  void OnExecute() override {
    events.push_back("execute");
    if (script_.throwInExecute) asio::post(Context(), [] { throw std::runtime_error("disco cheio"); });
    asio::post(Context(), [] { ::raise(SIGTERM); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Terminated() && std::chrono::steady_clock::now() < deadline) ProcessRequestsUntil(deadline);
    if (!Terminated()) events.push_back("no stop within 10 s");
    ExitCode = script_.exitCodeInExecute;
  }
  void OnStop(bool& Stopped) override {
    Stopped = stops_ < script_.stopAnswers.size() ? script_.stopAnswers[stops_] : true;
    ++stops_;
    events.push_back(Stopped ? "stop accepted" : "stop refused");
    if (!Stopped) asio::post(Context(), [] { ::raise(SIGINT); });
  }
  void OnFinished() override { events.push_back("finished"); }
  void OnAfterInstall() override { events.push_back("installed"); }
  void ReportError(const std::string& text) override { events.push_back("error: " + text); }

 private:
  Script script_;
  size_t stops_ = 0;
};

using Events = std::vector<std::string>;

TEST(Service, RunStartsExecutesAndStopsOnRequest) {
  struct Row {
    const char* name;
    Script script;
    int status;
    Events events;
  };
  const std::vector<Row> rows = {
      {"start refused with its exit code", {false, 3}, 3, {"start", "finished"}},
      {"start refused without one", {false, 0}, 1, {"start", "finished"}},
      {"stop accepted at the first request", {}, 0, {"start", "execute", "stop accepted", "finished"}},
      {"a refused stop waits for the next request",
       {true, 0, false, 0, {false, false, true}},
       0,
       {"start", "execute", "stop refused", "stop refused", "stop accepted", "finished"}},
      {"an error that escapes a handler is reported and the loop goes on",
       {true, 0, true, 0, {true}},
       0,
       {"start", "execute", "error: disco cheio", "stop accepted", "finished"}},
      {"the exit code set while running", {true, 0, false, 4, {true}}, 4,
       {"start", "execute", "stop accepted", "finished"}},
  };
  for (const Row& r : rows) {
    SignalMaskKept mask;
    Probe service(r.script);
    EXPECT_EQ(service.Run(), r.status) << r.name;
    EXPECT_EQ(service.events, r.events) << r.name;
  }
}

TEST(ServiceInstall, InstallWritesTheUnitThenTellsTheService) {
  struct Row {
    const char* name;
    bool folderExists;
    bool withLog;
    int status;
    Events events;
  };
  const std::vector<Row> rows = {
      {"unit folder exists", true, true, 0, {"installed"}},
      {"unit folder missing", false, true, 1, {}},
      {"unit folder missing, no log", false, false, 1, {}},
  };
  for (const Row& r : rows) {
    SignalMaskKept mask;
    TempDir dir;
    const std::string folder = dir / "units";
    if (r.folderExists) fs::create_directories(folder);
    kvtest::MemoryLog log;
    Probe service;
    serviceinstall::TInstallOptions options;
    options.executablePath = "/opt/Lab Central/kv_redurozozi";
    options.unitDir = folder;
    options.log = r.withLog ? &log : nullptr;
    EXPECT_EQ(serviceinstall::Install(service, options), r.status) << r.name;
    EXPECT_EQ(service.events, r.events) << r.name;
    const std::string unit = folder + "/" + TSystemdUnit::UNIT_NAME;
    if (r.status == 0) {
      EXPECT_EQ(ReadFile(unit), TSystemdUnit::Text(options.executablePath)) << r.name;
      EXPECT_TRUE(log.Texts().empty()) << r.name;
    } else {
      EXPECT_FALSE(fs::exists(unit)) << r.name;
      const Events expected =
          r.withLog ? Events{"N\xE3o foi poss\xEDvel instalar o servi\xE7o. Erro: cannot write " + unit + ".tmp"}
                    : Events{};
      EXPECT_EQ(log.Texts(), expected) << r.name;
    }
  }
}

TEST(ServiceInstall, UninstallRemovesTheUnitAndToleratesItsAbsence) {
  SignalMaskKept mask;
  TempDir dir;
  Probe service;
  serviceinstall::TInstallOptions options;
  options.executablePath = "/opt/kv/kv_redurozozi";
  options.unitDir = dir.path();
  const std::string unit = dir / TSystemdUnit::UNIT_NAME;
  ASSERT_EQ(serviceinstall::Install(service, options), 0);
  ASSERT_TRUE(fs::exists(unit));
  EXPECT_EQ(serviceinstall::Uninstall(service, options), 0);
  EXPECT_FALSE(fs::exists(unit));
  EXPECT_EQ(serviceinstall::Uninstall(service, options), 0);  // not installed: nothing to do
  // Something that cannot be removed in the unit's place fails the run.
  fs::create_directories(unit + "/inside");
  EXPECT_EQ(serviceinstall::Uninstall(service, options), 1);
}

}  // namespace
