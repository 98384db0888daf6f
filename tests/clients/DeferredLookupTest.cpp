// A record whose host queries wait for the LIS (as in the service, where the
// lookups run on worker threads) gives the same replies, archive files and log
// as one that asks the LIS at once; while a query waits, it takes no input,
// and a result message never waits for the LIS.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "DeferredPlay.hpp"
#include "clients/TSocketClient.hpp"
#include "protocol/Hl7.hpp"
#include "protocol/TLinkReceiver.hpp"
#include "support/DemoLis.hpp"
#include "support/TestSupport.hpp"

using namespace kvtest;

namespace {

using Event = TLinkReceiver::TEvent;

// The LIS, as the record waits for it: every query answered from the same
// fake LIS after the read that raised it, as the workers do.
TOutside Lis() {
  return {"the LIS", [](TClientContext& c, bool deferred) { c.lookupsDeferred = deferred; },
          [](const TSocketClient& c) { return c.QueryPending(); },
          [](TSocketClient& client, ClientEnv& env, size_t waits) {
            TLisQuery q = client.TakeLisQuery();
            EXPECT_TRUE(q.buscarAparelho || waits > 1) << "the first query brings the device";
            client.AnswerQuery(LookUpQuery(env.lis, q));
          }};
}

}  // namespace

TEST(DeferredLookups, GiveWhatImmediateLookupsGiveForEveryCapture) {
  EXPECT_GE(ExpectWaitingGivesWhatAtOnceGives(Lis()), 8u);  // the query captures did wait
}

TEST(DeferredLookups, AResultNeverAsksTheLisAndTheDeviceComesWithTheFirstQuery) {
  ClientEnv env;
  FillDemoLis(env);
  TClientContext context = env.Context();
  context.lookupsDeferred = true;
  TSocketClient client("h:1", env.saida, context);
  const std::string result = TestData("hl7/mindray_cl_oru_r01_patient_mllp.hl7");
  client.ReadMessage(result);
  EXPECT_FALSE(client.QueryPending());
  ASSERT_EQ(client.outputBuffer.size(), 1u);  // ACK^R01 at once
  EXPECT_EQ(client.outputBuffer[0].rfind("MSH|", 0), 0u);
  EXPECT_EQ(env.Files().size(), 1u);
  EXPECT_TRUE(env.lis.calls.empty()) << "a result message asked the LIS";

  // A result and a query in one read: the result's ACK^R01 is queued before
  // the query waits, and nothing behind the query is handled until it is answered.
  client.outputBuffer.clear();
  const std::string query = TestData("hl7/mindray_cl_qry_q02_by_barcode_mllp.hl7");
  client.ReadMessage(result + query + result);
  EXPECT_TRUE(client.QueryPending());
  EXPECT_EQ(client.outputBuffer.size(), 1u);
  EXPECT_EQ(env.Files().size(), 2u);
  TLisQuery q = client.TakeLisQuery();
  EXPECT_TRUE(q.buscarAparelho);
  EXPECT_THROW(client.TakeLisQuery(), std::logic_error);  // handed over once
  client.AnswerQuery(LookUpQuery(env.lis, q));
  EXPECT_FALSE(client.QueryPending());
  EXPECT_EQ(env.Files().size(), 3u);  // the result behind the query, after the answer
  // Looked up once, with the query (this analyzer's device is not in the LIS).
  EXPECT_EQ(env.lis.CallsOf("GetAparelhoTevarin").size(), 1u);
  EXPECT_EQ(env.lis.calls.front().lookup, "GetAparelhoTevarin");
}

TEST(DeferredLookups, NoAnswerIsAnsweredAsNoOrderAndLogged) {
  ClientEnv env;
  FillDemoLis(env);
  TClientContext context = env.Context();
  context.lookupsDeferred = true;
  TSocketClient client("h:1", env.saida, context);
  TLinkReceiver link;
  std::string replies;
  bool asked = false;
  for (const Event& e : link.Feed(TestData("astm/indiko_thermo_host_query_session.astm"), client.inTransferPhase)) {
    if (e.kind == Event::Ack) continue;
    client.ReadEvent(e);
    if (client.QueryPending()) {
      asked = true;
      // The transfer's end waits for the reply.
      EXPECT_EQ(env.Log().find("Finalizando transmiss\xE3o."), std::string::npos);
      client.TakeLisQuery();
      client.AnswerQuery(NoAnswer("o LIS n\xE3o respondeu em 5 s"));
    }
    for (const std::string& item : client.outputBuffer) replies += item;
    client.outputBuffer.clear();
  }
  ASSERT_TRUE(asked) << env.Log();
  EXPECT_TRUE(env.LogHas("Consulta ao LIS sem resposta (o LIS n\xE3o respondeu em 5 s): respondida como sem pedido"));
  EXPECT_TRUE(env.LogHas("Finalizando transmiss\xE3o."));
  EXPECT_EQ(env.Log().find("Pedido encontrado"), std::string::npos);
  EXPECT_NE(replies.find("|Y\r"), std::string::npos) << Repr(replies);  // the not-found order record
  // The device is asked again with the next query: it never arrived.
  EXPECT_TRUE(client.analisador->aparelhoTevarin == nullptr);
}

// The connection layer hands nothing on while a query waits; should it, text
// is kept for the run after the answer and an ENQ is not answered.
TEST(DeferredLookups, InputWhileAQueryWaitsIsKeptForTheRunAfterTheAnswer) {
  ClientEnv env;
  FillDemoLis(env);
  TClientContext context = env.Context();
  context.lookupsDeferred = true;
  TSocketClient client("h:1", env.saida, context);
  client.ReadMessage(TestData("hl7/mindray_cl_qry_q02_by_barcode_mllp.hl7"));
  ASSERT_TRUE(client.QueryPending());
  EXPECT_EQ(client.ReceptionState(), TReceptionState::AwaitingOutside);
  client.ReadMessage(TestData("hl7/mindray_cl_oru_r01_patient_mllp.hl7"));
  client.ReadMessage(std::string(1, ENQ));
  EXPECT_TRUE(client.outputBuffer.empty());
  EXPECT_TRUE(env.Files().empty());
  EXPECT_FALSE(client.inTransferPhase);

  TLisQuery q = client.TakeLisQuery();
  client.AnswerQuery(LookUpQuery(env.lis, q));
  EXPECT_FALSE(client.QueryPending());
  EXPECT_EQ(client.ReceptionState(), TReceptionState::Idle);
  EXPECT_EQ(env.Files().size(), 1u);  // the result that came while the query waited
  ASSERT_FALSE(client.outputBuffer.empty());
  EXPECT_NE(client.outputBuffer.front().find("QCK^Q02"), std::string::npos) << Repr(client.outputBuffer.front());
  EXPECT_NE(client.outputBuffer.back().find("ACK^R01"), std::string::npos) << Repr(client.outputBuffer.back());
}
