// A transfer that falls silent, over real TCP: after timeoutRecepcaoSegundos
// the service and its link layer agree that it ended, so a new transfer, or
// plain records without E1381, are handled as on a fresh connection.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ServiceHarness.hpp"
#include "protocol/E1381.hpp"

using namespace kvtest;

namespace {

const std::string kAckCrLf = "\x06\r\n";

// Frame n holding one record, with its CR LF.
std::string Frame(int n, const std::string& record) {
  return astm::EnvelopeASTM(std::to_string(n % 8) + record + "\r") + "\r\n";
}

std::vector<std::string> Records(const std::string& sample) {
  return {"H|\\^&|||XN-550^00-24|||||||P|LIS2-A2", "P|1", "O|1|" + sample + "||^^^WBC", "R|1|^^^WBC|7.5|10*3/uL",
          "L|1|N"};
}

// The archive of the records: framed ones keep their frame number.
std::string Archive(const std::vector<std::string>& records, bool framed) {
  std::string s;
  for (size_t i = 0; i < records.size(); ++i) s += (framed ? std::to_string(i + 1) : "") + records[i] + "\r\n";
  return s;
}

// A service whose transfers end after one silent second.
class ServiceSilentTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    auto config = ServiceConfig(dir_.path());
    config["timeoutRecepcaoSegundos"] = 1;
    svc_ = std::make_unique<ServiceProcess>(dir_.path() + "/svc", config);
    ASSERT_TRUE(svc_->WaitListening());
  }
  void TearDown() override { EXPECT_EQ(svc_->Stop(), 0); }

  std::string Path(const std::string& sample) const { return dir_.path() + "/saida/XN-550/" + sample + ".astm"; }
  std::string WaitArchive(const std::string& sample) const {
    WaitFor([&] { return FileExists(Path(sample)); });
    return ReadFile(Path(sample));
  }
  // Sends each text and expects one ACK for it.
  static void SendAcknowledged(Peer& peer, const std::vector<std::string>& texts) {
    for (const std::string& t : texts) {
      peer.Send(t);
      ASSERT_EQ(Repr(peer.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf)) << Repr(t);
    }
  }
  static std::vector<std::string> Frames(const std::vector<std::string>& records, size_t count) {
    std::vector<std::string> frames;
    for (size_t i = 0; i < count; ++i) frames.push_back(Frame(static_cast<int>(i) + 1, records[i]));
    return frames;
  }

  TempDir dir_;
  std::unique_ptr<ServiceProcess> svc_;
};

}  // namespace

TEST_F(ServiceSilentTransfer, CompleteMessageIsArchivedThenANewTransferIsArchivedOnce) {
  Peer peer(svc_->port());
  SendAcknowledged(peer, {"\x05"});
  SendAcknowledged(peer, Frames(Records("SIL1"), 5));
  peer.Send("\x02" "6H|\\^&|||XN");  // the next frame, half sent: never acknowledged
  EXPECT_EQ(Repr(WaitArchive("SIL1")), Repr(Archive(Records("SIL1"), true)));
  ASSERT_TRUE(svc_->WaitForLog("Transmiss\xE3o terminada sem EOT (sem frame nem EOT por 1 s): a mensagem completa"));

  // The analyzer starts over: ENQ, its frames and EOT, each acknowledged as before.
  SendAcknowledged(peer, {"\x05"});
  SendAcknowledged(peer, Frames(Records("SIL2"), 5));
  ASSERT_TRUE(SendEot(*svc_, peer));
  EXPECT_EQ(Repr(WaitArchive("SIL2")), Repr(Archive(Records("SIL2"), true)));
  EXPECT_EQ(Repr(peer.ReadFor(200ms)), "");  // nothing more than the ACKs
  const auto files = ArchiveFiles(dir_.path() + "/saida");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].first, "XN-550/SIL1.astm");
  EXPECT_EQ(files[1].first, "XN-550/SIL2.astm");
  EXPECT_EQ(svc_->LogText().find("fora de sequ"), std::string::npos);
}

TEST_F(ServiceSilentTransfer, IncompleteMessageIsDroppedThenPlainRecordsAreArchived) {
  Peer peer(svc_->port());
  SendAcknowledged(peer, {"\x05"});
  SendAcknowledged(peer, Frames(Records("SIL3"), 2));
  peer.Send("\x02" "3O|1|SIL3||^^");  // silent in the middle of frame 3
  ASSERT_TRUE(svc_->WaitForLog("mensagem incompleta descartada: {"));

  // The analyzer goes on with plain records, without ENQ.
  std::string plain;
  for (const std::string& r : Records("SIL4")) plain += r + "\r";
  peer.Send(plain);
  EXPECT_EQ(Repr(WaitArchive("SIL4")), Repr(Archive(Records("SIL4"), false)));
  EXPECT_EQ(Repr(peer.ReadFor(200ms)), "");  // outside a transfer nothing is acknowledged
  EXPECT_FALSE(FileExists(Path("SIL3")));
}
