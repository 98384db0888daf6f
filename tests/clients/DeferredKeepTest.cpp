// A record whose result messages wait to be kept on disk (as in the service,
// where the spool is written off the service thread) gives the same replies,
// archive files and log as one that writes them at once; while a message
// waits, the record takes no input; HL7 is acknowledged only once its message
// is kept, and a message the spool refuses is answered as the design says.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ClientFixture.hpp"
#include "clients/TSocketClient.hpp"
#include "protocol/TLinkReceiver.hpp"
#include "support/DemoLis.hpp"
#include "support/TestSupport.hpp"

using namespace kvtest;

namespace {

using Event = TLinkReceiver::TEvent;

void FillLis(ClientEnv& env) {
  for (const char* d : {"XN-550", "Indiko", "BC-5380"}) demo::AddDevice(env.lis, d);
  for (const demo::Order& o : demo::Orders()) demo::AddOrder(env.lis, o.code);
}

// What the disk does with a kept message, at once: its file, its log line.
void KeepNow(ClientEnv& env, const TKeepRequest& request) {
  const std::string path = ArchiveNow(env.archive, request.entry, [&](const std::string& nota) { env.log.make(nota); });
  env.log.make("Item salvo em " + path);
}

struct Outcome {
  std::string log;
  std::string replies;
  std::vector<std::pair<std::string, std::string>> files;
  size_t keeps = 0;
};

// Plays a capture read by read; with `deferred`, every message that waits is
// kept (file and log line) before the record hears it is, as the disk does.
Outcome Play(const std::string& stream, bool deferred, size_t readSize) {
  ClientEnv env;
  FillLis(env);
  TClientContext context = env.Context();
  context.keepDeferred = deferred;
  TSocketClient client("h:1", env.saida, context);
  TLinkReceiver link;
  Outcome o;
  auto collect = [&] {
    for (const std::string& item : client.outputBuffer) o.replies += Repr(item) + "|";
    client.outputBuffer.clear();
  };
  for (size_t from = 0; from < stream.size(); from += readSize) {
    for (const Event& e : link.Feed(stream.substr(from, readSize), client.inTransferPhase)) {
      if (e.kind == Event::Ack || e.kind == Event::Nak) continue;
      EXPECT_FALSE(client.KeepPending()) << "input reached a record that waits for the disk";
      client.ReadEvent(e);
      collect();
      while (client.KeepPending()) {
        ++o.keeps;
        const TKeepRequest request = client.TakeKeep();
        EXPECT_THROW(client.TakeKeep(), std::logic_error);  // handed over once
        EXPECT_TRUE(client.outputBuffer.empty()) << "a reply before the message was kept";
        KeepNow(env, request);
        client.AnswerKept(TKept{});
        collect();
      }
    }
  }
  o.log = env.Log();
  for (const std::string& f : env.Files()) o.files.emplace_back(f, env.File(f));
  return o;
}

}  // namespace

TEST(DeferredKeeps, GiveWhatWritingAtOnceGivesForEveryCapture) {
  std::vector<std::string> captures = TestDataFiles("astm");
  for (const std::string& f : TestDataFiles("hl7")) captures.push_back(f);
  size_t keeps = 0;
  for (const std::string& path : captures) {
    const std::string stream = ReadFile(path);
    for (size_t readSize : {stream.size(), size_t{7}}) {
      SCOPED_TRACE(path + " in reads of " + std::to_string(readSize));
      const Outcome now = Play(stream, false, readSize);
      const Outcome later = Play(stream, true, readSize);
      EXPECT_EQ(later.replies, now.replies);
      EXPECT_EQ(later.files, now.files);
      EXPECT_EQ(later.log, now.log);
      EXPECT_EQ(later.keeps, now.files.size());
      keeps += later.keeps;
    }
  }
  EXPECT_GE(keeps, 20u);  // the result captures did wait
}

// What the spool refuses: HL7 is not acknowledged and its message is logged
// whole; ASTM and JSON were taken already (they wait in memory) and count.
TEST(DeferredKeeps, WhatTheSpoolRefusesOrHoldsInMemory) {
  ClientEnv env;
  FillLis(env);
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
  FillLis(env);
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
