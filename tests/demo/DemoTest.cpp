// The README's run command and demo script, end to end: scripts/run-demo.sh in a
// temporary copy of the repository (on a test port, with the executables of this
// build), scripts/demo.sh against it, then the archive files, replies and stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kvtest::ReadFile;
using kvtest::Repr;
using kvtest::WaitFor;

namespace {

// A script run as its own process group, output to a file; killed if still running at the end.
class Script {
 public:
  Script(const std::string& root, const std::vector<std::string>& args, const std::vector<std::string>& env,
         const std::string& outFile)
      : outFile_(outFile) {
    std::vector<std::string> envStrings = env;
    for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
    std::vector<char*> envp, argv;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings = {"bash"};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      const int fd = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || ::chdir(root.c_str()) != 0) _exit(126);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execve("/bin/bash", argv.data(), envp.data());
      _exit(127);
    }
  }
  ~Script() {
    if (pid_ > 0) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // Exit status, or -1 when it did not end in time.
  int Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return status_;
    int st = 0;
    const bool ended = WaitFor([&] { return ::waitpid(pid_, &st, WNOHANG) == pid_; }, timeout);
    if (!ended) return -1;
    pid_ = -1;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
  }
  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }
  std::string Output() const { return ReadFile(outFile_); }

 private:
  std::string outFile_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// Windows-1252 log text: the lines the service wrote, newest first.
bool LogHas(const std::string& root, const std::string& text) {
  return ReadFile(root + "/run/Logs/Redurozozi.txt").find(text) != std::string::npos;
}

std::string CrLf(const std::string& lfText) {
  std::string out;
  for (char c : lfText) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

size_t CountLines(const std::string& text) {
  size_t n = 0;
  for (size_t p = 0; (p = text.find("\r\n", p)) != std::string::npos; p += 2) ++n;
  return n;
}

}  // namespace

