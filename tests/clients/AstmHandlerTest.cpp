// The ASTM handler through the client record: captures archived, residue and
// error paths, on memory ports (log, archive, LIS).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "clients/AstmFixture.hpp"
#include "protocol/Astm.hpp"

using astmtest::AstmFixture;
using astmtest::ExpectedArchive;
using astmtest::FrameChunks;
using astmtest::WithoutHandshake;
using kvtest::Expand;
using kvtest::Repr;

namespace {

bool IsQueryCapture(const std::string& path) { return path.find("query") != std::string::npos; }

std::string Name(const std::string& path) { return std::filesystem::path(path).filename().string(); }

// The ways a capture reaches reception.
enum class Delivery { AsRecorded, NoHandshakePerFrame, NoHandshakeOneChunk };

std::vector<std::string> Chunks(const std::string& bytes, Delivery d) {
  switch (d) {
    case Delivery::AsRecorded:
      return FrameChunks(bytes);
    case Delivery::NoHandshakePerFrame:
      return FrameChunks(WithoutHandshake(bytes));
    case Delivery::NoHandshakeOneChunk:
      return {WithoutHandshake(bytes)};
  }
  return {};
}

const char* DeliveryName(Delivery d) {
  switch (d) {
    case Delivery::AsRecorded:
      return "as recorded, one chunk per frame";
    case Delivery::NoHandshakePerFrame:
      return "without ENQ/EOT, one chunk per frame";
    case Delivery::NoHandshakeOneChunk:
      return "without ENQ/EOT, one chunk";
  }
  return "";
}

}  // namespace

// ---------------------------------------------------------------- captures

TEST_F(AstmFixture, EveryCaptureIsArchivedOnceOrAnswered) {
  const auto files = kvtest::TestDataFiles("astm");
  ASSERT_EQ(files.size(), 15u);
  for (Delivery d : {Delivery::AsRecorded, Delivery::NoHandshakePerFrame, Delivery::NoHandshakeOneChunk}) {
    for (const auto& path : files) {
      SCOPED_TRACE(Name(path) + " / " + DeliveryName(d));
      archive->Remove(saida);
      archive->AddFolder(saida);
      const std::string bytes = kvtest::ReadFile(path);
      NewClient();
      Feed(Chunks(bytes, d));
      EXPECT_EQ(client->analisador->protocolo.id, PROTOCOLO_ASTM);
      const auto arquivos = Files();
      if (IsQueryCapture(path)) {
        EXPECT_TRUE(arquivos.empty()) << arquivos.size();
        std::string itens;
        for (const auto& item : client->outputBuffer) itens += item;
        EXPECT_NE(itens.find("L|1|N\r"), std::string::npos) << Repr(itens);
        EXPECT_TRUE(LogHas("ASTM: Consulta iniciada"));
      } else {
        ASSERT_EQ(arquivos.size(), 1u) << (arquivos.empty() ? "" : arquivos[0] + " ...");
        EXPECT_EQ(arquivos[0].substr(arquivos[0].size() - 5), ".astm");
        EXPECT_EQ(Repr(File(arquivos[0])), Repr(ExpectedArchive(bytes)));
      }
      EXPECT_TRUE(client->inputBuffer.empty()) << client->inputBuffer.size() << " lines left, first "
                                               << Repr(client->inputBuffer.empty() ? "" : client->inputBuffer[0]);
    }
  }
}

