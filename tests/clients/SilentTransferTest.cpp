// A transfer that falls silent (no frame and no EOT for timeoutRecepcaoSegundos)
// ends for the link receiver and the record alike: what comes next, a new
// transfer or plain records, is handled as on a fresh connection.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ClientFixture.hpp"
#include "clients/TSocketClient.hpp"
#include "protocol/E1381.hpp"
#include "protocol/TLinkReceiver.hpp"

using namespace kvtest;

namespace {

using Event = TLinkReceiver::TEvent;

// Frame n (numbered as E1381 does: 1..7, 0, 1, ...) holding one record, with its CR LF.
std::string Frame(int n, const std::string& record) {
  return astm::EnvelopeASTM(std::to_string(n % 8) + record + "\r") + "\r\n";
}

std::vector<std::string> Records(const std::string& sample) {
  return {"H|\\^&|||XN-550^00-24|||||||P|LIS2-A2", "P|1", "O|1|" + sample + "||^^^WBC", "R|1|^^^WBC|7.5|10*3/uL",
          "L|1|N"};
}

// The records as frames 1.. (one per record), or as plain lines.
std::string Framed(const std::vector<std::string>& records) {
  std::string s;
  for (size_t i = 0; i < records.size(); ++i) s += Frame(static_cast<int>(i) + 1, records[i]);
  return s;
}
std::string Plain(const std::vector<std::string>& records) {
  std::string s;
  for (const auto& r : records) s += r + "\r";
  return s;
}

// What the archive of the records holds: framed ones keep their frame number.
std::string Archive(const std::vector<std::string>& records, bool framed) {
  std::string s;
  for (size_t i = 0; i < records.size(); ++i) s += (framed ? std::to_string(i + 1) : "") + records[i] + "\r\n";
  return s;
}

// A record driven as the connection drives it: each read through the link
// receiver with the record's transfer state, its events handed on, what the
// record queues taken as sent.
class Connection {
 public:
  explicit Connection(ClientEnv& env) : client("h:1", env.saida, env.Context()) {}

  // Feeds the stream in reads of `size` bytes (0: one read).
  void Send(const std::string& stream, size_t size = 0) {
    if (size == 0) size = stream.size();
    for (size_t from = 0; from < stream.size(); from += size) {
      for (const Event& e : link.Feed(stream.substr(from, size), client.inTransferPhase)) {
        if (e.kind == Event::Ack || e.kind == Event::Nak) continue;  // the sending side's
        if (e.kind == Event::Frame) ++frames;
        client.ReadEvent(e);
        for (const std::string& item : client.outputBuffer) {
          if (item == std::string(1, ACK))
            ++acks;
          else
            others += Repr(item) + "|";
        }
        client.outputBuffer.clear();
      }
    }
  }
  void Silence() { client.EndTransferWithoutEot("sem frame nem EOT por 1 s"); }

  TSocketClient client;
  TLinkReceiver link;
  size_t frames = 0;
  size_t acks = 0;
  std::string others;  // every other item queued
};

std::vector<std::string> Names(const ClientEnv& env) { return env.Files(); }

}  // namespace

