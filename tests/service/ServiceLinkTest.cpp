// The E1381 link layer end to end, over real TCP: checksums refused with NAK,
// repeated frames stored once, EOT and ENQ in one read, NAK on our reply
// frames, and single-byte control characters on request.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ServiceHarness.hpp"
#include "protocol/E1381.hpp"

using namespace kvtest;

namespace {

class ServiceLink : public ServiceSuite {};

const std::string kAckCrLf = "\x06\r\n";
const std::string kNakCrLf = "\x15\r\n";

// Frame n (numbered as E1381 does, 1..7, 0, 1, ...) holding one record, with its CR LF.
std::string Frame(int n, const std::string& record) {
  return astm::EnvelopeASTM(std::to_string(n % 8) + record + "\r") + "\r\n";
}

std::vector<std::string> ResultRecords(const std::string& sample) {
  return {"H|\\^&|||XN-550^00-24|||||||P|LIS2-A2", "P|1", "O|1|" + sample + "||^^^WBC",
          "R|1|^^^WBC|7.5|10*3/uL", "L|1|N"};
}

// What the archive of ResultRecords(sample) holds.
std::string ResultArchive(const std::string& sample) {
  std::string out;
  const auto records = ResultRecords(sample);
  for (size_t i = 0; i < records.size(); ++i) out += std::to_string(i + 1) + records[i] + "\r\n";
  return out;
}

std::string WaitArchive(const std::string& path) {
  WaitFor([&] { return FileExists(path); });
  return ReadFile(path);
}

// Sends each text and expects `answer` for it.
void SendExpecting(Peer& peer, const std::vector<std::string>& texts, const std::string& answer) {
  for (const std::string& t : texts) {
    peer.Send(t);
    ASSERT_EQ(Repr(peer.ReadUntilEndsWith(answer)), Repr(answer)) << Repr(t);
  }
}

}  // namespace

TEST_F(ServiceLink, BadChecksumIsRefusedAndTheResentFrameArchivedOnce) {
  Peer peer(svc_->port());
  SendExpecting(peer, {"\x05"}, kAckCrLf);
  const auto records = ResultRecords("LNK1");
  std::string damaged = Frame(1, records[0]);
  damaged.replace(damaged.find("00-24"), 5, "00-25");  // a digit flipped on the line, checksum as sent
  SendExpecting(peer, {damaged}, kNakCrLf);
  for (size_t i = 0; i < records.size(); ++i) SendExpecting(peer, {Frame(static_cast<int>(i) + 1, records[i])}, kAckCrLf);
  ASSERT_TRUE(SendEot(*svc_, peer));
  EXPECT_EQ(Repr(WaitArchive(Saida() + "/XN-550/LNK1.astm")), Repr(ResultArchive("LNK1")));
  EXPECT_TRUE(svc_->WaitForLog("Frame 1 com checksum inv\xE1lido"));
  EXPECT_EQ(Count(svc_->LogText(), "00-25"), 1u);  // only in the read's own log line, never stored
}

TEST_F(ServiceLink, FrameRepeatedAfterALostAckIsStoredOnce) {
  Peer peer(svc_->port());
  SendExpecting(peer, {"\x05"}, kAckCrLf);
  const auto records = ResultRecords("LNK2");
  std::vector<std::string> frames;
  for (size_t i = 0; i < records.size(); ++i) frames.push_back(Frame(static_cast<int>(i) + 1, records[i]));
  frames.insert(frames.begin() + 2, frames[1]);  // the P frame again: our ACK did not arrive
  SendExpecting(peer, frames, kAckCrLf);
  ASSERT_TRUE(SendEot(*svc_, peer));
  EXPECT_EQ(Repr(WaitArchive(Saida() + "/XN-550/LNK2.astm")), Repr(ResultArchive("LNK2")));
  EXPECT_TRUE(svc_->WaitForLog("Frame 2 repetido"));
}

TEST_F(ServiceLink, EotAndTheNextEnqInOneReadGiveTwoCleanArchives) {
  Peer peer(svc_->port());
  SendExpecting(peer, {"\x05"}, kAckCrLf);
  for (const std::string& sample : {std::string("LNK3"), std::string("LNK4")}) {
    const auto records = ResultRecords(sample);
    for (size_t i = 0; i < records.size(); ++i) SendExpecting(peer, {Frame(static_cast<int>(i) + 1, records[i])}, kAckCrLf);
    if (sample == "LNK3") SendExpecting(peer, {"\x04\x05"}, kAckCrLf);  // as most analyzers send them
  }
  ASSERT_TRUE(SendEot(*svc_, peer));
  for (const std::string& sample : {std::string("LNK3"), std::string("LNK4")}) {
    const std::string text = WaitArchive(Saida() + "/XN-550/" + sample + ".astm");
    EXPECT_EQ(Repr(text), Repr(ResultArchive(sample)));
    for (const char c : text) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 && c != '\r' && c != '\n') << Repr(text);
  }
}