TEST_F(AstmFixture, ArchiveFileNamesFollowTheVersionRule) {
  struct Row {
    const char* capture;
    const char* file;
  };
  // Mindray CL (1394-97): component 1 of O field 3; Vitros (LIS2-A): field 3 whole;
  // Pentra (E1394-97): field 4, else field 3, component 3.
  const std::vector<Row> rows = {
      {"astm/mindray_cl_result_single_frame_session.astm", "Mindray/"},
      {"astm/astmgeneral_ortho_vitros3600_results_session_16_frames.astm", "3600796/"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    archive->Remove(saida);
    archive->AddFolder(saida);
    NewClient();
    Feed(FrameChunks(kvtest::TestData(rows[i].capture)));
    auto arquivos = Files();
    ASSERT_EQ(arquivos.size(), 1u) << "row " << i;
    EXPECT_EQ(arquivos[0].rfind(rows[i].file, 0), 0u) << "row " << i << " " << arquivos[0];
    EXPECT_TRUE(LogHas("Item salvo em " + saida + arquivos[0])) << "row " << i;
  }
}

TEST_F(AstmFixture, TwoMessagesInOneTransferGiveTwoFiles) {
  NewClient();
  const std::string m1 = "H|\\^&|||A1|||||||P|LIS2-A2\rP|1\rO|1|S1\rR|1|^^^GLU|5\rL|1|N\r";
  const std::string m2 = "H|\\^&|||A1|||||||P|LIS2-A2\rP|1\rO|1|S2\rR|1|^^^GLU|6\rL|1|N\r";
  Feed({m1 + m2});
  auto arquivos = Files();
  ASSERT_EQ(arquivos.size(), 2u);
  EXPECT_EQ(File("A1/S1.astm"),
            "H|\\^&|||A1|||||||P|LIS2-A2\r\nP|1\r\nO|1|S1\r\nR|1|^^^GLU|5\r\nL|1|N\r\n");
  EXPECT_EQ(File("A1/S2.astm"),
            "H|\\^&|||A1|||||||P|LIS2-A2\r\nP|1\r\nO|1|S2\r\nR|1|^^^GLU|6\r\nL|1|N\r\n");
  EXPECT_TRUE(client->inputBuffer.empty());
}

TEST_F(AstmFixture, TheNextMessageStartingInTheSameChunkIsNotFiledWithThisOne) {
  NewClient();
  Feed({"H|\\^&|||A1|||||||P|LIS2-A2\rP|1\rO|1|S1\rR|1|^^^GLU|5\rL|1|N\rH|\\^&|||A1|||||||P|LIS2-A2\rP|1\rO|1|S2\r"});
  EXPECT_EQ(File("A1/S1.astm"),
            "H|\\^&|||A1|||||||P|LIS2-A2\r\nP|1\r\nO|1|S1\r\nR|1|^^^GLU|5\r\nL|1|N\r\n");
  EXPECT_EQ(client->inputBuffer.size(), 3u);
  EXPECT_TRUE(LogHas("Buffer cont\xe9m res\xed" "duos da \xfaltima mensagem recebida: {H|"));
  Feed({"R|1|^^^GLU|6\rL|1|N\r"});
  EXPECT_EQ(File("A1/S2.astm"),
            "H|\\^&|||A1|||||||P|LIS2-A2\r\nP|1\r\nO|1|S2\r\nR|1|^^^GLU|6\r\nL|1|N\r\n");
  EXPECT_EQ(Files().size(), 2u);
  EXPECT_TRUE(client->inputBuffer.empty());
}

TEST_F(AstmFixture, EmptyLinesInsideATransferNeverMakeASecondFile) {
  NewClient();
  // CR and LF of every line end in separate chunks: each LF becomes an empty line.
  std::vector<std::string> chunks = {std::string(1, ENQ)};
  const std::vector<std::string> frames = {"1H|\\^&|||A1|||||||P|LIS2-A2\r", "2P|1\r", "3O|1|S7\r", "4R|1|^^^X|1\r",
                                           "5L|1|N\r"};
  for (const auto& f : frames) {
    std::string body = f + ETX;
    chunks.push_back(STX + body + astm::GetCheckSumASTM(body) + "\r");
    chunks.push_back("\n");
  }
  chunks.emplace_back(1, EOT);
  Feed(chunks);
  auto arquivos = Files();
  ASSERT_EQ(arquivos.size(), 1u) << arquivos[0];
  EXPECT_EQ(File("A1/S7.astm"),
            "1H|\\^&|||A1|||||||P|LIS2-A2\r\n2P|1\r\n3O|1|S7\r\n4R|1|^^^X|1\r\n5L|1|N\r\n");
  EXPECT_TRUE(client->inputBuffer.empty());
}

// ---------------------------------------------------------------- residue and error paths

TEST_F(AstmFixture, ResidueRules) {
  struct Row {
    const char* name;
    std::vector<std::string> buffer;
    bool frameToFrame;
    size_t files;
    std::vector<std::string> left;
    bool residueLogged;
  };
  const std::vector<Row> rows = {
      {"one blank line after the message is dropped", {"H|\\^&|||A1", "O|1|S1", "L|1|N", "  <NAK>"}, false, 1, {}, false},
      {"two blank lines are dropped", {"H|\\^&|||A1", "O|1|S1", "L|1|N", "", "<NAK>"}, false, 1, {}, false},
      {"a line with text is kept", {"H|\\^&|||A1", "O|1|S1", "L|1|N", "P|1"}, false, 1, {"P|1"}, true},
      {"one blank and one text line: the text stays", {"H|\\^&|||A1", "O|1|S1", "L|1|N", "", "X"}, false, 1, {"X"},
       true},
      {"unframed message without terminator stays", {"H|\\^&|||A1", "O|1|S1"}, false, 0,
       {"H|\\^&|||A1", "O|1|S1"}, true},
      {"frames without terminator at the end of a transfer are archived",
       {"<STX>1H|\\^&|||A1", "<ETX>00", "<STX>2O|1|S1", "<ETX>00"}, true, 1, {}, false},
      {"frames without terminator outside a transfer wait silently",
       {"<STX>1H|\\^&|||A1", "<ETX>00", "<STX>2O|1|S1", "<ETX>00"}, false, 0,
       {"<STX>1H|\\^&|||A1<ETX>00", "<STX>2O|1|S1<ETX>00"}, false},
      {"H Q Q L is no query and is archived", {"H|\\^&|||A1", "Q|1|^S1", "Q|2|^S2", "L|1|N"}, false, 1, {}, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(std::string("row ") + std::to_string(i) + " " + rows[i].name);
    Init(root / ("row" + std::to_string(i)));
    NewClient();
    client->analisador->protocolo.id = PROTOCOLO_ASTM;
    client->analisador->protocolo.versao = "LIS2-A2";
    client->analisador->modelo = "A1";
    client->usingFrameToFrame = rows[i].frameToFrame;
    for (const auto& l : rows[i].buffer) client->inputBuffer.push_back(Expand(l));
    EXPECT_EQ(client->ProcessASTM(), "");
    EXPECT_EQ(Files().size(), rows[i].files);
    std::vector<std::string> left(client->inputBuffer.begin(), client->inputBuffer.end());
    std::vector<std::string> want;
    for (const auto& l : rows[i].left) want.push_back(Expand(l));
    EXPECT_EQ(left, want);
    EXPECT_EQ(LogHas("Buffer cont\xe9m res\xed" "duos"), rows[i].residueLogged);
    EXPECT_TRUE(client->outputBuffer.empty());
  }
}

TEST_F(AstmFixture, FailedWriteKeepsTheLinesForTheNextDispatch) {
  NewClient();
  client->pasta_saida = root / "missing/deeper/";
  Feed({"H|\\^&|||A1|||||||P|LIS2-A2\rO|1|S9\rL|1|N\r"});
  EXPECT_TRUE(LogHas("TSocketClient.ProcessarASTM() -> Erro: "));
  EXPECT_FALSE(LogHas("Item salvo em"));
  EXPECT_FALSE(LogHas("Buffer cont\xe9m"));
  ASSERT_EQ(client->inputBuffer.size(), 3u);

  // Once the folder can be written the same message is archived, once.
  archive->AddFolder(root / "missing/deeper/A1");
  client->ProcessASTM();
  EXPECT_EQ(archive->Read(root / "missing/deeper/A1/S9.astm"), "H|\\^&|||A1|||||||P|LIS2-A2\r\nO|1|S9\r\nL|1|N\r\n");
  EXPECT_EQ(archive->Files(root / "missing").size(), 1u);
  EXPECT_TRUE(client->inputBuffer.empty());
}

TEST_F(AstmFixture, ChecksumLinesLeftFromHandledFramesAreDropped) {
  NewClient();
  client->analisador->protocolo.id = PROTOCOLO_ASTM;
  client->usingFrameToFrame = true;
  client->inputBuffer = {Expand("<ETX>07"), Expand("<ETB>4B")};
  EXPECT_EQ(client->ProcessASTM(), "");
  EXPECT_FALSE(LogHas("Erro"));
  EXPECT_TRUE(client->inputBuffer.empty());
  EXPECT_TRUE(Files().empty());
}

TEST_F(AstmFixture, FramingWithoutAnyTextAtTheEndOfATransferIsAnError) {
  NewClient();
  client->analisador->protocolo.id = PROTOCOLO_ASTM;
  client->usingFrameToFrame = true;
  client->inputBuffer = {Expand("<STX>"), Expand("<ETX>07")};
  EXPECT_EQ(client->ProcessASTM(), "");
  EXPECT_TRUE(LogHas("TSocketClient.ProcessarASTM() -> Erro: "));
  EXPECT_FALSE(LogHas("Buffer cont\xe9m"));
  EXPECT_EQ(client->inputBuffer.size(), 1u);
  EXPECT_TRUE(Files().empty());
}

TEST_F(AstmFixture, DebugLinesNameTheBlockAndTheBufferSize) {
  config->debug = true;
  NewClient();
  client->analisador->protocolo.id = PROTOCOLO_ASTM;
  client->analisador->modelo = "A1";
  client->analisador->protocolo.versao = "LIS2-A2";
  client->inputBuffer = {"H|\\^&|||A1", "O|1|S1", "L|1|N", "P|left"};
  client->ProcessASTM();
  EXPECT_TRUE(LogHas("bloco_para_salvar: H|\\^&|||A1\r\nO|1|S1\r\nL|1|N\r\n"));
  EXPECT_TRUE(LogHas("Buffer lines: 1"));
  EXPECT_TRUE(LogHas("Buffer cont\xe9m res\xed" "duos da \xfaltima mensagem recebida: {P|left\r\n}"));
}

TEST_F(AstmFixture, QueryThenResultInOneTransfer) {
  Configure("1", "Indiko");
  NewClient();
  std::vector<std::string> chunks = {std::string(1, ENQ)};
  int n = 1;
  for (const std::string rec : {"H|\\^&|||1^Analyzer 1^7.0|||||||P||20240804232655", "Q|1|^9999||^^^ALL^||||||||O",
                                "L|1|N", "H|\\^&|||1^Analyzer 1^7.0|||||||P|LIS2-A2", "P|1", "O|1|S5", "L|1|N"}) {
    std::string body = std::to_string(n++ % 8) + rec + "\r" + ETX;
    chunks.push_back(STX + body + astm::GetCheckSumASTM(body) + "\r\n");
  }
  chunks.emplace_back(1, EOT);
  Feed(chunks);
  auto arquivos = Files();
  ASSERT_EQ(arquivos.size(), 1u);
  // Identification took the version from the query's header (empty), so the time stamp names the file.
  EXPECT_EQ(arquivos[0], "1/20240805-145708-07.astm");
  EXPECT_EQ(File(arquivos[0]), "4H|\\^&|||1^Analyzer 1^7.0|||||||P|LIS2-A2\r\n5P|1\r\n6O|1|S5\r\n7L|1|N\r\n");
  ASSERT_EQ(client->outputBuffer.size(), 6u);
  EXPECT_EQ(Repr(client->outputBuffer[2]), "<STX>2P|1<CR><ETX>3F");
  EXPECT_TRUE(LogHas("ASTM: Consulta iniciada"));
}

// Records sent outside an E1381 transfer (plain lines, or frames without ENQ)
// and forwarded by a serial bridge arrive cut anywhere; the archive must hold
// the records as the analyzer wrote them.
TEST_F(AstmFixture, RecordsOutsideATransferCutAnywhereAreArchivedWhole) {
  struct Row {
    const char* capture;
    size_t piece;  // 0: one chunk per line (up to each CR)
  };
  const std::vector<Row> rows = {
      {"astm/mindray_cl_result_unframed_records.astm", 0},
      {"astm/mindray_cl_result_unframed_records.astm", 7},
      {"astm/mindray_cl_result_unframed_records.astm", 64},
      {"astm/senaite_horiba_pentra_xlr_cbc_28_frames.astm", 0},
      {"astm/senaite_horiba_pentra_xlr_cbc_28_frames.astm", 13},
      {"astm/senaite_sysmex_xn550_single_frame.astm", 100},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(std::string("row ") + std::to_string(i) + " " + rows[i].capture + " pieces of " +
                 std::to_string(rows[i].piece));
    const std::string bytes = kvtest::TestData(rows[i].capture);
    Init(root / ("row" + std::to_string(i)));
    NewClient();
    std::vector<std::string> chunks;
    if (rows[i].piece == 0) {
      size_t start = 0, cr;
      while ((cr = bytes.find_first_of("\r\n", start)) != std::string::npos) {
        chunks.push_back(bytes.substr(start, cr - start + 1));
        start = cr + 1;
      }
      if (start < bytes.size()) chunks.push_back(bytes.substr(start));
    } else {
      for (size_t p = 0; p < bytes.size(); p += rows[i].piece) chunks.push_back(bytes.substr(p, rows[i].piece));
    }
    Feed(chunks);
    auto arquivos = Files();
    ASSERT_EQ(arquivos.size(), 1u);
    EXPECT_EQ(Repr(File(arquivos[0])), Repr(ExpectedArchive(bytes)));
    EXPECT_TRUE(client->inputBuffer.empty());
  }
}
