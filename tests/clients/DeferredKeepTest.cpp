// A record whose result messages wait to be kept on disk (as in the service,
// where the spool is written off the service thread) gives the same replies,
// archive files and log as one that writes them at once; while a message
// waits, the record takes no input; HL7 is acknowledged only once its message
// is kept, and a message the spool refuses is answered as the design says.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "DeferredPlay.hpp"
#include "clients/TSocketClient.hpp"
#include "protocol/TLinkReceiver.hpp"
#include "support/DemoLis.hpp"
#include "support/TestSupport.hpp"

using namespace kvtest;

namespace {

using Event = TLinkReceiver::TEvent;

// What the disk does with a kept message, at once: its file, its log line.
void KeepNow(ClientEnv& env, const TKeepRequest& request) {
  const std::string path = ArchiveNow(env.archive, request.entry, [&](const std::string& nota) { env.log.make(nota); });
  env.log.make("Item salvo em " + path);
}

// The disk, as the record waits for it: every message kept (its file and
// log line) before the record hears it is.
TOutside Disk() {
  return {"the disk", [](TClientContext& c, bool deferred) { c.keepDeferred = deferred; },
          [](const TSocketClient& c) { return c.KeepPending(); },
          [](TSocketClient& client, ClientEnv& env, size_t) {
            const TKeepRequest request = client.TakeKeep();
            EXPECT_THROW(client.TakeKeep(), std::logic_error);  // handed over once
            EXPECT_TRUE(client.outputBuffer.empty()) << "a reply before the message was kept";
            KeepNow(env, request);
            client.AnswerKept(TKept{});
          }};
}

}  // namespace

TEST(DeferredKeeps, GiveWhatWritingAtOnceGivesForEveryCapture) {
  const size_t keeps = ExpectWaitingGivesWhatAtOnceGives(Disk(), [](const TPlayed& now, const TPlayed& later) {
    EXPECT_EQ(later.waits, now.files.size());  // one keep per archive file
  });
  EXPECT_GE(keeps, 20u);  // the result captures did wait
}

// What the spool refuses: HL7 is not acknowledged and its message is logged
// whole; ASTM and JSON were taken already (they wait in memory) and count.
TEST(DeferredKeeps, WhatTheSpoolRefusesOrHoldsInMemory) {
  ClientEnv env;
  FillDemoLis(env);
  TClientContext context = env.Context();
  context.keepDeferred = true;
  TSocketClient hl7("h:1", env.saida, context);
  hl7.ReadMessage(TestData("hl7/mindray_cl_oru_r01_patient_mllp.hl7"));
  ASSERT_TRUE(hl7.KeepPending());
  EXPECT_EQ(hl7.TakeKeep().whenSpoolFails, TWhenSpoolFails::Refuse);
  hl7.AnswerKept(TKept{TKeptAs::Refused, "N\xE3o foi poss\xEDvel gravar na fila /s/: No space left on device"});
  EXPECT_FALSE(hl7.KeepPending());
  EXPECT_TRUE(hl7.outputBuffer.empty());
  EXPECT_TRUE(env.LogHas("N\xE3o foi poss\xEDvel salvar informa\xE7\xF5" "es recebidas.\rErro: N\xE3o foi poss\xEDvel gravar "
                         "na fila /s/: No space left on device"))
      << env.Log();
  EXPECT_EQ(hl7.ReceptionState(), TReceptionState::Idle);

  TSocketClient astm("h:2", env.saida, context);
  TLinkReceiver link;
  for (const Event& e : link.Feed(TestData("astm/mindray_cl_result_single_frame_session.astm"), astm.inTransferPhase)) {
    if (e.kind == Event::Ack) continue;
    astm.ReadEvent(e);
    if (!astm.KeepPending()) continue;
    EXPECT_EQ(astm.TakeKeep().whenSpoolFails, TWhenSpoolFails::KeepInMemory);
    astm.AnswerKept(TKept{TKeptAs::Memory, "No space left on device"});
  }
  EXPECT_FALSE(env.LogHas("ProcessarASTM() -> Erro"));
  EXPECT_TRUE(env.LogHas("Finalizando transmiss\xE3o."));
}

// While a message waits, text that comes anyway is kept for the run after it,
// and an ENQ is not answered; a query behind it is asked after.
TEST(DeferredKeeps, InputWhileAMessageWaitsIsKeptForTheRunAfterIt) {
  ClientEnv env;
  FillDemoLis(env);
  TClientContext context = env.Context();
  context.keepDeferred = true;
  context.lookupsDeferred = true;
  TSocketClient client("h:1", env.saida, context);
  const std::string result = TestData("hl7/mindray_cl_oru_r01_patient_mllp.hl7");
  client.ReadMessage(result);
  ASSERT_TRUE(client.KeepPending());
  EXPECT_FALSE(client.QueryPending());
  EXPECT_EQ(client.ReceptionState(), TReceptionState::AwaitingOutside);
  client.ReadMessage(TestData("hl7/mindray_cl_qry_q02_by_barcode_mllp.hl7"));
  client.ReadMessage(std::string(1, ENQ));
  EXPECT_TRUE(client.outputBuffer.empty());
  EXPECT_FALSE(client.inTransferPhase);

  KeepNow(env, client.TakeKeep());
  client.AnswerKept(TKept{});
  ASSERT_EQ(client.outputBuffer.size(), 1u);  // the ACK^R01
  EXPECT_NE(client.outputBuffer.front().find("ACK^R01"), std::string::npos);
  EXPECT_TRUE(client.QueryPending());  // the query behind it now waits for the LIS
  TLisQuery q = client.TakeLisQuery();
  client.AnswerQuery(LookUpQuery(env.lis, q));
  EXPECT_EQ(client.ReceptionState(), TReceptionState::Idle);
  ASSERT_GE(client.outputBuffer.size(), 2u);
  EXPECT_NE(client.outputBuffer[1].find("QCK^Q02"), std::string::npos) << Repr(client.outputBuffer[1]);
  EXPECT_EQ(env.Files().size(), 1u);
}