TEST(Demo, RunCommandAndDemoScriptEndToEnd) {
  kvtest::TempDir tmp;
  const std::string root = tmp.path();
  for (const char* dir : {"scripts", "demo"})
    fs::copy(std::string(KV_SOURCE_DIR) + "/" + dir, root + "/" + dir, fs::copy_options::recursive);
  const int port = kvtest::FreePort();
  const std::vector<std::string> env = {"KV_SKIP_BUILD=1", std::string("KV_BUILD_DIR=") + KV_BINARY_DIR,
                                        "KV_PORT=" + std::to_string(port), "KV_SIM_TIMEOUT=10"};
  const std::string listening = "Servidor ativo e ouvindo porta " + std::to_string(port);

  {
    Script service(root, {"scripts/run-demo.sh"}, env, root + "/run-demo-1.out");
    ASSERT_TRUE(WaitFor([&] { return LogHas(root, listening); }, 90s))
        << service.Output() << "\nlog:\n" << Repr(ReadFile(root + "/run/Logs/Redurozozi.txt"));
    const std::string started = service.Output();
    EXPECT_NE(started.find("creating the demo LIS database"), std::string::npos) << started;
    EXPECT_NE(started.find("service log   " + root + "/run/Logs/Redurozozi.txt"), std::string::npos) << started;
    EXPECT_NE(started.find("output folder " + root + "/run/saida/"), std::string::npos) << started;
    EXPECT_TRUE(LogHas(root, "Banco de dados: OK")) << Repr(ReadFile(root + "/run/Logs/Redurozozi.txt"));

    Script demo(root, {"scripts/demo.sh"}, env, root + "/demo.out");
    const int demoStatus = demo.Wait(150s);
    const std::string out = demo.Output();
    EXPECT_EQ(demoStatus, 0) << out;

    // Where each archive file landed, as the script reports it.
    const std::string saida = root + "/run/saida/";
    for (const char* file : {"XN-550/1001.astm", "Mindray/1005.hl7", "Icounter/1001.json"})
      EXPECT_NE(out.find("archived: " + saida + file + "\n"), std::string::npos) << file << "\n" << out;
    // The replies: both ASTM queries and the HL7 query.
    EXPECT_NE(out.find("order for ^1001"), std::string::npos) << out;
    EXPECT_NE(out.find("tests: WBC, RBC, HGB, HCT, MCV, MCH, MCHC, PLT, RET%, RET#"), std::string::npos) << out;
    EXPECT_NE(out.find("patient 1: João Silva, born 19800514, sex M"), std::string::npos) << out;
    EXPECT_NE(out.find("no order for ^9999"), std::string::npos) << out;
    EXPECT_NE(out.find("answer ACK^R01, MSA-1 AA"), std::string::npos) << out;
    EXPECT_NE(out.find("order for sample 1001"), std::string::npos) << out;
    EXPECT_NE(out.find("demo: all steps went as expected"), std::string::npos) << out;

    // The archive files hold what was sent.
    const std::string astm = ReadFile(saida + "XN-550/1001.astm");
    EXPECT_EQ(CountLines(astm), 14u) << Repr(astm);  // 13 records, the long comment in two frames
    EXPECT_EQ(astm.rfind("1H|\\^&|||XN-550^00-24^22723|", 0), 0u) << Repr(astm);
    EXPECT_NE(astm.find("\r\n0R|5|^^^^MCV^1|88.5|"), std::string::npos) << Repr(astm);  // frame numbers wrap 7 -> 0
    EXPECT_NE(astm.find("\r\n6L|1|N\r\n"), std::string::npos) << Repr(astm);
    const std::string hl7 = ReadFile(saida + "Mindray/1005.hl7");
    // 12 segments, then the empty line that the FS after the last segment's CR leaves.
    EXPECT_EQ(CountLines(hl7), 13u) << Repr(hl7);
    EXPECT_EQ(hl7.substr(hl7.size() - 4), "\r\n\r\n");
    EXPECT_EQ(hl7.rfind("MSH|^~\\&|BC-5380|Mindray|||20260109094500||ORU^R01|1|", 0), 0u) << Repr(hl7);
    const std::string json = ReadFile(saida + "Icounter/1001.json");
    EXPECT_EQ(json, CrLf(ReadFile(root + "/demo/messages/icounter.json")));
    EXPECT_EQ(kvtest::ListFiles(saida).size(), 3u);  // no query archived, no .tmp left behind

    // Ctrl-C stops the service cleanly.
    service.Signal(SIGINT);
    EXPECT_EQ(service.Wait(20s), 0) << service.Output();
    EXPECT_TRUE(LogHas(root, "Finalizando!"));
  }

  // Running it a second time reuses the database and keeps the files.
  {
    Script service(root, {"scripts/run-demo.sh", "--port", std::to_string(port)}, {"KV_SKIP_BUILD=1",
                   std::string("KV_BUILD_DIR=") + KV_BINARY_DIR}, root + "/run-demo-2.out");
    ASSERT_TRUE(WaitFor(
        [&] {
          const std::string log = ReadFile(root + "/run/Logs/Redurozozi.txt");
          const size_t first = log.find(listening);
          return first != std::string::npos && log.find(listening, first + 1) != std::string::npos;
        },
        90s))
        << service.Output();
    EXPECT_EQ(service.Output().find("creating the demo LIS database"), std::string::npos) << service.Output();
    Script query(root, {"-c", std::string(KV_BINARY_DIR) + "/analyzer-sim --timeout 10 --port " + std::to_string(port) +
                                  " --model XN-550 --query 1001"},
                 {}, root + "/query.out");
    EXPECT_EQ(query.Wait(60s), 0) << query.Output();
    EXPECT_NE(query.Output().find("order for ^1001"), std::string::npos) << query.Output();
    EXPECT_EQ(kvtest::ListFiles(root + "/run/saida").size(), 3u);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(20s), 0) << service.Output();
  }
}

// The same with the XN-550 on a serial pair: run-demo.sh --serial configures it
// on the service's end, demo.sh --serial plays its steps on the other end, and
// the stop ends the pair with the service.
TEST(Demo, SerialPairWithRunDemoAndDemoScript) {
  if (std::system("command -v socat >/dev/null 2>&1") != 0) GTEST_SKIP() << "socat is missing (scripts/setup.sh)";
  kvtest::TempDir tmp;
  const std::string root = tmp.path();
  for (const char* dir : {"scripts", "demo"})
    fs::copy(std::string(KV_SOURCE_DIR) + "/" + dir, root + "/" + dir, fs::copy_options::recursive);
  const int port = kvtest::FreePort();
  const std::vector<std::string> env = {"KV_SKIP_BUILD=1", std::string("KV_BUILD_DIR=") + KV_BINARY_DIR,
                                        "KV_PORT=" + std::to_string(port), "KV_STATUS_PORT=0", "KV_SIM_TIMEOUT=10"};
  Script service(root, {"scripts/run-demo.sh", "--serial"}, env, root + "/run-demo.out");
  const std::string tty = root + "/run/tty-service";
  ASSERT_TRUE(WaitFor([&] { return LogHas(root, "** Nova conex\xE3o: serial:" + tty + "**"); }, 90s))
      << service.Output() << "\nlog:\n" << Repr(ReadFile(root + "/run/Logs/Redurozozi.txt"));
  EXPECT_NE(service.Output().find("serial pair   XN-550 on " + tty), std::string::npos) << service.Output();

  Script demo(root, {"scripts/demo.sh", "--serial"}, env, root + "/demo.out");
  EXPECT_EQ(demo.Wait(150s), 0) << demo.Output();
  const std::string out = demo.Output();
  EXPECT_NE(out.find("archived: " + root + "/run/saida/XN-550/1001.astm\n"), std::string::npos) << out;
  EXPECT_NE(out.find("order for ^1001"), std::string::npos) << out;
  EXPECT_NE(out.find("no order for ^9999"), std::string::npos) << out;
  // The XN-550 spoke over the pair, not over TCP.
  EXPECT_NE(ReadFile(root + "/run/Logs/Redurozozi.txt").find("Nova mensagem: [serial:" + tty + "]"), std::string::npos);
  EXPECT_EQ(kvtest::ListFiles(root + "/run/saida").size(), 3u);

  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(20s), 0) << service.Output();
  EXPECT_FALSE(fs::exists(tty)) << "the pair outlived the service";
}

