// The keeper and the background delivery on real files: kept in groups,
// delivered once and in order per origin, across restarts, a crash, a
// failing or hung output folder and a spool that takes nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <set>
#include <mutex>

#include "archive/TArchiveDisk.hpp"
#include "archive/TSpoolJournal.hpp"
#include "archive/TOldSpool.hpp"
#include "log/TLogSink.hpp"
#include "support/TestSupport.hpp"

using namespace kvtest;
using namespace std::chrono_literals;

namespace {

// An ASTM result of `sample`; `mark` makes each message's text its own.
TArchiveEntry Result(const std::string& pasta, const std::string& origem, const std::string& sample,
                     const std::string& mark) {
  TArchiveEntry e;
  e.linhas = {"1H|\\^&|||XN-550^1|||||||P|LIS2-A2", "2O|1|" + sample + "||^^^WBC", "3C|1|" + mark, "4L|1|N"};
  e.protocolo = 10;
  e.versao = "LIS2-A2";
  e.modelo = "XN-550";
  e.nomeTevarin = "Sysmex";
  e.pastaSaida = pasta;
  e.completo = TDateTime{2024, 1, 5, 14, 57, 7, 123};
  e.origem = origem;
  return e;
}

std::string TextOf(const TArchiveEntry& e) { return protocol::LinesText(e.linhas); }

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size())) ++n;
  return n;
}

// A log the keeper's and the delivery's threads write while the test reads it.
class ThreadLog : public TLogSink {
 public:
  void make(const std::string& txt, bool) override {
    std::lock_guard<std::mutex> lock(m_);
    text_ += txt + "\n";
  }
  std::string Text() const {
    std::lock_guard<std::mutex> lock(m_);
    return text_;
  }
  bool Has(const std::string& needle) const { return Text().find(needle) != std::string::npos; }

 private:
  mutable std::mutex m_;
  std::string text_;
};

// What the keeper answered, gathered from its thread.
class Answers {
 public:
  TArchiveDisk::Done Next() {
    return [this](const TKept& k) {
      std::lock_guard<std::mutex> lock(m_);
      kept_.push_back(k);
    };
  }
  std::vector<TKept> Wait(size_t n) {
    WaitFor([&] {
      std::lock_guard<std::mutex> lock(m_);
      return kept_.size() >= n;
    });
    std::lock_guard<std::mutex> lock(m_);
    return kept_;
  }

 private:
  std::mutex m_;
  std::vector<TKept> kept_;
};

struct DiskEnv {
  TempDir dir;
  std::string spool = dir / "spool/";
  std::string saida = dir / "saida/";
  TFileArchiveWriter files;
  ThreadLog log;
  Answers answers;
  DiskEnv() {
    WriteFile(dir / "spool/.keep", "");
    WriteFile(dir / "saida/.keep", "");
  }
  std::unique_ptr<TArchiveDisk> Start(TArchiveDisk::TOptions options = {}, TArchiveWriter* writer = nullptr) {
    auto d = std::make_unique<TArchiveDisk>(options, spool, writer ? *writer : files, &log);
    d->Start();
    return d;
  }
  std::vector<std::string> Archived() const {
    std::vector<std::string> out;
    for (const auto& f : ListFiles(saida))
      if (f != ".keep") out.push_back(f);
    return out;
  }
  bool Delivered(TArchiveDisk& d, size_t files) {
    return WaitFor([&] { return d.State().waiting == 0 && Archived().size() >= files; }, 10s);
  }
};

