// Bytes on the wire: the ASTM handshake, frame-to-frame and block sending,
// client ids, and connections that go on independently.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ServiceHarness.hpp"
#include "clients/ClientFixture.hpp"

using namespace kvtest;

namespace {

const std::string kAckCrLf = Expand("<ACK><CR><LF>");

// One service with the demo LIS database for the whole suite.
class ServiceConnection : public ServiceSuite {};

// Sends a capture the way the analyzer does: each chunk, waiting for the
// ACK CR LF of each ENQ and frame; answers everything received.
std::string SendSession(Peer& peer, const std::string& capture) {
  std::string received;
  for (const std::string& chunk : SessionChunks(capture)) {
    peer.Send(chunk);
    if (chunk != std::string(1, EOT)) received += peer.ReadUntilEndsWith(kAckCrLf);
  }
  return received;
}

}  // namespace

TEST_F(ServiceConnection, FrameWithoutQueryGetsTwoAcksThenBareEotOnAck) {
  Peer peer(svc_->port());
  peer.Send(Expand("<ENQ>"));
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
  peer.Send(Expand("<STX>1H|\\^&|||Nothing^1|||||||P|LIS2-A2<CR><ETX>A9<CR><LF>"));
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
  ASSERT_TRUE(SendEot(*svc_, peer));
  // A lone ACK afterwards with nothing queued: one bare EOT, nothing before it.
  peer.Send(Expand("<ACK>"));
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith(Expand("<EOT>"))), Repr(Expand("<EOT>")));
}

TEST_F(ServiceConnection, HostQueryAnsweredOneItemPerAck) {
  Peer peer(svc_->port());
  const std::string acks = SendSession(peer, TestData("astm/indiko_thermo_host_query_session.astm"));
  EXPECT_EQ(Repr(acks), Repr(kAckCrLf + kAckCrLf + kAckCrLf + kAckCrLf));
  // Right after the EOT: ENQ CR LF, without any ACK from us.
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith(Expand("<ENQ><CR><LF>"))), Repr(Expand("<ENQ><CR><LF>")));
  std::vector<std::string> frames;
  for (int i = 0; i < 20; ++i) {
    peer.Send(Expand("<ACK>"));
    const std::string item = peer.ReadUntilEndsWith(Expand("<CR><LF>"));
    ASSERT_FALSE(item.empty()) << "item " << i;
    if (item == Expand("<EOT><CR><LF>")) break;
    frames.push_back(item);
  }
  ASSERT_GE(frames.size(), 3u);
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::string& f = frames[i];
    EXPECT_EQ(f[0], STX) << "frame " << i << ": " << Repr(f);
    // STX, frame text, ETX, two checksum characters, then CR LF added by the sender.
    ASSERT_GE(f.size(), 6u);
    EXPECT_EQ(f[f.size() - 5], ETX) << "frame " << i << ": " << Repr(f);
  }
  EXPECT_NE(frames.front().find("H|"), std::string::npos) << Repr(frames.front());
  EXPECT_NE(frames.back().find("L|"), std::string::npos) << Repr(frames.back());
  // One ACK more: a bare EOT.
  peer.Send(Expand("<ACK>"));
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith(Expand("<EOT>"))), Repr(Expand("<EOT>")));
}

TEST_F(ServiceConnection, Hl7QueryGetsTwoTransmissionsAndNeverTheSeparator) {
  Peer peer(svc_->port());
  // A query for an order of the demo LIS from an analyzer the configuration knows.
  peer.Send(Expand("<VT>MSH|^~\\&|BC-5380|Mindray|||20120508104700||QRY^Q02|4|P|2.3.1||||||ASCII|||<CR>"
                   "QRD|20120508104700|R|D|1|||RD|1001|OTH|||T|<CR>"
                   "QRF||||||RCT|COR|ALL||<CR><FS><CR>"));
  const auto twoMessages = [](const std::string& r) { return Count(r, Expand("<FS><CR>")) >= 2; };
  const std::string got = peer.ReadUntil(twoMessages);
  ASSERT_TRUE(twoMessages(got)) << Repr(got);
  EXPECT_EQ(got.find("LINHA SEPARADORA"), std::string::npos);
  EXPECT_EQ(got[0], VT) << Repr(got);
  const size_t firstEnd = got.find(Expand("<FS><CR>"));
  EXPECT_EQ(got[firstEnd + 2], VT) << Repr(got);
  EXPECT_EQ(got.substr(got.size() - 2), Expand("<FS><CR>"));
  EXPECT_NE(got.find("QCK^Q02"), std::string::npos) << Repr(got);
  EXPECT_NE(got.find("DSR^Q03"), std::string::npos) << Repr(got);
  // No CR LF appended and no EOT in block mode.
  EXPECT_EQ(got.find(EOT), std::string::npos);
  // A lone ACK in block mode with an empty queue: nothing at all.
  peer.Send(Expand("<ACK>"));
  EXPECT_EQ(Repr(peer.ReadFor(150ms)), "");
}