TEST(Demo, RunCommandRefusesABadPort) {
  kvtest::TempDir tmp;
  fs::copy(std::string(KV_SOURCE_DIR) + "/scripts", tmp / "scripts", fs::copy_options::recursive);
  Script script(tmp.path(), {"scripts/run-demo.sh", "--port", "70000"}, {"KV_SKIP_BUILD=1"}, tmp / "out");
  EXPECT_EQ(script.Wait(20s), 1);
  EXPECT_NE(script.Output().find("run-demo: bad port '70000'"), std::string::npos) << script.Output();
  EXPECT_FALSE(fs::exists(tmp / "run"));
}

// Every recorded analyzer session, re-played by the simulator against the demo
// service: results are acknowledged frame by frame (ASTM) or with ACK^R01 (HL7)
// and archived once; queries get a well-formed reply.
TEST(Demo, EveryCaptureThroughTheSimulator) {
  kvtest::TempDir tmp;
  const std::string root = tmp.path();
  for (const char* dir : {"scripts", "demo"})
    fs::copy(std::string(KV_SOURCE_DIR) + "/" + dir, root + "/" + dir, fs::copy_options::recursive);
  const int port = kvtest::FreePort();
  Script service(root, {"scripts/run-demo.sh"},
                 {"KV_SKIP_BUILD=1", std::string("KV_BUILD_DIR=") + KV_BINARY_DIR, "KV_PORT=" + std::to_string(port)},
                 root + "/run-demo.out");
  ASSERT_TRUE(WaitFor([&] { return LogHas(root, "Servidor ativo e ouvindo porta " + std::to_string(port)); }, 90s))
      << service.Output();

  struct Expect {
    int status;
    const char* text;  // in the simulator's output
    size_t files;      // new archive files
  };
  auto expectFor = [](const std::string& name) -> Expect {
    if (name.find("host_query") != std::string::npos) return {0, "no order for ", 0};
    if (name.find("orm_o01") != std::string::npos) return {2, "the host rejected the order message: MSA-1 AR", 0};
    if (name.find("qry_q02") != std::string::npos) return {0, "no order for the sample (QAK-2 NF)", 0};
    if (name.find(".hl7") != std::string::npos) return {0, "answer ACK^R01, MSA-1 AA", 1};
    return {0, "every frame acknowledged", 1};
  };
  std::vector<std::string> files = kvtest::TestDataFiles("astm");
  for (const std::string& f : kvtest::TestDataFiles("hl7")) files.push_back(f);
  ASSERT_EQ(files.size(), 25u);
  const std::string saida = root + "/run/saida";
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string name = fs::path(files[i]).filename();
    const Expect e = expectFor(name);
    const size_t before = fs::exists(saida) ? kvtest::ListArchiveFiles(saida).size() : 0;
    Script sim(root, {"-c", std::string(KV_BINARY_DIR) + "/analyzer-sim --quiet --timeout 10 --port " +
                                std::to_string(port) + " --mode " + (name.find(".hl7") != std::string::npos ? "hl7 " : "astm ") +
                                "'" + files[i] + "'"},
               {}, root + "/sim.out");
    EXPECT_EQ(sim.Wait(60s), e.status) << i << " " << name << "\n" << sim.Output();
    EXPECT_NE(sim.Output().find(e.text), std::string::npos) << i << " " << name << "\n" << sim.Output();
    EXPECT_TRUE(WaitFor([&] { return kvtest::ListArchiveFiles(saida).size() >= before + e.files; }, 5s)) << i << " " << name;
    EXPECT_EQ(kvtest::ListArchiveFiles(saida).size(), before + e.files) << i << " " << name;
  }
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(20s), 0) << service.Output();
}