TEST(ArchiveDisk, KeptInGroupsThenDeliveredOnceInTheOrderOfEachOrigin) {
  for (const size_t memoryMost : {size_t(8) << 20, size_t(0)}) {  // held in memory, or read back from the journal
    DiskEnv env;
    TArchiveDisk::TOptions options;
    options.delivery.memoryMost = memoryMost;
    auto disk = env.Start(options);
    constexpr int kOrigins = 3, kEach = 20;
    std::map<std::string, std::string> texts;  // file -> text it must hold
    for (int n = 0; n < kEach; ++n) {
      for (int o = 1; o <= kOrigins; ++o) {
        const std::string sample = "S" + std::to_string(o);
        const TArchiveEntry e = Result(env.saida, "h:" + std::to_string(o), sample, std::to_string(n));
        char suffix[8] = "";
        if (n > 0) std::snprintf(suffix, sizeof suffix, "-%02d", n);
        texts["XN-550/" + sample + suffix + ".astm"] = TextOf(e);
        ASSERT_TRUE(disk->Keep(e, TWhenSpoolFails::Refuse, env.answers.Next()));
      }
    }
    const auto kept = env.answers.Wait(kOrigins * kEach);
    ASSERT_EQ(kept.size(), size_t(kOrigins * kEach));
    for (const auto& k : kept) EXPECT_EQ(k.as, TKeptAs::Spool) << k.error;
    ASSERT_TRUE(env.Delivered(*disk, texts.size())) << env.log.Text();
    // Each origin's n-th message holds the n-th name: they arrived in order.
    EXPECT_EQ(env.Archived().size(), texts.size());
    for (const auto& [file, text] : texts) EXPECT_EQ(ReadFile(env.saida + file), text) << file;
    EXPECT_EQ(Count(env.log.Text(), "Item salvo em "), texts.size());
    disk->Stop(2s);
    EXPECT_EQ(disk->ThreadsLeft(), 0);
    // Nothing waits in the spool for the next start.
    TSpoolJournal again(env.spool);
    EXPECT_TRUE(again.Open(nullptr).empty());
  }
}

TEST(ArchiveDisk, MessagesThatArriveTogetherShareAFlush) {
  DiskEnv env;
  auto disk = env.Start();
  constexpr int kMessages = 200;
  for (int n = 0; n < kMessages; ++n)
    disk->Keep(Result(env.saida, "h:" + std::to_string(n % 20), "G" + std::to_string(n), "x"),
               TWhenSpoolFails::Refuse, env.answers.Next());
  ASSERT_EQ(env.answers.Wait(kMessages).size(), size_t(kMessages));
  // Handed over faster than one flush takes: far fewer groups than messages.
  EXPECT_LT(disk->State().groupsKept, uint64_t(kMessages / 4));
  ASSERT_TRUE(env.Delivered(*disk, kMessages));
}

TEST(ArchiveDisk, ARestartDeliversWhatWaitedAndNeverFilesAMessageTwice) {
  DiskEnv env;
  const TArchiveEntry a = Result(env.saida, "h:1", "A", "a"), b = Result(env.saida, "h:1", "B", "b"),
                      c = Result(env.saida, "h:2", "C", "c");
  WriteFile(env.saida + "XN-550/.keep", "");
  {
    // A run that ended after A's file got its name (but before the journal
    // heard of it), and before B's file got its name, which another file took since.
    TSpoolJournal j(env.spool);
    j.Open(nullptr);
    const auto seqs = j.Keep({&a, &b, &c});
    j.RecordNames({{seqs[0], env.saida + "XN-550/A.astm", ""}, {seqs[1], env.saida + "XN-550/B.astm", env.saida + "XN-550/B.astm.x1y2z3.tmp"}});
  }
  WriteFile(env.saida + "XN-550/A.astm", TextOf(a));
  WriteFile(env.saida + "XN-550/B.astm", "another message\r\n");
  WriteFile(env.saida + "XN-550/B.astm.x1y2z3.tmp", TextOf(b));
  auto disk = env.Start();
  ASSERT_TRUE(env.Delivered(*disk, 5)) << env.log.Text();
  EXPECT_EQ(env.Archived(), (std::vector<std::string>{"XN-550/.keep", "XN-550/A.astm", "XN-550/B-01.astm",
                                                      "XN-550/B.astm", "XN-550/C.astm"}));
  EXPECT_EQ(ReadFile(env.saida + "XN-550/B-01.astm"), TextOf(b));
  EXPECT_EQ(ReadFile(env.saida + "XN-550/B.astm"), "another message\r\n");
  EXPECT_TRUE(env.log.Has("Fila spool/: 3 item(ns) a entregar")) << env.log.Text();
  EXPECT_FALSE(env.log.Has("Item salvo em " + env.saida + "XN-550/A.astm"));
}