TEST(SilentTransfer, CompleteMessageIsArchivedAndANewTransferIsHandledAsBefore) {
  for (size_t size : {size_t{0}, size_t{7}}) {
    SCOPED_TRACE("reads of " + std::to_string(size) + " bytes");
    ClientEnv env;
    Connection c(env);
    c.Send("\x05", size);
    c.Send(Framed(Records("SIL1")), size);
    // Silent after the terminator frame, and while the next frame was half sent.
    c.Send("\x02" "6H|\\^&|||XN", size);
    c.Silence();
    EXPECT_FALSE(c.client.inTransferPhase);
    EXPECT_EQ(c.client.ReceptionState(), TReceptionState::Idle);
    ASSERT_EQ(Names(env), (std::vector<std::string>{"XN-550/SIL1.astm"})) << env.Log();
    EXPECT_EQ(Repr(env.File("XN-550/SIL1.astm")), Repr(Archive(Records("SIL1"), true)));
    EXPECT_TRUE(env.LogHas("Transmiss\xE3o terminada sem EOT (sem frame nem EOT por 1 s): a mensagem completa recebida "
                           "\xE9 processada"));
    EXPECT_TRUE(env.LogHas("Finalizando transmiss\xE3o."));
    EXPECT_EQ(c.acks, 6u);  // ENQ and five frames; the half frame was never acknowledged

    // A new transfer: ENQ, its frames, EOT.
    c.acks = c.frames = 0;
    c.Send("\x05", size);
    c.Send(Framed(Records("SIL2")), size);
    c.Send("\x04", size);
    EXPECT_EQ(c.frames, 5u);
    EXPECT_EQ(c.acks, 6u);  // acknowledged as before: the ENQ and every frame
    EXPECT_EQ(c.others, "");
    ASSERT_EQ(Names(env), (std::vector<std::string>{"XN-550/SIL1.astm", "XN-550/SIL2.astm"})) << env.Log();
    EXPECT_EQ(Repr(env.File("XN-550/SIL2.astm")), Repr(Archive(Records("SIL2"), true)));
    EXPECT_EQ(env.Log().find("fora de sequ"), std::string::npos) << env.Log();
    EXPECT_EQ(env.Log().find("6H|"), std::string::npos) << "the half frame reached the record";
  }
}

TEST(SilentTransfer, IncompleteMessageIsDroppedAndPlainRecordsAfterItAreArchived) {
  for (size_t size : {size_t{0}, size_t{7}}) {
    SCOPED_TRACE("reads of " + std::to_string(size) + " bytes");
    ClientEnv env;
    Connection c(env);
    const auto before = Records("SIL3");
    c.Send("\x05", size);
    c.Send(Frame(1, before[0]) + Frame(2, before[1]), size);
    c.Send("\x02" "3O|1|SIL3||^^", size);  // silent in the middle of frame 3
    c.Silence();
    EXPECT_FALSE(c.client.inTransferPhase);
    EXPECT_TRUE(env.LogHas("Transmiss\xE3o terminada sem EOT (sem frame nem EOT por 1 s) antes do registro final; "
                           "mensagem incompleta descartada: {"));
    EXPECT_TRUE(c.client.inputBuffer.empty());

    // The analyzer goes on without E1381: plain records, no ENQ.
    c.acks = 0;
    c.Send(Plain(Records("SIL4")), size);
    EXPECT_EQ(c.acks, 0u);  // outside a transfer nothing is acknowledged
    ASSERT_EQ(Names(env), (std::vector<std::string>{"XN-550/SIL4.astm"})) << env.Log();
    EXPECT_EQ(Repr(env.File("XN-550/SIL4.astm")), Repr(Archive(Records("SIL4"), false)));
    EXPECT_TRUE(c.client.inputBuffer.empty()) << ReprLines(Lines(c.client.inputBuffer));
    EXPECT_EQ(c.link.PendingBytes(), 0u);
  }
}

// A silence outside a transfer, or a second one, changes nothing.
TEST(SilentTransfer, OutsideATransferNothingHappens) {
  ClientEnv env;
  Connection c(env);
  c.Send("H|\\^&|||XN-550^00-24|||||||P|LIS2-A2\rP|1\r");
  c.Silence();
  EXPECT_EQ(c.client.inputBuffer.size(), 2u);
  EXPECT_FALSE(env.LogHas("Transmiss\xE3o terminada sem EOT"));
  c.Send("\x05");
  c.Send(Frame(1, "H|\\^&"));
  c.Silence();
  c.Silence();
  EXPECT_EQ(env.Log().find("Transmiss\xE3o terminada sem EOT"), env.Log().rfind("Transmiss\xE3o terminada sem EOT"));
}
