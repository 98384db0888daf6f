// The real service against a real Firebird server behind a proxy of ours that
// passes, delays or swallows the traffic: a hung, slow or restarted LIS. The
// querying analyzer gets its reply (not found while the LIS is silent), every
// other analyzer is served meanwhile, and the service recovers with the LIS.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "db/DbTestSupport.hpp"
#include "protocol/Controls.hpp"
#include "support/LisDatabase.hpp"
#include "support/ServiceProcess.hpp"
#include "support/TcpProxy.hpp"
#include "support/TestSupport.hpp"

using namespace std::chrono_literals;
using kvtest::Repr;
using kvtest::TcpClient;
using kvtest::TcpProxy;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTimeout = 2;  // timeoutLisSegundos of these tests

// The server's port from KV_FB_SERVER ("127.0.0.1" or "127.0.0.1/3051").
int ServerPort() {
  const std::string server = std::getenv("KV_FB_SERVER");
  const size_t slash = server.find('/');
  return slash == std::string::npos ? 3050 : std::stoi(server.substr(slash + 1));
}

const std::string kQuery1001 =
    "H|\\^&|||XN-550^00-24^11001^^^^12345678||||||||LIS2-A2\rQ|1|^1001^^||^^^ALL^||||||||O\rL|1|N\r";

bool Found(const std::string& reply) { return reply.find("P|1|||1|") != std::string::npos; }
bool NotFound(const std::string& reply) { return reply.find("P|1\r") != std::string::npos; }
bool ReplyDone(const std::string& r) { return r.find("L|1|N\r") != std::string::npos; }

std::string Oru(int n) {
  const std::string id = std::to_string(5000 + n);
  return std::string(1, VT) + "MSH|^~\\&|BC-5380|Mindray|||20260109094500||ORU^R01|" + id +
         "|P|2.3.1||||||UNICODE\rPID|1||" + id + "^^^^MR\rOBR|1||" + id +
         "|00001^Automated Count^99MRC\rOBX|1|NM|6690-2^WBC^LN||6.4|10*3/uL|4.0-10.0|N|||F\r" + FS + CR;
}

class LisServerFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("KV_FB_SERVER")) GTEST_SKIP() << "KV_FB_SERVER not set (no Firebird server to test through)";
    TMyDBInfo info = dbtest::ThroughServer(kvtest::CreateLisDatabase(dbDir.path()), dbDir.path());
    proxy = std::make_unique<TcpProxy>(ServerPort());
    config = {
        {"pastaSaida", serviceDir.path() + "/saida/"},
        {"timeoutLisSegundos", kTimeout},
        {"server", "127.0.0.1/" + std::to_string(proxy->port())},
        {"database", info.database},
        {"user", info.user},
        {"password", info.password},
        {"analisadores",
         nlohmann::json::array(
             {{{"aplicacao", "XN-550"}, {"modelo", "XN-550"}, {"nomeTevarin", "XN-550"},
               {"exames", nlohmann::json::array({{{"codigo", 101}, {"atributos", {"WBC", "RBC"}}}})}},
              {{"aplicacao", "BC-5380"}, {"modelo", "Mindray"}, {"nomeTevarin", "BC-5380"},
               {"exames", nlohmann::json::array({{{"codigo", 101}}})}}})},
    };
  }

  void Start() {
    service = std::make_unique<kvtest::ServiceProcess>(serviceDir.path(), config);
    ASSERT_TRUE(service->WaitListening(10s)) << service->LogText();
  }

  // One host query on a connection of its own; the reply as it arrived.
  std::string Ask(const std::string& query, std::chrono::milliseconds limit = 10000ms) {
    TcpClient analyzer(service->port());
    analyzer.Send(query);
    return analyzer.ReadUntil(ReplyDone, limit);
  }

  kvtest::TempDir dbDir;
  kvtest::TempDir serviceDir;
  std::unique_ptr<TcpProxy> proxy;
  nlohmann::json config;
  std::unique_ptr<kvtest::ServiceProcess> service;
};