TEST(ArchiveDisk, TheOlderSpoolsEntriesAreDeliveredAndRemoved) {
  DiskEnv env;
  // As an earlier version left them.
  const std::string k1 = "00000000000000000001.entry", k2 = "00000000000000000002.entry";
  WriteFile(env.spool + k1, TOldSpool::Encode(Result(env.saida, "h:1", "L1", "1")));
  WriteFile(env.spool + k2, TOldSpool::Encode(Result(env.saida, "h:1", "L2", "2")));
  WriteFile(env.spool + "00000000000000000009.entry.Ab12Cd.tmp", "half");
  auto disk = env.Start();
  ASSERT_TRUE(env.Delivered(*disk, 2)) << env.log.Text();
  EXPECT_EQ(env.Archived(), (std::vector<std::string>{"XN-550/L1.astm", "XN-550/L2.astm"}));
  EXPECT_FALSE(FileExists(env.spool + k1));
  EXPECT_FALSE(FileExists(env.spool + k2));
  EXPECT_FALSE(FileExists(env.spool + "00000000000000000009.entry.Ab12Cd.tmp"));
}

TEST(ArchiveDisk, AFailingOutputFolderHoldsBackItsOriginOnlyAndLogsOnce) {
  DiskEnv env;
  WriteFile(env.dir / "blocked", "a file where the folder should be");
  const std::string blocked = env.dir / "blocked/";
  TArchiveDisk::TOptions options;
  options.delivery.retry = 1h;  // only DeliverNow tries again
  auto disk = env.Start(options);
  for (const char* s : {"B1", "B2"})
    disk->Keep(Result(blocked, "h:1", s, s), TWhenSpoolFails::KeepInMemory, env.answers.Next());
  disk->Keep(Result(env.saida, "h:2", "C1", "c"), TWhenSpoolFails::KeepInMemory, env.answers.Next());
  env.answers.Wait(3);
  ASSERT_TRUE(WaitFor([&] { return env.Archived().size() == 1 && disk->State().waiting == 2; }));
  EXPECT_EQ(env.Archived(), std::vector<std::string>{"XN-550/C1.astm"});
  EXPECT_EQ(Count(env.log.Text(), "N\xE3o foi poss\xEDvel entregar o item na pasta destino: "), 1u) << env.log.Text();
  EXPECT_TRUE(env.log.Has("; ele fica na fila spool/ e ser\xE1 entregue assim que poss\xEDvel"));

  ::unlink(blocked.substr(0, blocked.size() - 1).c_str());
  disk->DeliverNow();
  ASSERT_TRUE(WaitFor([&] { return disk->State().waiting == 0; }));
  EXPECT_EQ(ReadFile(blocked + "XN-550/B1.astm"), TextOf(Result(blocked, "h:1", "B1", "B1")));
  EXPECT_TRUE(FileExists(blocked + "XN-550/B2.astm"));
  EXPECT_TRUE(env.log.Has("Pasta destino de arquivos criada de novo: " + blocked));
}