TEST_F(ServiceLink, NakOnAReplyFrameSendsItAgainAndSixEndTheTransfer) {
  Peer peer(svc_->port());
  SendExpecting(peer, {"\x05"}, kAckCrLf);
  SendExpecting(peer,
                {Frame(1, "H|\\^&|||XN-550^1|||||||P|LIS2-A2"), Frame(2, "Q|1|^1001||^^^ALL||20260109094500|||||||O"),
                 Frame(3, "L|1|N")},
                kAckCrLf);
  peer.Send("\x04");
  ASSERT_EQ(Repr(peer.ReadUntilEndsWith("\x05\r\n")), Repr("\x05\r\n"));
  peer.Send("\x06");
  const std::string first = peer.ReadUntilEndsWith("\r\n");
  ASSERT_EQ(first.substr(0, 2), "\x02" "1") << Repr(first);
  peer.Send("\x15");  // received damaged: the same frame again
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith("\r\n")), Repr(first));
  peer.Send("\x06");
  const std::string second = peer.ReadUntilEndsWith("\r\n");
  ASSERT_EQ(second.substr(0, 2), "\x02" "2") << Repr(second);
  for (int send = 2; send <= 6; ++send) {
    peer.Send("\x15");
    EXPECT_EQ(Repr(peer.ReadUntilEndsWith("\r\n")), Repr(second)) << "send " << send;
  }
  peer.Send("\x15");  // the sixth refusal of the same frame: the service gives up
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith("\x04\r\n")), Repr("\x04\r\n"));
  EXPECT_TRUE(svc_->WaitForLog("NAK do analisador 6 vezes"));
}

// An analyzer that answers each item with ACK CR LF (as we answer its frames)
// gets one item per answer: the CR LF behind the ACK is no second one.
TEST_F(ServiceLink, AckFollowedByCrLfReleasesOneItem) {
  Peer peer(svc_->port());
  SendExpecting(peer, {"\x05"}, kAckCrLf);
  SendExpecting(peer,
                {Frame(1, "H|\\^&|||XN-550^1|||||||P|LIS2-A2"), Frame(2, "Q|1|^1002||^^^ALL||20260109094500|||||||O"),
                 Frame(3, "L|1|N")},
                kAckCrLf);
  peer.Send("\x04");
  ASSERT_EQ(Repr(peer.ReadUntilEndsWith("\x05\r\n")), Repr("\x05\r\n"));
  std::string item;
  for (int n = 1; item != "\x04\r\n"; ++n) {
    ASSERT_LE(n, 8) << "no EOT after the reply's frames";
    peer.Send(kAckCrLf);
    item = peer.ReadUntilEndsWith("\r\n");
    if (item == "\x04\r\n") break;
    EXPECT_EQ(Count(item, "\x02"), 1u) << "answer " << n << ": " << Repr(item);
    EXPECT_EQ(item.substr(0, 2), "\x02" + std::to_string(n)) << Repr(item);
  }
  peer.Send(kAckCrLf);  // after our EOT: a bare EOT, and nothing for the CR LF
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith("\x04")), Repr("\x04"));
  EXPECT_EQ(Repr(peer.ReadFor(200ms)), "");
}

TEST(ServiceLinkOptions, ControlCharactersWithoutCrLfOnRequest) {
  TempDir dir;
  auto config = ServiceConfig(dir.path());
  config["controleSemCRLF"] = true;
  ServiceProcess svc(dir.path() + "/svc", config);
  ASSERT_TRUE(svc.WaitListening());
  Peer peer(svc.port());
  const std::vector<std::string> query = {Frame(1, "H|\\^&|||XN-550^1|||||||P|LIS2-A2"),
                                          Frame(2, "Q|1|^4242||^^^ALL||20260109094500|||||||O"), Frame(3, "L|1|N")};
  peer.Send("\x05");
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith("\x06")), Repr("\x06"));
  for (const std::string& f : query) {
    peer.Send(f);
    EXPECT_EQ(Repr(peer.ReadUntilEndsWith("\x06")), Repr("\x06"));  // one byte, no CR LF behind it
  }
  EXPECT_EQ(Repr(peer.ReadFor(100ms)), "");
  peer.Send("\x04");
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith("\x05")), Repr("\x05"));
  std::string frames;
  for (int i = 0; i < 4; ++i) {
    peer.Send("\x06");
    const std::string f = peer.ReadUntilEndsWith("\r\n");
    EXPECT_EQ(f.substr(0, 2), std::string("\x02") + std::to_string(i + 1)) << Repr(f);  // frames keep their CR LF
    frames += f;
  }
  peer.Send("\x06");
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith("\x04")), Repr("\x04"));
  EXPECT_EQ(Repr(peer.ReadFor(100ms)), "");
  EXPECT_NE(frames.find("4242"), std::string::npos) << Repr(frames);
  EXPECT_EQ(svc.Stop(), 0);
}