TEST_F(ServiceConnection, AckWithOtherCharactersIsText) {
  Peer peer(svc_->port());
  peer.Send(Expand("<ENQ>"));
  ASSERT_EQ(Repr(peer.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
  // During a transfer every chunk is acknowledged: this one is text, not an ACK.
  peer.Send(Expand("<ACK>X"));
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
  ASSERT_TRUE(SendEot(*svc_, peer));
  peer.Send(Expand("<ACK>"));
  EXPECT_EQ(Repr(peer.ReadUntilEndsWith(Expand("<EOT>"))), Repr(Expand("<EOT>")));
}

TEST_F(ServiceConnection, EachConnectionHasItsOwnIdAndRecord) {
  Peer a(svc_->port());
  Peer b(svc_->port());
  const std::string idA = ":" + std::to_string(a.LocalPort()) + "**";
  const std::string idB = ":" + std::to_string(b.LocalPort()) + "**";
  ASSERT_TRUE(svc_->WaitForLog(idA));
  ASSERT_TRUE(svc_->WaitForLog(idB));
  // Interleaved transfers: each side's ACKs and state stay its own.
  a.Send(Expand("<ENQ>"));
  ASSERT_EQ(Repr(a.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
  b.Send("H|plain text, no transfer\r");
  a.Send(Expand("<STX>1H|\\^&|||A^1<CR><ETX>29<CR><LF>"));
  EXPECT_EQ(Repr(a.ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
  ASSERT_TRUE(SendEot(*svc_, a));
  a.Send(Expand("<ACK>"));
  EXPECT_EQ(Repr(a.ReadUntilEndsWith(Expand("<EOT>"))), Repr(Expand("<EOT>")));
  // b never used ENQ: block mode, an ACK with an empty queue gets nothing.
  b.Send(Expand("<ACK>"));
  EXPECT_EQ(Repr(b.ReadFor(100ms)), "");
  // The log names the host and port of each ("%s:%d").
  const std::string log = svc_->LogText();
  const size_t at = log.find(kLogNovaConexao);
  ASSERT_NE(at, std::string::npos);
  a.Close();
  b.Close();
  EXPECT_TRUE(svc_->WaitForLog(kLogConexaoEncerrada + "localhost:" + std::to_string(a.LocalPort())) ||
              svc_->WaitForLog(kLogConexaoEncerrada + ":" + std::to_string(a.LocalPort())));
  EXPECT_TRUE(svc_->WaitForLog(":" + std::to_string(b.LocalPort()) + "\r\n"));
}

TEST_F(ServiceConnection, ReadLoggedWithIdAndChunk) {
  Peer peer(svc_->port());
  ASSERT_TRUE(svc_->WaitForLog(":" + std::to_string(peer.LocalPort()) + "**"));
  peer.Send("hello\x01world");
  const std::string id = ":" + std::to_string(peer.LocalPort()) + "] \rhello\x01world";
  EXPECT_TRUE(svc_->WaitForLog(id)) << Repr(svc_->LogText().substr(0, 600));
  EXPECT_NE(svc_->LogText().find("Nova mensagem: ["), std::string::npos);
}

TEST_F(ServiceConnection, BlockModeWrapsByTheHeadersFraming) {
  struct Row {
    std::string name;
    std::string request;  // sent as one write, without ENQ
    std::string start;    // every transmission begins with it ("" = bare)
    std::string end;      // and ends with it
    std::vector<std::string> expected;  // texts that must appear in the reply
  };
  const std::vector<Row> rows = {
      {"HL7 order whose header has no VT: the reply bare",
       "MSH|^~\\&|BC-5380|Mindray|||20190504060725||ORM^O01|389|P|2.3.1||||||UNICODE\r"
       "ORC|RF||1001||IP\r\x1c\r",  // FS ends the block; the header has no VT
       "MSH|", "\r", {"ORR^O02"}},
      {"ASTM framed without ENQ: one whole frame, sent as queued",
       Expand("<STX>1H|\\^&|||Indiko^1|||||||P|LIS2-A2<CR><ETX>00<CR><LF>"
              "<STX>2Q|1|^2240801237^^||^^^ALL^||||||||O<CR><ETX>00<CR><LF>"
              "<STX>3L|1|N<CR><ETX>00<CR><LF>"),
       std::string(1, STX), "", {"H|", "L|1|N\r\x03"}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    Peer peer(svc_->port());
    peer.Send(rows[i].request);
    const auto complete = [&](const std::string& r) {
      for (const auto& e : rows[i].expected)
        if (r.find(e) == std::string::npos) return false;
      return r.size() >= rows[i].end.size() && r.compare(r.size() - rows[i].end.size(), rows[i].end.size(), rows[i].end) == 0;
    };
    const std::string got = peer.ReadUntil(complete);
    ASSERT_TRUE(complete(got)) << "row " << i << " (" << rows[i].name << "): " << Repr(got);
    EXPECT_EQ(got.rfind(rows[i].start, 0), 0u) << "row " << i << ": " << Repr(got);
    EXPECT_EQ(got.find("LINHA SEPARADORA"), std::string::npos) << "row " << i;
    EXPECT_EQ(got.find(EOT), std::string::npos) << "row " << i;
    EXPECT_EQ(got.find("\r\n"), std::string::npos) << "no CR LF is added in block mode, row " << i;
    if (rows[i].start == std::string(1, STX)) {
      // One frame: a single STX, ETX, and the checksum of everything between them.
      const std::string frame = peer.ReadUntil([&](const std::string& r) { return r.size() >= 2; }, 200ms);
      const std::string whole = got + frame;
      EXPECT_EQ(std::count(whole.begin(), whole.end(), STX), 1) << "row " << i << ": " << Repr(whole);
      const size_t etx = whole.find(ETX);
      ASSERT_NE(etx, std::string::npos);
      ASSERT_EQ(whole.size(), etx + 3) << "row " << i << ": " << Repr(whole);
      unsigned sum = 0;
      for (size_t k = 1; k <= etx; ++k) sum += static_cast<unsigned char>(whole[k]);
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", sum % 256);
      EXPECT_EQ(whole.substr(etx + 1), hex) << "row " << i;
    }
    if (rows[i].start.empty() || rows[i].start == "MSH|") {
      EXPECT_EQ(got.find(VT), std::string::npos) << "row " << i;
      EXPECT_EQ(got.find(FS), std::string::npos) << "row " << i;
    }
  }
}

TEST_F(ServiceConnection, PeerThatClosesItsSideStillGetsTheQueuedReply) {
  Peer peer(svc_->port());
  ASSERT_TRUE(svc_->WaitForLog(":" + std::to_string(peer.LocalPort()) + "**"));
  peer.Send(Expand("<VT>MSH|^~\\&|BC-5380|Mindray|||20120508104700||QRY^Q02|7|P|2.3.1||||||ASCII|||<CR>"
                   "QRD|20120508104700|R|D|1|||RD|1001|OTH|||T|<CR>"
                   "QRF||||||RCT|COR|ALL||<CR><FS><CR>"));
  peer.ShutdownWrite();
  const auto twoMessages = [](const std::string& r) { return Count(r, Expand("<FS><CR>")) >= 2; };
  const std::string got = peer.ReadUntil(twoMessages);
  EXPECT_TRUE(twoMessages(got)) << Repr(got);
  EXPECT_TRUE(peer.WaitClosed());
  EXPECT_TRUE(svc_->WaitForLog(kLogConexaoEncerrada + "localhost:" + std::to_string(peer.LocalPort()) + "\r\n"));
}