// A clean stop with everything delivered leaves the spool folder empty (an
// operator, and the package's purge, read that as "nothing waits"); a stop
// with a message still waiting keeps the journal, and the next start delivers it.
TEST(ArchiveDisk, AStopLeavesTheJournalOnlyWhenSomethingWaits) {
  DiskEnv env;
  ::unlink((env.dir / "spool/.keep").c_str());
  auto spoolFiles = [&] { return ListFiles(env.spool); };
  {
    auto disk = env.Start();
    disk->Keep(Result(env.saida, "h:1", "A1", "a"), TWhenSpoolFails::Refuse, env.answers.Next());
    ASSERT_TRUE(env.Delivered(*disk, 1)) << env.log.Text();
    EXPECT_EQ(spoolFiles().size(), 1u);  // the journal, while it runs
    disk->Stop(5s);
    EXPECT_EQ(spoolFiles(), std::vector<std::string>{});
  }
  WriteFile(env.dir / "blocked", "a file where the folder should be");
  const std::string blocked = env.dir / "blocked/";
  TArchiveDisk::TOptions options;
  options.delivery.retry = 1h;
  {
    auto disk = env.Start(options);
    disk->Keep(Result(blocked, "h:1", "B1", "b"), TWhenSpoolFails::Refuse, env.answers.Next());
    ASSERT_TRUE(WaitFor([&] { return env.log.Has("N\xE3o foi poss\xEDvel entregar o item"); })) << env.log.Text();
    disk->Stop(5s);
    EXPECT_EQ(spoolFiles().size(), 1u);
    EXPECT_EQ(TSpoolJournal::WaitingIn(env.spool), 1u);
  }
  ::unlink(blocked.substr(0, blocked.size() - 1).c_str());
  auto disk = env.Start();
  EXPECT_TRUE(WaitFor([&] { return FileExists(blocked + "XN-550/B1.astm"); }, 10s)) << env.log.Text();
  disk->Stop(5s);
  EXPECT_EQ(spoolFiles(), std::vector<std::string>{});
}

TEST(ArchiveDisk, AFolderUnderTheChosenNameIsAFailureNotANameToSkip) {
  DiskEnv env;
  ::mkdir((env.saida + "XN-550").c_str(), 0777);
  ::mkdir((env.saida + "XN-550/D1.astm").c_str(), 0777);
  TArchiveDisk::TOptions options;
  options.delivery.retry = 1h;
  auto disk = env.Start(options);
  disk->Keep(Result(env.saida, "h:1", "D1", "d"), TWhenSpoolFails::Refuse, env.answers.Next());
  ASSERT_TRUE(WaitFor([&] { return env.log.Has("N\xE3o foi poss\xEDvel entregar o item na pasta destino: "); }));
  EXPECT_TRUE(env.log.Has("N\xE3o foi poss\xEDvel renomear para " + env.saida + "XN-550/D1.astm: File exists"))
      << env.log.Text();
  EXPECT_EQ(disk->State().waiting, 1u);
  ::rmdir((env.saida + "XN-550/D1.astm").c_str());
  disk->DeliverNow();
  ASSERT_TRUE(env.Delivered(*disk, 1));
  EXPECT_EQ(env.Archived(), std::vector<std::string>{"XN-550/D1.astm"});
}

TEST(ArchiveDisk, ASpoolThatTakesNothingRefusesOrHoldsInMemory) {
  DiskEnv env;
  WriteFile(env.dir / "nospool", "a file where the spool should be");
  TArchiveDisk disk({}, env.dir / "nospool/spool/", env.files, &env.log);
  disk.Start();
  disk.Keep(Result(env.saida, "h:1", "R1", "r"), TWhenSpoolFails::Refuse, env.answers.Next());
  disk.Keep(Result(env.saida, "h:2", "M1", "m"), TWhenSpoolFails::KeepInMemory, env.answers.Next());
  const auto kept = env.answers.Wait(2);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].as, TKeptAs::Refused);
  EXPECT_NE(kept[0].error.find("nospool"), std::string::npos) << kept[0].error;
  EXPECT_EQ(kept[1].as, TKeptAs::Memory);
  ASSERT_TRUE(env.Delivered(disk, 1));
  EXPECT_EQ(env.Archived(), std::vector<std::string>{"XN-550/M1.astm"});
  EXPECT_TRUE(env.log.Has("N\xE3o foi poss\xEDvel guardar o item na fila spool/: ")) << env.log.Text();
}

