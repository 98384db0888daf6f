// Real faults of the output folder and of the spool, against the real
// executable: read-only (a read-only bind mount: root ignores mode bits),
// full (a tiny tmpfs), immutable, deleted, and a full spool. Whatever an
// analyzer was told was received ends in exactly one complete archive file,
// the same file a healthy run writes, and no .tmp is left.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "ServiceHarness.hpp"
#include "archive/TSpoolJournal.hpp"
#include "protocol/E1381.hpp"

using namespace kvtest;
namespace fs = std::filesystem;

namespace {

const std::string kAckCrLf = "\x06\r\n";
const std::string kFsCr = "\x1c\r";
const std::string kSalvo = "Item salvo em ";
const std::string kEntregaFalhou = "N\xE3o foi poss\xEDvel entregar o item na pasta destino: ";
const std::string kFilaFalhou = "N\xE3o foi poss\xEDvel guardar o item na fila spool/: ";
const std::string kHl7NaoSalvo = "N\xE3o foi poss\xEDvel salvar informa\xE7\xF5" "es recebidas.";
const std::string kRecriada = "Pasta destino de arquivos criada de novo: ";

std::string Frame(int n, const std::string& record) {
  return astm::EnvelopeASTM(std::to_string(n % 8) + record + "\r") + "\r\n";
}

// The three kinds of result message, one of each per run.
void SendAstm(const ServiceProcess& svc, const std::string& sample) {
  Peer peer(svc.port());
  peer.Send("\x05");
  ASSERT_EQ(Repr(peer.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
  const std::vector<std::string> records = {"H|\\^&|||XN-550^00-24|||||||P|LIS2-A2", "P|1",
                                            "O|1|" + sample + "||^^^WBC", "R|1|^^^WBC|7.5|10*3/uL", "L|1|N"};
  for (size_t i = 0; i < records.size(); ++i) {
    peer.Send(Frame(static_cast<int>(i) + 1, records[i]));
    // Every frame is acknowledged: from here on the analyzer counts the result as delivered.
    ASSERT_EQ(Repr(peer.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf)) << "frame " << i + 1;
  }
  ASSERT_TRUE(SendEot(svc, peer));
}

// Answers what came back within the window (the ACK^R01, or nothing).
std::string SendHl7(const ServiceProcess& svc, std::chrono::milliseconds window = 5000ms) {
  Peer peer(svc.port());
  peer.Send("\x0b" + ReadFile(std::string(KV_SOURCE_DIR) + "/demo/messages/hemogram-bc5380.hl7") + kFsCr);
  return peer.ReadUntil([](const std::string& r) { return r.find(kFsCr) != std::string::npos; }, window);
}

void SendJson(const ServiceProcess& svc, const std::string& identifier) {
  std::string text = ReadFile(std::string(KV_SOURCE_DIR) + "/demo/messages/icounter.json");
  std::string doc;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string l = text.substr(start, end - start);
    if (!l.empty() && l.back() == '\r') l.pop_back();
    if (l.find("\"identifier\"") != std::string::npos) l = "  \"identifier\": \"" + identifier + "\",";
    if (!l.empty()) doc += l + "\r\n";
    start = end + 1;
  }
  Peer peer(svc.port());
  ASSERT_TRUE(SendRead(svc, peer, doc + "\r\n"));
  ASSERT_TRUE(SendEot(svc, peer));
}

bool IsAckAA(const std::string& reply) {
  return reply.find("ACK^R01") != std::string::npos && reply.find("MSA|AA|") != std::string::npos;
}

// Every message of a run: ASTM (its frames acknowledged), HL7 (answered as
// `hl7Acked` says) and JSON.
void SendAll(const ServiceProcess& svc, bool hl7Acked = true) {
  SendAstm(svc, "A100");
  const std::string reply = SendHl7(svc, hl7Acked ? 5000ms : 1500ms);
  if (hl7Acked) {
    EXPECT_TRUE(IsAckAA(reply)) << Repr(reply);
  } else {
    EXPECT_EQ(Repr(reply), "") << "no ACK for a message nothing holds";
  }
  SendJson(svc, "J200");
}

std::vector<std::string> Tmps(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& f : ListFiles(dir, true))
    if (f.find(".tmp") != std::string::npos) out.push_back(f);
  return out;
}

// Messages waiting in the spool's journal.
size_t SpoolWaiting(const std::string& dir) { return TSpoolJournal::WaitingIn(dir); }

// The archive files below the folder, the filler of a full file system left out.
std::map<std::string, std::string> Archives(const std::string& dir) {
  std::map<std::string, std::string> m;
  for (auto& [name, text] : ArchiveFiles(dir))
    if (name != "filler" && name != "lost+found") m[name] = text;
  return m;
}

// A service in its own folder: output folder <dir>/lis/saida/, retries every second.
struct SpoolRun {
  explicit SpoolRun(const std::function<void(const std::string& svcDir)>& beforeStart = {}) {
    fs::create_directories(Saida());
    if (beforeStart) beforeStart(SvcDir());
  }
  void Start() {
    auto config = ServiceConfig(dir.path());
    config["pastaSaida"] = Saida();
    config["intervaloReenvioSegundos"] = 1;
    // A second start writes into the same log: wait for this run's own line.
    const size_t before = Count(ReadFile(SvcDir() + "/Logs/Redurozozi.txt"), "Pasta destino de arquivos: ");
    svc = std::make_unique<ServiceProcess>(SvcDir(), config);
    ASSERT_TRUE(svc->WaitListening());
    ASSERT_TRUE(WaitFor([&] { return Count(Log(), "Pasta destino de arquivos: ") > before; }));
  }
  std::string SvcDir() const { return dir / "svc"; }
  std::string Saida() const { return dir / "lis/saida/"; }
  std::string Spool() const { return SvcDir() + "/spool"; }
  std::string Log() const { return svc->LogText(); }
  bool WaitSaved(size_t n, std::chrono::milliseconds t = 10000ms) const {
    return WaitFor([&] { return Count(Log(), kSalvo) >= n; }, t);
  }

