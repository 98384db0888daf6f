// The real service over TCP: an analyzer asks for orders and sends results,
// with and without the E1381 handshake, whole and in random pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "clients/AstmFixture.hpp"
#include "protocol/Astm.hpp"
#include "support/LisDatabase.hpp"
#include "support/ServiceProcess.hpp"
#include "support/TestSupport.hpp"

using astmtest::ExpectedArchive;
using astmtest::FrameChunks;
using kvtest::Repr;
using kvtest::TcpClient;

namespace {

const std::string CRs = "\r";
const std::string CRLF = "\r\n";
const std::string ACKs(1, ACK);
const std::string INDIKO_H = "H|\\^&|||1^Analyzer 1^7.0|||||||P||20240804232655";
const std::string QUERY = "Q|1|^2240801237^^||^^^ALL^||||||||O";

// The found reply's records for sample 2240801237 (demo order 3) on the Indiko.
const std::vector<std::string> REPLY = {
    "H|\\^&|||||||||||",
    "P|1|||3|^Ant\xf4nio^Albuquerque||19480229|M|||||^Dr. Ant\xf4nio Prado||||||||||||Interna\xe7\xe3o",
    "O|1|^2240801237^^||^^^^CREA\\^^^^GLU\\^^^^UREA||2024080423500|||||N||||||||||||||Q", "L|1|N"};

std::string Frame(int n, const std::string& rec) {
  std::string body = std::to_string(n % 8) + rec + CRs + ETX;
  return STX + body + astm::GetCheckSumASTM(body) + CRLF;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

size_t Count(const std::string& s, char c) { return static_cast<size_t>(std::count(s.begin(), s.end(), c)); }

// A service in a temp folder with its own copy of the demo LIS and an Indiko configured.
class AstmService : public ::testing::Test {
 protected:
  void SetUp() override {
    TMyDBInfo db = kvtest::CreateLisDatabase(tmp / "db");
    saida = tmp / "svc/saida/";
    nlohmann::json cfg = {
        {"pastaSaida", saida},
        {"debug", false},
        {"analisadores",
         nlohmann::json::array({{{"aplicacao", "Indiko"}, {"modelo", "1"}, {"nomeTevarin", "Indiko"},
                                 {"exames", nlohmann::json::array()}}})},
        {"server", ""},
        {"database", db.database},
        {"user", db.user},
        {"password", db.password}};
    svc = std::make_unique<kvtest::ServiceProcess>(tmp / "svc", cfg);
    ASSERT_TRUE(svc->WaitListening()) << svc->LogText();
  }
  void TearDown() override {
    if (svc) svc->Stop();
  }

  // Sends a chunk and waits for exactly ACK CR LF.
  void SendExpectAck(TcpClient& c, const std::string& chunk) {
    c.Send(chunk);
    EXPECT_EQ(Repr(c.ReadBytes(3)), "<ACK><CR><LF>") << "after " << Repr(chunk.substr(0, 40));
  }

  // Reads one reply item followed by CR LF.
  std::string ReadItem(TcpClient& c) {
    return c.ReadUntil([](const std::string& r) { return EndsWith(r, CRLF); });
  }

  // Finished archive files (a file being written has another name until it is complete).
  std::vector<std::string> Archives() const {
    std::vector<std::string> out;
    for (const auto& f : kvtest::ListFiles(saida))
      if (EndsWith(f, ".astm")) out.push_back(f);
    return out;
  }
  size_t FileCount() const { return kvtest::ListArchiveFiles(saida).size(); }

  kvtest::TempDir tmp;
  std::string saida;
  std::unique_ptr<kvtest::ServiceProcess> svc;
};

}  // namespace

TEST_F(AstmService, QueryWithEnqGetsEnqFourFramesAndEotOnePerAck) {
  TcpClient c(svc->port());
  SendExpectAck(c, std::string(1, ENQ));
  SendExpectAck(c, Frame(1, INDIKO_H));
  SendExpectAck(c, Frame(2, QUERY));
  SendExpectAck(c, Frame(3, "L|1|N"));
  c.Send(std::string(1, EOT));
  EXPECT_EQ(Repr(ReadItem(c)), "<ENQ><CR><LF>");
  for (int i = 0; i < 4; ++i) {
    c.Send(ACKs);
    EXPECT_EQ(Repr(ReadItem(c)), Repr(astm::EnvelopeASTM(std::to_string(i + 1) + REPLY[i] + CRs) + CRLF))
        << "frame " << i + 1;
  }
  c.Send(ACKs);
  EXPECT_EQ(Repr(ReadItem(c)), "<EOT><CR><LF>");
  c.Send(ACKs);
  EXPECT_EQ(Repr(c.ReadBytes(1)), "<EOT>");
  EXPECT_EQ(FileCount(), 0u);
  EXPECT_TRUE(svc->WaitForLog("ASTM: Pedido encontrado"));
}

TEST_F(AstmService, QueryFramedWithoutEnqGetsOneWholeFrame) {
  TcpClient c(svc->port());
  c.Send(Frame(1, INDIKO_H));
  c.Send(Frame(2, QUERY));
  c.Send(Frame(3, "L|1|N"));
  std::string body;
  for (const auto& r : REPLY) body += r + CRs;
  const std::string want = astm::EnvelopeASTM(body);
  // The frame goes out exactly as built: one STX, one ETX, the checksum, nothing around it.
  std::string got = c.ReadUntil([&](const std::string& r) { return r.size() >= want.size(); });
  EXPECT_EQ(Repr(got), Repr(want));
  EXPECT_EQ(Repr(c.ReadFor(std::chrono::milliseconds(100))), "");
}

TEST_F(AstmService, QueryWithoutFramingGetsTheBareRecords) {
  TcpClient c(svc->port());
  c.Send(INDIKO_H + CRs + QUERY + CRs + "L|1|N" + CRs);
  std::string want;
  for (const auto& r : REPLY) want += r + CRs;
  std::string got = c.ReadUntil([&](const std::string& r) { return r.size() >= want.size(); });
  EXPECT_EQ(Repr(got), Repr(want));
}

TEST_F(AstmService, ResultMessagesFramedAndUnframed) {
  struct Row {
    const char* capture;
    bool enq;
  };
  const std::vector<Row> rows = {
      {"astm/astmgeneral_ortho_vitros3600_results_session_16_frames.astm", true},
      {"astm/roche_cobas_u411_urinalysis_session.astm", true},
      {"astm/senaite_horiba_pentra_xlr_cbc_28_frames.astm", false},
      {"astm/mindray_cl_result_unframed_records.astm", false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(std::string("row ") + std::to_string(i) + " " + rows[i].capture);
    std::filesystem::remove_all(saida);
    std::filesystem::create_directories(saida);
    const std::string bytes = kvtest::TestData(rows[i].capture);
    TcpClient c(svc->port());
    for (const auto& chunk : FrameChunks(bytes)) {
      if (rows[i].enq && chunk != std::string(1, EOT)) {
        SendExpectAck(c, chunk);
      } else {
        c.Send(chunk);
      }
    }
    ASSERT_TRUE(kvtest::WaitFor([&] { return Archives().size() == 1; })) << FileCount();
    auto files = Archives();
    EXPECT_EQ(Repr(kvtest::ReadFile(saida + files[0])), Repr(ExpectedArchive(bytes)));
    // Nothing is sent back for a result message besides the frame acknowledgements.
    EXPECT_EQ(Repr(c.ReadFor(std::chrono::milliseconds(50))), "");
    EXPECT_EQ(FileCount(), 1u);
  }
}

// Every frame of the recorded E1381 sessions cut at random byte positions and
// sent piece after piece, as a serial bridge forwards it: the same files and
// replies as whole frames give, and exactly one ACK per frame.
TEST_F(AstmService, RandomlyChunkedSessionsGiveTheSameResult) {
  std::mt19937 rng(20240805);
  struct Outcome {
    size_t frames = 0;
    size_t acks = 0;
    std::string reply;    // what followed the analyzer's EOT
    std::string archive;  // the one archive file, if any
    size_t files = 0;
  };
  auto run = [&](const std::string& bytes, bool query, int maxCuts) {
    Outcome out;
    std::filesystem::remove_all(saida);
    std::filesystem::create_directories(saida);
    TcpClient c(svc->port());
    std::string acks;
    for (const auto& chunk : FrameChunks(bytes)) {
      if (chunk == std::string(1, EOT)) {
        c.Send(chunk);
        continue;
      }
      if (chunk.find(STX) != std::string::npos) ++out.frames;
      std::vector<size_t> cuts = {0, chunk.size()};
      if (chunk.size() > 1) {
        std::uniform_int_distribution<size_t> pos(1, chunk.size() - 1);
        std::uniform_int_distribution<int> nCuts(1, maxCuts > 0 ? maxCuts : 1);
        for (int k = maxCuts > 0 ? nCuts(rng) : 0; k > 0; --k) cuts.push_back(pos(rng));
      }
      std::sort(cuts.begin(), cuts.end());
      cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
      for (size_t k = 0; k + 1 < cuts.size(); ++k) c.Send(chunk.substr(cuts[k], cuts[k + 1] - cuts[k]));
      // The analyzer waits for the acknowledgement of each frame (and of ENQ).
      acks += c.ReadUntil([&](const std::string& r) { return r.find(ACKs) != std::string::npos; });
    }
    if (query) {
      out.reply = ReadItem(c);
      for (int i = 0; i < 5; ++i) {
        c.Send(ACKs);
        out.reply += ReadItem(c);
      }
      acks += c.ReadFor(std::chrono::milliseconds(20));
    } else {
      EXPECT_TRUE(kvtest::WaitFor([&] { return !Archives().empty(); }));
      acks += c.ReadFor(std::chrono::milliseconds(50));
      auto files = Archives();
      EXPECT_EQ(FileCount(), files.size());
      out.files = files.size();
      if (!files.empty()) out.archive = kvtest::ReadFile(saida + files[0]);
    }
    out.acks = Count(acks, ACK);
    return out;
  };

  size_t sessions = 0;
  for (const auto& path : kvtest::TestDataFiles("astm")) {
    const std::string bytes = kvtest::ReadFile(path);
    if (bytes.find(ENQ) == std::string::npos) continue;
    ++sessions;
    const bool query = path.find("query") != std::string::npos;
    const Outcome whole = run(bytes, query, 0);
    EXPECT_EQ(whole.acks, whole.frames + 1) << path;
    if (query) {
      EXPECT_EQ(Count(whole.reply, STX), 4u) << Repr(whole.reply);
    } else {
      EXPECT_EQ(Repr(whole.archive), Repr(ExpectedArchive(bytes))) << path;
    }
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(std::filesystem::path(path).filename().string() + " round " + std::to_string(round));
      const Outcome cut = run(bytes, query, 5);
      EXPECT_EQ(cut.acks, cut.frames + 1);
      EXPECT_EQ(Repr(cut.reply), Repr(whole.reply));
      EXPECT_EQ(cut.files, whole.files);
      EXPECT_EQ(Repr(cut.archive), Repr(whole.archive));
    }
  }
  EXPECT_EQ(sessions, 8u);
}