// The file writer, but Stage waits while the folder "hangs" (a network share
// that stopped answering).
class HangingWriter : public TFileArchiveWriter {
 public:
  TStaged Stage(const std::string& path, const std::string& text) override {
    std::unique_lock<std::mutex> lock(m_);
    ++entered_;
    cv_.wait(lock, [&] { return !hung_; });
    lock.unlock();
    return TFileArchiveWriter::Stage(path, text);
  }
  void Hang(bool hung) {
    std::lock_guard<std::mutex> lock(m_);
    hung_ = hung;
    cv_.notify_all();
  }
  int Entered() {
    std::lock_guard<std::mutex> lock(m_);
    return entered_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool hung_ = false;
  int entered_ = 0;
};

TEST(ArchiveDisk, AHungOutputFolderDelaysNoKeptAndAStopLeavesItsThreadBehind) {
  DiskEnv env;
  HangingWriter hanging;
  hanging.Hang(true);
  auto disk = env.Start({}, &hanging);
  for (int n = 0; n < 10; ++n)
    disk->Keep(Result(env.saida, "h:" + std::to_string(n % 3), "H" + std::to_string(n), "h"),
               TWhenSpoolFails::Refuse, env.answers.Next());
  // Every message is kept although the output folder does not answer.
  ASSERT_EQ(env.answers.Wait(10).size(), 10u);
  ASSERT_TRUE(WaitFor([&] { return hanging.Entered() > 0; }));
  ASSERT_TRUE(WaitFor([&] { return disk->State().deliveryBusyFor >= 300ms; }));
  EXPECT_EQ(disk->State().waiting, 10u);

  const auto t0 = std::chrono::steady_clock::now();
  disk->Stop(300ms);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_EQ(disk->ThreadsLeft(), 1);
  EXPECT_FALSE(disk->Keep(Result(env.saida, "h:1", "late", "l"), TWhenSpoolFails::Refuse, {}));

  // The share answers again: the thread left behind ends its group and goes.
  hanging.Hang(false);
  ASSERT_TRUE(WaitFor([&] { return disk->ThreadsLeft() == 0; }));
  disk.reset();
  // A later start delivers the rest; every message once.
  auto again = env.Start();
  ASSERT_TRUE(env.Delivered(*again, 10)) << env.log.Text();
  const auto files = env.Archived();
  EXPECT_EQ(files.size(), 10u);
  for (const auto& f : files) EXPECT_EQ(f.find("-01"), std::string::npos) << f;
}

// A child process keeps messages and reports each one kept on a pipe, until
// it is killed; the parent then starts again on its spool.
TEST(ArchiveDisk, AfterAKillEveryKeptMessageIsFiledExactlyOnce) {
  DiskEnv env;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    TFileArchiveWriter files;
    TArchiveDisk disk({}, env.spool, files, nullptr);
    disk.Start();
    std::mutex m;
    for (int n = 0;; ++n) {
      disk.Keep(Result(env.saida, "h:" + std::to_string(n % 8), "K" + std::to_string(n), "k"),
                TWhenSpoolFails::Refuse, [&, n](const TKept& k) {
                  if (k.as != TKeptAs::Spool) return;
                  std::lock_guard<std::mutex> lock(m);
                  const std::string line = std::to_string(n) + "\n";
                  (void)!::write(fds[1], line.data(), line.size());
                });
      ::usleep(1000);  // about a thousand a second: the restart delivers them in a few seconds
    }
  }
  ::close(fds[1]);
  std::string reported;
  char buf[4096];
  const auto until = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < until) {
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    reported.append(buf, static_cast<size_t>(n));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) reported.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  std::set<int> kept;
  for (size_t p = 0, nl; (nl = reported.find('\n', p)) != std::string::npos; p = nl + 1)
    kept.insert(std::stoi(reported.substr(p, nl - p)));
  ASSERT_GT(kept.size(), 20u);

  auto disk = env.Start();
  ASSERT_TRUE(WaitFor([&] { return disk->State().spoolRead && disk->State().waiting == 0; }, 30s)) << env.log.Text();
  std::map<std::string, int> copies;  // sample -> files
  for (const auto& f : env.Archived()) {
    // A file the killed run was still writing keeps its temporary name, which nobody imports.
    if (f.size() > 4 && f.compare(f.size() - 4, 4, ".tmp") == 0) continue;
    const std::string name = f.substr(f.find('/') + 1);
    ++copies[name.substr(0, name.find_first_of("-."))];
  }
  for (int k : kept) EXPECT_EQ(copies["K" + std::to_string(k)], 1) << "K" << k;
  for (const auto& [sample, count] : copies) EXPECT_EQ(count, 1) << sample;
}

}  // namespace