TEST_F(LisServerFaults, AHungLisIsAnsweredAsNoOrderInTimeWhileTheOthersAreServed) {
  Start();
  ASSERT_TRUE(service->WaitForLog("Banco de dados: OK")) << service->LogText();
  EXPECT_TRUE(Found(Ask(kQuery1001))) << service->LogText();

  proxy->Set(TcpProxy::Mode::Swallow);
  TcpClient asking(service->port());
  const auto asked = Clock::now();
  asking.Send(kQuery1001);
  // Meanwhile another analyzer's results are acknowledged, one after another.
  TcpClient results(service->port());
  for (int i = 0; i < 5; ++i) {
    results.Send(Oru(i));
    const std::string ack = results.ReadUntil([](const std::string& r) { return r.find(FS) != std::string::npos; });
    ASSERT_NE(ack.find("MSA|AA"), std::string::npos) << "result " << i << ": " << Repr(ack);
  }
  const auto resultsDone = Clock::now();
  const std::string reply = asking.ReadUntil(ReplyDone, 10s);
  const auto answered = Clock::now();
  EXPECT_TRUE(NotFound(reply)) << Repr(reply);
  EXPECT_LT(resultsDone, asked + std::chrono::seconds(kTimeout)) << "the results waited for the LIS";
  EXPECT_GE(answered - asked, std::chrono::seconds(kTimeout) - 200ms);
  EXPECT_LT(answered - asked, std::chrono::seconds(kTimeout + 1));
  EXPECT_TRUE(service->WaitForLog("Consulta ao LIS sem resposta (o LIS n\xE3o respondeu em 2 s): "
                                  "respondida como sem pedido"));

  // The LIS comes back (the stuck connection breaks, as when the server is restarted).
  proxy->Set(TcpProxy::Mode::Pass);
  proxy->CutAll();
  std::string again;
  ASSERT_TRUE(kvtest::WaitFor([&] { return Found(again = Ask(kQuery1001)); }, 15s)) << Repr(again);
  EXPECT_EQ(service->Stop(), 0);
}

TEST_F(LisServerFaults, ASlowLisDelaysOnlyTheQueryingAnalyzer) {
  config["timeoutLisSegundos"] = 10;
  Start();
  ASSERT_TRUE(service->WaitForLog("Banco de dados: OK"));
  proxy->Set(TcpProxy::Mode::Delay, 150ms);
  TcpClient asking(service->port());
  asking.Send(kQuery1001);
  TcpClient results(service->port());
  results.Send(Oru(1));
  const std::string ack = results.ReadUntil([](const std::string& r) { return r.find(FS) != std::string::npos; });
  EXPECT_NE(ack.find("MSA|AA"), std::string::npos);
  const std::string early = asking.ReadFor(1ms);
  EXPECT_EQ(early, "") << "the query was answered before the result was acknowledged";
  EXPECT_TRUE(Found(asking.ReadUntil(ReplyDone, 12s)));
  EXPECT_EQ(service->Stop(), 0);
}

TEST_F(LisServerFaults, ARestartedLisIsAttachedAgainForTheNextQuery) {
  Start();
  ASSERT_TRUE(service->WaitForLog("Banco de dados: OK"));
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Every worker's kept attachment is cut; the next lookup finds out and attaches anew.
    proxy->CutAll();
    const std::string reply = Ask(kQuery1001);
    EXPECT_TRUE(Found(reply)) << Repr(reply) << service->DbLogText();
  }
  EXPECT_EQ(service->Stop(), 0);
}

TEST_F(LisServerFaults, AStartUpAgainstAHungLisOpensThePortInTime) {
  proxy->Set(TcpProxy::Mode::Swallow);
  const auto started = Clock::now();
  Start();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(kTimeout + 2));
  EXPECT_TRUE(service->WaitForLog("Banco de dados: ERRO [o LIS n\xE3o respondeu em 2 s]")) << service->LogText();
  // The start-up lines keep their order: the database line before the listener's.
  const std::string log = service->LogText();  // newest first
  EXPECT_LT(log.find("Servidor ativo e ouvindo porta"), log.find("Banco de dados: ERRO"));
  EXPECT_TRUE(NotFound(Ask(kQuery1001)));
  // A stop while workers hang in the LIS ends the process in time, cleanly.
  const auto stopping = Clock::now();
  EXPECT_EQ(service->Stop(), 0);
  EXPECT_LT(Clock::now() - stopping, 5s);
}

TEST_F(LisServerFaults, AStopDuringAHungLookupEndsWithinFiveSeconds) {
  Start();
  ASSERT_TRUE(service->WaitForLog("Banco de dados: OK"));
  proxy->Set(TcpProxy::Mode::Swallow);
  TcpClient asking(service->port());
  asking.Send(kQuery1001);
  std::this_thread::sleep_for(500ms);  // the lookup is inside the LIS now
  const auto stopping = Clock::now();
  EXPECT_EQ(service->Stop(), 0);
  EXPECT_LT(Clock::now() - stopping, 5s);
  EXPECT_TRUE(service->WaitForLog("Finalizando!"));
}

}  // namespace