  TempDir dir;
  std::unique_ptr<ServiceProcess> svc;
};

// What a healthy service writes for SendAll: the reference for every fault.
const std::map<std::string, std::string>& Healthy() {
  static const std::map<std::string, std::string> files = [] {
    SpoolRun run;
    run.Start();
    SendAll(*run.svc);
    EXPECT_TRUE(run.WaitSaved(3));
    EXPECT_EQ(run.svc->Stop(), 0);
    return Archives(run.Saida());
  }();
  return files;
}

// A mount made for a test, undone at the end of its scope.
class MountGuard {
 public:
  MountGuard() = default;
  MountGuard(const MountGuard&) = delete;
  MountGuard& operator=(const MountGuard&) = delete;
  ~MountGuard() {
    if (!target_.empty()) ::umount2(target_.c_str(), MNT_DETACH);
  }
  // A tmpfs of `size` at target with the folder `inside` made in it, then
  // filled so that nothing more fits.
  std::string FullTmpfs(const std::string& target, const std::string& size, const std::string& inside = "") {
    if (::mount("tmpfs", target.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) return Why("tmpfs");
    target_ = target;
    if (!inside.empty()) fs::create_directories(inside);
    const int fd = ::open((target + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return Why("filler");
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    const std::string one(1, 'f');
    while (::write(fd, one.data(), 1) > 0) {
    }
    ::close(fd);
    return {};
  }
  // The folder bound onto itself read-only.
  std::string ReadOnly(const std::string& target) {
    if (::mount(target.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return Why("bind");
    target_ = target;
    if (::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      return Why("remount ro");
    return {};
  }
  void Undo() {
    if (!target_.empty()) ::umount2(target_.c_str(), MNT_DETACH);
    target_.clear();
  }

 private:
  static std::string Why(const std::string& what) { return what + ": " + std::strerror(errno); }
  std::string target_;
};

// FS_IMMUTABLE_FL on a folder, cleared at the end of its scope.
class ImmutableGuard {
 public:
  ~ImmutableGuard() { Undo(); }
  std::string Set(const std::string& folder) {
    folder_ = folder;
    return Flag(true);
  }
  void Undo() {
    if (!folder_.empty()) Flag(false);
    folder_.clear();
  }

 private:
  std::string Flag(bool on) {
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return std::string("open: ") + std::strerror(errno);
    int flags = 0;
    std::string err;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) err = std::string("FS_IOC_GETFLAGS: ") + std::strerror(errno);
    if (err.empty()) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) err = std::string("FS_IOC_SETFLAGS: ") + std::strerror(errno);
    }
    ::close(fd);
    return err;
  }
  std::string folder_;
};

struct FaultRow {
  const char* name;
  // Makes the output folder fail (an empty answer) or tells why the kernel refused.
  std::function<std::string(SpoolRun&, MountGuard&, ImmutableGuard&)> fault;
  // Makes it writable again.
  std::function<void(SpoolRun&, MountGuard&, ImmutableGuard&)> heal;
};

const std::vector<FaultRow>& FaultRows() {
  static const std::vector<FaultRow> rows = {
      {"ReadOnly", [](SpoolRun& r, MountGuard& m, ImmutableGuard&) { return m.ReadOnly(r.Saida()); },
       [](SpoolRun&, MountGuard& m, ImmutableGuard&) { m.Undo(); }},
      {"Full",
       [](SpoolRun& r, MountGuard& m, ImmutableGuard&) {
         return m.FullTmpfs(r.dir / "lis", "64k", r.Saida());
       },
       [](SpoolRun& r, MountGuard&, ImmutableGuard&) { fs::remove(r.dir / "lis/filler"); }},
      {"Immutable", [](SpoolRun& r, MountGuard&, ImmutableGuard& i) { return i.Set(r.Saida()); },
       [](SpoolRun&, MountGuard&, ImmutableGuard& i) { i.Undo(); }},
  };
  return rows;
}

class OutputFolderFault : public ::testing::TestWithParam<size_t> {};

}  // namespace

// The output folder fails while the analyzers send: every message is
// acknowledged as the protocol wants, waits in the spool, one line tells the
// operator why, and once the folder is writable again each message lands in
// exactly one file, the same one a healthy run writes.
TEST_P(OutputFolderFault, MessagesWaitInTheSpoolAndArriveWhenTheFolderIsWritableAgain) {
  const FaultRow& row = FaultRows()[GetParam()];
  const auto& healthy = Healthy();
  ASSERT_EQ(healthy.size(), 3u);
  SpoolRun run;
  MountGuard mount;
  ImmutableGuard immutable;
  // The full tmpfs goes under the output folder's parent before start, so the
  // service's own start-up sees the folder it will write to.
  if (std::string(row.name) == "Full") {
    const std::string why = row.fault(run, mount, immutable);
    if (!why.empty()) GTEST_SKIP() << "the kernel refused the fault: " << why;
  }
  run.Start();
  if (std::string(row.name) != "Full") {
    const std::string why = row.fault(run, mount, immutable);
    if (!why.empty()) GTEST_SKIP() << "the kernel refused the fault: " << why;
  }

  SendAll(*run.svc);
  ASSERT_TRUE(run.svc->WaitForLog(kEntregaFalhou)) << Repr(run.Log().substr(0, 2000));
  // Retried every second: still one line for the one kind of failure.
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(Count(run.Log(), kEntregaFalhou), 1u) << Repr(run.Log().substr(0, 3000));
  EXPECT_EQ(Count(run.Log(), kSalvo), 0u);
  EXPECT_EQ(SpoolWaiting(run.Spool()), 3u);
  EXPECT_TRUE(Archives(run.Saida()).empty());

  row.heal(run, mount, immutable);
  ASSERT_TRUE(run.WaitSaved(3)) << Repr(run.Log().substr(0, 3000));
  EXPECT_TRUE(WaitFor([&] { return SpoolWaiting(run.Spool()) == 0; }));
  EXPECT_EQ(Archives(run.Saida()), healthy);
  EXPECT_EQ(Tmps(run.Saida()), std::vector<std::string>{});
  EXPECT_EQ(Tmps(run.Spool()), std::vector<std::string>{});
  // Nothing more comes: each message went to one file only.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(Count(run.Log(), kSalvo), 3u);
  EXPECT_EQ(run.svc->Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(ServiceSpool, OutputFolderFault, ::testing::Range<size_t>(0, 3),
                         [](const ::testing::TestParamInfo<size_t>& i) { return FaultRows()[i.param].name; });

// A deleted output folder (its parent too) is made again at the next message.
TEST(ServiceSpool, DeletedOutputFolderIsMadeAgainWithItsParents) {
  const auto& healthy = Healthy();
  SpoolRun run;
  run.Start();
  fs::remove_all(run.dir / "lis");
  SendAll(*run.svc);
  ASSERT_TRUE(run.WaitSaved(3)) << Repr(run.Log().substr(0, 3000));
  EXPECT_NE(run.Log().find(kRecriada + run.Saida()), std::string::npos);
  EXPECT_EQ(Count(run.Log(), kEntregaFalhou), 0u);
  EXPECT_EQ(Archives(run.Saida()), healthy);
  EXPECT_TRUE(SpoolWaiting(run.Spool()) == 0);
  // And again, when it goes a second time.
  fs::remove_all(run.dir / "lis");
  SendAstm(*run.svc, "A101");
  ASSERT_TRUE(run.WaitSaved(4));
  EXPECT_TRUE(FileExists(run.Saida() + "XN-550/A101.astm"));
  EXPECT_EQ(run.svc->Stop(), 0);
}

// What waits in the spool when the service stops is delivered after the next
// start; the listener does not wait for it, even while the folder still fails.
TEST(ServiceSpool, SpoolIsDeliveredAfterARestartAndThePortOpensAtOnce) {
  const auto& healthy = Healthy();
  SpoolRun run;
  MountGuard mount;
  run.Start();
  const std::string why = mount.ReadOnly(run.Saida());
  if (!why.empty()) GTEST_SKIP() << "the kernel refused a read-only bind mount: " << why;
  SendAll(*run.svc);
  ASSERT_TRUE(run.svc->WaitForLog(kEntregaFalhou));
  EXPECT_EQ(run.svc->Stop(), 0);
  EXPECT_EQ(SpoolWaiting(run.Spool()), 3u);

  run.Start();  // waits for the listener: the folder is still read-only
  ASSERT_TRUE(run.svc->WaitForLog("Fila spool/: 3 item(ns) a entregar"));
  EXPECT_EQ(Count(run.Log(), kSalvo), 0u);
  mount.Undo();
  EXPECT_TRUE(run.WaitSaved(3)) << Repr(run.Log().substr(0, 3000));
  EXPECT_EQ(Archives(run.Saida()), healthy);
  EXPECT_TRUE(WaitFor([&] { return SpoolWaiting(run.Spool()) == 0; }));
  EXPECT_EQ(run.svc->Stop(), 0);
}

// A full spool: HL7 gets no ACK (the analyzer sends it again) and the failed
// save is logged; ASTM and JSON, whose frames or bytes were taken already, go
// straight into the output folder.
TEST(ServiceSpool, FullSpoolWithholdsTheHl7AckAndWritesTheOthersStraightThrough) {
  MountGuard mount;
  std::string why;
  SpoolRun run([&](const std::string& svcDir) {
    fs::create_directories(svcDir + "/spool");
    why = mount.FullTmpfs(svcDir + "/spool", "16k");
  });
  if (!why.empty()) GTEST_SKIP() << "the kernel refused a tmpfs: " << why;
  run.Start();
  SendAll(*run.svc, /*hl7Acked=*/false);
  ASSERT_TRUE(run.WaitSaved(2)) << Repr(run.Log().substr(0, 3000));
  const std::string log = run.Log();
  EXPECT_NE(log.find(kHl7NaoSalvo), std::string::npos) << Repr(log.substr(0, 3000));
  EXPECT_EQ(Count(log, kFilaFalhou), 1u) << "one line for the one kind of failure";
  const auto files = Archives(run.Saida());
  EXPECT_EQ(files.size(), 2u);
  EXPECT_TRUE(files.count("XN-550/A100.astm"));
  EXPECT_TRUE(files.count("Icounter/J200.json"));
  EXPECT_EQ(Tmps(run.Spool()), std::vector<std::string>{});
  EXPECT_EQ(Tmps(run.Saida()), std::vector<std::string>{});

  // The room comes back: the analyzer's resend is acknowledged and archived.
  fs::remove(run.Spool() + "/filler");
  const std::string reply = SendHl7(*run.svc);
  EXPECT_TRUE(IsAckAA(reply)) << Repr(reply);
  EXPECT_TRUE(run.WaitSaved(3));
  EXPECT_EQ(Archives(run.Saida()), Healthy());
  EXPECT_EQ(run.svc->Stop(), 0);
}

// Spool and output folder both fail: the acknowledged ASTM and JSON messages
// are held in memory and delivered once the output folder is writable again.
TEST(ServiceSpool, FullSpoolAndReadOnlyOutputKeepAcknowledgedMessagesInMemory) {
  MountGuard spoolMount;
  MountGuard outMount;
  std::string why;
  SpoolRun run([&](const std::string& svcDir) {
    fs::create_directories(svcDir + "/spool");
    why = spoolMount.FullTmpfs(svcDir + "/spool", "16k");
  });
  if (!why.empty()) GTEST_SKIP() << "the kernel refused a tmpfs: " << why;
  run.Start();
  why = outMount.ReadOnly(run.Saida());
  if (!why.empty()) GTEST_SKIP() << "the kernel refused a read-only bind mount: " << why;
  SendAll(*run.svc, /*hl7Acked=*/false);
  ASSERT_TRUE(run.svc->WaitForLog(kEntregaFalhou));
  std::this_thread::sleep_for(2000ms);
  EXPECT_EQ(Count(run.Log(), kEntregaFalhou), 1u);
  EXPECT_EQ(Count(run.Log(), kSalvo), 0u);
  outMount.Undo();
  ASSERT_TRUE(run.WaitSaved(2)) << Repr(run.Log().substr(0, 3000));
  const auto files = Archives(run.Saida());
  EXPECT_EQ(files.size(), 2u);
  EXPECT_EQ(files.at("XN-550/A100.astm"), Healthy().at("XN-550/A100.astm"));
  EXPECT_EQ(files.at("Icounter/J200.json"), Healthy().at("Icounter/J200.json"));
  EXPECT_EQ(Tmps(run.Saida()), std::vector<std::string>{});
  EXPECT_EQ(run.svc->Stop(), 0);
}
