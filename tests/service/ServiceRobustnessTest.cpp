// Abuse from the network: resets, silent and deaf clients, many idle
// connections, garbage and oversized input. The service logs it and keeps
// serving everyone else.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ServiceHarness.hpp"
#include "protocol/E1381.hpp"

using namespace kvtest;

namespace {

const std::string kAckCrLf = Expand("<ACK><CR><LF>");

class ServiceRobustness : public ServiceSuite {
 protected:
  // A well-behaved client still gets its handshake answered.
  static void ExpectServiceAnswers(const std::string& when) {
    Peer peer(svc_->port());
    peer.Send(Expand("<ENQ>"));
    EXPECT_EQ(Repr(peer.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf)) << when;
  }
  static std::string Id(const Peer& p) { return "localhost:" + std::to_string(p.LocalPort()); }
};

}  // namespace

TEST_F(ServiceRobustness, ResetMidTransferReleasesTheConnection) {
  std::string id;
  {
    Peer peer(svc_->port());
    id = Id(peer);
    ASSERT_TRUE(svc_->WaitForLog(kLogNovaConexao + id + "**"));
    peer.Send(Expand("<ENQ>"));
    ASSERT_EQ(Repr(peer.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
    peer.Send(Expand("<STX>1H|\\^&|||XN-550^1|||||||P|LIS2-A2<CR><ETX>"));  // half a frame
    ASSERT_TRUE(SendRead(*svc_, peer, "<partial"));
    peer.Reset();
  }
  // A reset ends like a close: the same line, and the record is gone.
  EXPECT_TRUE(svc_->WaitForLog(kLogConexaoEncerrada + id + "\r\n")) << Repr(svc_->LogText().substr(0, 800));
  ExpectServiceAnswers("after a reset");
}

TEST_F(ServiceRobustness, SilentAndClosedClientsAreLoggedAndReleased) {
  std::string id;
  {
    Peer silent(svc_->port());
    id = Id(silent);
    ASSERT_TRUE(svc_->WaitForLog(kLogNovaConexao + id + "**"));
  }
  EXPECT_TRUE(svc_->WaitForLog(kLogConexaoEncerrada + id + "\r\n"));
  ExpectServiceAnswers("after a silent client");
}

TEST_F(ServiceRobustness, GarbageAndNulBytesDoNotStopTheService) {
  std::mt19937 rng(4242);
  std::string garbage(64 * 1024, '\0');
  for (auto& c : garbage) c = static_cast<char>(rng() & 0xff);
  const std::vector<std::string> inputs = {
      std::string("\0\0\0\0", 4), garbage, Expand("<VT><VT><FS><CR><FS>"), Expand("<ENQ>") + garbage,
      std::string(1, '\0') + Expand("<ENQ>"), Expand("<NAK>"),
  };
  for (size_t i = 0; i < inputs.size(); ++i) {
    Peer peer(svc_->port());
    ASSERT_TRUE(SendRead(*svc_, peer, inputs[i])) << "input " << i;
    peer.Close();
    ExpectServiceAnswers("after garbage input " + std::to_string(i));
  }
}

TEST_F(ServiceRobustness, HundredsOfIdleConnections) {
  constexpr size_t kCount = 300;
  const size_t openedBefore = Count(svc_->LogText(), kLogNovaConexao);
  const size_t closedBefore = Count(svc_->LogText(), kLogConexaoEncerrada);
  std::vector<std::unique_ptr<Peer>> idle;
  for (size_t i = 0; i < kCount; ++i) idle.push_back(std::make_unique<Peer>(svc_->port()));
  ASSERT_TRUE(WaitFor([&] { return Count(svc_->LogText(), kLogNovaConexao) >= openedBefore + kCount; }, 20000ms));
  ExpectServiceAnswers("with idle connections open");
  idle.clear();
  EXPECT_TRUE(WaitFor([&] { return Count(svc_->LogText(), kLogConexaoEncerrada) >= closedBefore + kCount + 1; },
                      20000ms));
}

TEST_F(ServiceRobustness, InputOverSixteenMegabytesDisconnectsThatClientOnly) {
  struct Row {
    std::string name;
    std::string opening;  // sent before the flood
    char fill;
    int everyNth;    // the fill byte stands at every n-th position
    int mebibytes;   // how much is sent
  };
  const std::vector<Row> rows = {
      {"20 MiB without a line break", "", 'x', 64, 20},
      {"20 MiB of short lines during a transfer", Expand("<ENQ>"), '\r', 64, 20},
      // 2 MiB of bare line breaks are 2 million held lines: far more memory than 16 MiB.
      {"2 MiB of nothing but line breaks", "", '\r', 1, 2},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    Peer other(svc_->port());
    Peer flood(svc_->port());
    const std::string id = Id(flood);
    ASSERT_TRUE(svc_->WaitForLog(kLogNovaConexao + id + "**")) << "row " << i;
    if (!rows[i].opening.empty()) {
      flood.Send(rows[i].opening);
      ASSERT_EQ(Repr(flood.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf)) << "row " << i;
    }
    std::string block(1024 * 1024, 'y');
    for (size_t k = 0; k < block.size(); k += rows[i].everyNth) block[k] = rows[i].fill;
    try {
      for (int mb = 0; mb < rows[i].mebibytes; ++mb) flood.Send(block);
    } catch (const std::exception&) {
      // The service may close before everything was taken.
    }
    const std::string closedLine = kLogConexaoEncerrada + id + "\r\n";
    EXPECT_TRUE(svc_->WaitForLog(closedLine, 30000ms)) << "row " << i;
    EXPECT_TRUE(flood.WaitClosed(10000ms)) << "row " << i;
    // Every flooded chunk is logged, so the capped log may have started afresh
    // right at the close line (newest first: it is then the file's last line);
    // otherwise the bound's own line stands below it.
    const std::string log = svc_->LogText();
    const bool restartedAtClose =
        log.size() >= closedLine.size() &&
        log.compare(log.size() - closedLine.size(), closedLine.size(), closedLine) == 0;
    const bool boundLogged = log.find("Cliente " + id + " desconectado: ") != std::string::npos;
    EXPECT_TRUE(boundLogged || restartedAtClose) << "row " << i << ": " << Repr(log.substr(0, 400));
    // The other connection, open all along, still works.
    other.Send(Expand("<ENQ>"));
    EXPECT_EQ(Repr(other.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf)) << "row " << i;
  }
}

TEST_F(ServiceRobustness, ClientThatNeverReadsDoesNotHoldUpOthers) {
  Peer deaf(svc_->port(), 4096);
  deaf.Send(Expand("<ENQ>"));
  // Every chunk of a transfer is acknowledged; this client never reads them.
  for (int i = 0; i < 3000; ++i) deaf.Send(astm::EnvelopeASTM("1R|" + std::to_string(i) + "\r") + "\r\n");
  Peer fine(svc_->port());
  fine.Send(Expand("<ENQ>"));
  EXPECT_EQ(Repr(fine.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
  ASSERT_TRUE(SendRead(*svc_, fine, Expand("<STX>1H|\\^&|||A^1<CR><ETX>29<CR><LF>")));
  EXPECT_EQ(Repr(fine.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
  deaf.Reset();
  ExpectServiceAnswers("after the deaf client left");
}