TEST_F(ServiceLink, ConnectionClosedAfterTheTerminatorFrameStillArchives) {
  {
    Peer peer(svc_->port());
    SendExpecting(peer, {"\x05"}, kAckCrLf);
    const auto records = ResultRecords("LNK5");
    for (size_t i = 0; i < records.size(); ++i) SendExpecting(peer, {Frame(static_cast<int>(i) + 1, records[i])}, kAckCrLf);
  }  // closed before its EOT: every frame was acknowledged
  EXPECT_EQ(Repr(WaitArchive(Saida() + "/XN-550/LNK5.astm")), Repr(ResultArchive("LNK5")));
  EXPECT_TRUE(svc_->WaitForLog("Transmiss\xE3o terminada sem EOT (conex\xE3o encerrada)"));
}

// A service whose link timers run out after one second.
class ServiceLinkTimers : public ::testing::Test {
 protected:
  void SetUp() override {
    auto config = ServiceConfig(dir_.path());
    config["timeoutRecepcaoSegundos"] = 1;
    config["timeoutRespostaSegundos"] = 1;
    svc_ = std::make_unique<ServiceProcess>(dir_.path() + "/svc", config);
    ASSERT_TRUE(svc_->WaitListening());
  }
  void TearDown() override { EXPECT_EQ(svc_->Stop(), 0); }
  std::string Saida() const { return dir_.path() + "/saida"; }

  TempDir dir_;
  std::unique_ptr<ServiceProcess> svc_;
};

TEST_F(ServiceLinkTimers, SilentTransferEndsCompleteMessagesAreArchivedIncompleteOnesLogged) {
  struct Row {
    std::string sample;
    size_t frames;  // of the five records, how many are sent
    bool archived;
  } rows[] = {{"LNK6", 5, true}, {"LNK7", 2, false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.sample);
    Peer peer(svc_->port());
    SendExpecting(peer, {"\x05"}, kAckCrLf);
    const auto records = ResultRecords(r.sample);
    for (size_t i = 0; i < r.frames; ++i) SendExpecting(peer, {Frame(static_cast<int>(i) + 1, records[i])}, kAckCrLf);
    // No frame and no EOT from here on.
    if (r.archived) {
      EXPECT_EQ(Repr(WaitArchive(Saida() + "/XN-550/" + r.sample + ".astm")), Repr(ResultArchive(r.sample)));
    } else {
      ASSERT_TRUE(svc_->WaitForLog("mensagem incompleta descartada: {"));
      const std::string log = svc_->LogText();
      EXPECT_NE(log.find("2P|1"), std::string::npos);  // the dropped text is in the log
      EXPECT_FALSE(FileExists(Saida() + "/XN-550/" + r.sample + ".astm"));
    }
  }
}

TEST_F(ServiceLinkTimers, AnalyzerThatDoesNotAnswerEndsOurTransfer) {
  Peer peer(svc_->port());
  SendExpecting(peer, {"\x05"}, kAckCrLf);
  SendExpecting(peer,
                {Frame(1, "H|\\^&|||XN-550^1|||||||P|LIS2-A2"), Frame(2, "Q|1|^4242||^^^ALL||20260109094500|||||||O"),
                 Frame(3, "L|1|N")},
                kAckCrLf);
  peer.Send("\x04");
  ASSERT_EQ(Repr(peer.ReadUntilEndsWith("\x05\r\n")), Repr("\x05\r\n"));
  peer.Send("\x06");
  ASSERT_EQ(peer.ReadUntilEndsWith("\r\n").substr(0, 2), "\x02" "1");
  // No answer to frame 1: after a second the service ends its transfer.
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith("\x04\r\n", 5000ms)), Repr("\x04\r\n"));
  EXPECT_TRUE(svc_->WaitForLog("Analisador sem resposta por 1 s"));
}

// A query whose transfer falls silent after its terminator record is answered
// as after its EOT: the silence's timer hands it to the LIS workers.
TEST_F(ServiceLinkTimers, SilentTransferWithACompleteQueryIsAnswered) {
  Peer peer(svc_->port());
  SendExpecting(peer, {"\x05"}, kAckCrLf);
  SendExpecting(peer,
                {Frame(1, "H|\\^&|||XN-550^1|||||||P|LIS2-A2"), Frame(2, "Q|1|^4243||^^^ALL||20260109094500|||||||O"),
                 Frame(3, "L|1|N")},
                kAckCrLf);
  // No EOT: after a second the service ends the transfer and replies.
  ASSERT_EQ(Repr(peer.ReadUntilEndsWith("\x05\r\n", 5000ms)), Repr("\x05\r\n"));
  std::string frames;
  for (int i = 0; i < 4; ++i) {
    peer.Send("\x06");
    frames += peer.ReadUntilEndsWith("\r\n");
  }
  EXPECT_NE(frames.find("4243"), std::string::npos) << Repr(frames);
  EXPECT_TRUE(svc_->WaitForLog("Transmiss\xE3o terminada sem EOT (sem frame nem EOT por 1 s)"));
}
