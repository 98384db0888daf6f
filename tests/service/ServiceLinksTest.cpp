// Links the service opens itself, end to end through the real executable: an
// analyzer on a serial port (one end of a socat pty pair, the simulator on the
// other) and an analyzer behind a port server in TCP-server mode (the
// simulator listening).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ServiceHarness.hpp"
#include "support/PtyPair.hpp"
#include "support/ServiceProcess.hpp"
#include "support/TestSupport.hpp"
#include "support/TtySettings.hpp"

using namespace std::chrono_literals;
using kvtest::PtyPair;
using kvtest::ServiceProcess;

namespace {

const std::string DEMO_ASTM = std::string(KV_SOURCE_DIR) + "/demo/messages/hematology-xn550.astm";
const std::string DEMO_HL7 = std::string(KV_SOURCE_DIR) + "/demo/messages/hemogram-bc5380.hl7";
const std::string CONNECTION = "Conex\xE3o ";

kvtest::ProgramRun Sim(const std::string& args) { return kvtest::RunProgram("analyzer-sim", "--quiet --linger 200 " + args); }

size_t FilesIn(const std::string& dir) { return kvtest::ListArchiveFiles(dir).size(); }

// The body of GET path from the status port.
std::string Get(int port, const std::string& path) {
  kvtest::TcpClient http(port);
  http.Send("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  const std::string reply = http.ReadFor(1500ms);
  const size_t body = reply.find("\r\n\r\n");
  return body == std::string::npos ? reply : reply.substr(body + 4);
}

}  // namespace

TEST(ServiceLinks, SerialPortResultsQueryPulledAndPutBack) {
  if (!PtyPair::Available()) GTEST_SKIP() << "socat is missing (bash scripts/setup.sh installs it)";
  PtyPair pair;
  kvtest::TempDir dir;
  nlohmann::json config = kvtest::ServiceConfig(dir.path());
  config["analisadores"][0]["portaSerial"] = pair.a();
  config["analisadores"][0]["velocidade"] = 19200;
  config["analisadores"][0]["bitsParada"] = 2;
  config["analisadores"][0]["intervaloReconexaoSegundos"] = 1;
  ServiceProcess svc(dir.path(), config);
  const std::string name = "serial:" + pair.a();
  ASSERT_TRUE(svc.WaitForLog("** Nova conex\xE3o: " + name + "**")) << svc.LogText();
  if (::getuid() == 0) {  // the service holds the port exclusively: only a privileged reader gets in
    const kvtest::TtySettings held = kvtest::ReadTtySettings(pair.a());
    EXPECT_EQ(held.Short(), "19200 8N2");
    EXPECT_TRUE(held.raw);
  }

  kvtest::ProgramRun run = Sim("--serial " + pair.b() + " " + DEMO_ASTM);
  EXPECT_EQ(run.status, 0) << run.output;
  const std::string folder = dir / "saida/XN-550";
  EXPECT_TRUE(kvtest::WaitFor([&] { return FilesIn(folder) == 1; })) << svc.LogText();
  EXPECT_NE(svc.LogText().find("Nova mensagem: [" + name + "]"), std::string::npos);
  // A host query and its reply over the same line (no LIS here: "no order" is the answer).
  run = Sim("--serial " + pair.b() + " --mode astm --model XN-550 --query 1001");
  EXPECT_EQ(run.status, 0) << run.output;

  pair.Pull();
  EXPECT_TRUE(svc.WaitForLog("Conex\xE3o encerrada: " + name)) << svc.LogText();
  EXPECT_TRUE(svc.WaitForLog(CONNECTION + name + " perdida: dispositivo desconectado. Nova tentativa em 1 s"));
  EXPECT_TRUE(svc.WaitForLog(CONNECTION + name + " indispon\xEDvel: dispositivo inexistente. Nova tentativa a cada 1 s"));
  pair.PutBack();
  ASSERT_TRUE(svc.WaitForLog(CONNECTION + name + " restabelecida")) << svc.LogText();
  run = Sim("--serial " + pair.b() + " " + DEMO_ASTM);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(kvtest::WaitFor([&] { return FilesIn(folder) == 2; })) << svc.LogText();
  EXPECT_EQ(svc.Stop(), 0);
}

TEST(ServiceLinks, PortServerDownAtStartDroppingAndQueried) {
  const int port = kvtest::FreePort();
  const std::string name = "127.0.0.1:" + std::to_string(port);
  kvtest::TempDir dir;
  nlohmann::json config = kvtest::ServiceConfig(dir.path());
  config["analisadores"][1]["conectarEm"] = name;
  config["analisadores"][1]["intervaloReconexaoSegundos"] = 1;
  const int statusPort = kvtest::FreePort();
  config["portaStatus"] = statusPort;
  ServiceProcess svc(dir.path(), config);
  // Nothing listens yet: logged once, tried every second.
  ASSERT_TRUE(svc.WaitForLog(CONNECTION + name + " indispon\xEDvel: conex\xE3o recusada. Nova tentativa a cada 1 s"))
      << svc.LogText();
  // The status says so: the link is down, and /health is degraded for it.
  const std::string down = "kv_redurozozi_link_up{modelo=\"Mindray\",link=\"" + name + "\"} 0";
  EXPECT_TRUE(kvtest::WaitFor([&] { return Get(statusPort, "/metrics").find(down) != std::string::npos; }, 5000ms))
      << Get(statusPort, "/metrics");
  // The exposition with the link's series stays valid for Prometheus.
  if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
    kvtest::WriteFile(dir / "metrics.txt", Get(statusPort, "/metrics"));
    FILE* check = ::popen(("promtool check metrics < " + (dir / "metrics.txt") + " 2>&1").c_str(), "r");
    ASSERT_NE(check, nullptr);
    std::string remarks;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, check)) remarks += buffer;
    EXPECT_EQ(::pclose(check), 0) << remarks;
    EXPECT_EQ(remarks, "") << "promtool's remarks";
  }
  const std::string health = Get(statusPort, "/health");
  EXPECT_NE(health.find("\"degraded\""), std::string::npos) << health;
  EXPECT_NE(health.find("conex\xC3\xA3o " + name + " do analisador Mindray fechada: conex\xC3\xA3o recusada"),
            std::string::npos)
      << health;
  // And the page, in Mindray's card.
  const std::string page = Get(statusPort, "/");
  const size_t card = page.find("<h2>Mindray</h2>");
  ASSERT_NE(card, std::string::npos) << page;
  EXPECT_NE(page.find("Conex\xC3\xA3o " + name + "</span><span class=\"v bad\">fechada, reabrindo desde ", card),
            std::string::npos)
      << page;

  // The port server comes up, plays a result, drops the connection, and plays another once reconnected.
  kvtest::ProgramRun run = Sim("--listen " + std::to_string(port) + " --timeout 10 --drop-after 1 " + DEMO_HL7 + " " + DEMO_HL7);
  EXPECT_EQ(run.status, 0) << run.output;
  const std::string folder = dir / "saida/Mindray";
  EXPECT_TRUE(kvtest::WaitFor([&] { return FilesIn(folder) == 2; })) << svc.LogText();
  EXPECT_TRUE(svc.WaitForLog("** Nova conex\xE3o: " + name + "**"));
  EXPECT_TRUE(svc.WaitForLog(CONNECTION + name + " restabelecida"));
  EXPECT_TRUE(svc.WaitForLog(CONNECTION + name + " perdida: conex\xE3o encerrada pelo servidor de portas. Nova tentativa em 1 s"));

  // An HL7 query through the next connection.
  run = Sim("--listen " + std::to_string(port) + " --timeout 10 --mode hl7 --model Mindray --query 1001");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(svc.Stop(), 0);
}
