// JSON result intake: 34-line documents archived at EOT, nothing sent back.
#include <gtest/gtest.h>

#include "protocol/ArchiveNames.hpp"
#include "protocol/Blocks.hpp"
#include "protocol/Lines.hpp"
#include "ClientFixture.hpp"

using namespace kvtest;

namespace {

// A Diagno Icounter document of `textLines` non-empty lines, CR LF after each.
std::string Document(const std::string& identifier, size_t textLines) {
  std::vector<std::string> l = {"{", "  \"identifier\": \"" + identifier + "\",", "  \"device\": \"Icounter\","};
  while (l.size() < textLines - 1) l.push_back("  \"p" + std::to_string(l.size()) + "\": " + std::to_string(l.size()) + ",");
  l.back().pop_back();  // no comma before the closing brace
  l.push_back("}");
  std::string text;
  for (const auto& s : l) text += s + "\r\n";
  return text;
}

struct JsonRow {
  const char* name;
  std::vector<std::string> chunks;               // sent between ENQ and EOT
  std::vector<std::string> files;                // relative to the output folder, in order
  std::vector<std::string> contents;             // expected content of each file
  size_t linesLeft;                              // in the input buffer afterwards
  bool residue;                                  // residue line logged
};

TEST(ProcessJsonDiagno, Documents) {
  const std::string d33 = Document("AM1", 33);
  const std::string d33b = Document("AM2", 33);
  const std::string d34 = Document("AM3", 34);
  std::vector<std::string> pieces;
  const std::string multi = d33 + "\r\n";
  for (size_t i = 0; i < multi.size(); i += 10) pieces.push_back(multi.substr(i, 10));
  // Cut where neither a CR LF pair nor a line is split across chunks.
  std::vector<std::string> lineChunks;
  {
    size_t start = 0;
    while (start < multi.size()) {
      const size_t end = multi.find("\r\n", start) + 2;
      lineChunks.push_back(multi.substr(start, end - start));
      start = end;
    }
  }

  const std::vector<JsonRow> rows = {
      {"33 lines and an empty one", {d33 + "\r\n"}, {"Icounter/AM1.json"}, {d33 + "\r\n"}, 0, false},
      {"34 lines as the whole buffer", {d34}, {"Icounter/AM3.json"}, {d34}, 0, false},
      {"34 lines and an empty one make 35: kept", {d34 + "\r\n"}, {}, {}, 35, true},
      {"two documents in one call, in order", {d33 + "\r\n" + d33b + "\r\n"},
       {"Icounter/AM1.json", "Icounter/AM2.json"}, {d33 + "\r\n", d33b + "\r\n"}, 0, false},
      {"two 34-line documents without an empty line: one 68-line block", {d34 + d34}, {}, {}, 68, true},
      {"same identifier twice takes a suffix", {d33 + "\r\n" + d33 + "\r\n"},
       {"Icounter/AM1-01.json", "Icounter/AM1.json"}, {d33 + "\r\n", d33 + "\r\n"}, 0, false},
      {"a line per chunk", lineChunks, {"Icounter/AM1.json"}, {d33 + "\r\n"}, 0, false},
      {"content after a document stays", {d33 + "\r\nrest\r\n"}, {"Icounter/AM1.json"}, {d33 + "\r\n"}, 1, true},
      {"blank lines between documents are dropped", {d33 + "\r\n\r\n \r\n" + d33b + "\r\n"},
       {"Icounter/AM1.json", "Icounter/AM2.json"}, {d33 + "\r\n", d33b + "\r\n"}, 0, false},
      {"blank line before the first document is dropped", {"\r\n" + d33 + "\r\n"}, {"Icounter/AM1.json"},
       {d33 + "\r\n"}, 0, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    ClientEnv env;
    TSocketClient c("h:1", env.saida, env.Context());
    c.ReadMessage(Expand("<ENQ>"));
    for (const auto& chunk : r.chunks) c.ReadMessage(chunk);
    EXPECT_TRUE(env.Files().empty()) << "row " << i << ": nothing before EOT";
    const size_t acks = c.outputBuffer.size();
    c.ReadMessage(Expand("<EOT>"));
    EXPECT_EQ(c.outputBuffer.size(), acks) << "row " << i << ": nothing is sent back";
    EXPECT_EQ(acks, 1 + r.chunks.size()) << "row " << i;

    const auto files = env.Files();
    EXPECT_EQ(files, r.files) << "row " << i << ": " << r.name;
    for (size_t f = 0; f < files.size() && f < r.contents.size(); ++f) {
      EXPECT_EQ(Repr(env.File(files[f])), Repr(r.contents[f])) << "row " << i << " file " << f;
      EXPECT_TRUE(env.LogHas("Item salvo em " + env.saida + files[f])) << "row " << i << " file " << f;
    }
    EXPECT_EQ(c.inputBuffer.size(), r.linesLeft) << "row " << i << ": " << r.name;
    EXPECT_EQ(env.LogHas("Buffer cont\xe9m res\xed" "duos da \xfaltima mensagem recebida: {"), r.residue)
        << "row " << i << ": " << r.name;
    EXPECT_EQ(c.analisador->protocolo.id, PROTOCOLO_JSON_DIAGNO) << "row " << i;
  }
}

// The same document read in pieces of every size from 1 to 40 bytes: lines
// and CR LF pairs cut by a read boundary are put back together, so the
// document is archived whole each time.
TEST(ProcessJsonDiagno, ReadsOfAnySizeArchiveTheSameFile) {
  const std::string multi = Document("AM1", 33) + "\r\n";
  for (size_t size = 1; size <= 40; ++size) {
    ClientEnv env;
    TSocketClient c("h:1", env.saida, env.Context());
    c.ReadMessage(Expand("<ENQ>"));
    for (size_t i = 0; i < multi.size(); i += size) c.ReadMessage(multi.substr(i, size));
    c.ReadMessage(Expand("<EOT>"));
    EXPECT_EQ(env.Files(), (std::vector<std::string>{"Icounter/AM1.json"})) << "reads of " << size;
    EXPECT_EQ(env.File("Icounter/AM1.json"), multi) << "reads of " << size;
    EXPECT_TRUE(c.inputBuffer.empty()) << "reads of " << size;
  }
}

// Lines consumed are exactly the ones the document was cut from: skipped
// lines and markers included, markers right after too.
TEST(ProcessJsonDiagno, ConsumesTheSourceLines) {
  ClientEnv env;
  TSocketClient c("h:1", env.saida, env.Context());
  const auto cut = protocol::CutLines(Document("AM1", 33) + "\r\n");
  std::vector<std::string> lines = cut.lines;
  lines.insert(lines.begin() + 3, "JA PROCESSADA");
  lines.insert(lines.begin() + 10, TERMINADOR_BLOCO);
  lines.push_back(TERMINADOR_BLOCO);
  lines.push_back("keep me");
  for (const auto& l : lines) c.inputBuffer.push_back(l);
  c.ProcessJsonDiagno();
  EXPECT_EQ(env.Files(), (std::vector<std::string>{"Icounter/AM1.json"}));
  EXPECT_EQ(Lines(c.inputBuffer), (std::vector<std::string>{"keep me"}));
  EXPECT_EQ(env.File("Icounter/AM1.json"), Document("AM1", 33) + "\r\n");
}

TEST(ProcessJsonDiagno, MissingIdentifierKeepsTheDocument) {
  ClientEnv env;
  TSocketClient c("h:1", env.saida, env.Context());
  std::string doc = Document("AM1", 33);
  doc.replace(doc.find("identifier"), 10, "identifiex");
  c.ReadMessage(Expand("<ENQ>"));
  c.ReadMessage(doc + "\r\n");
  c.ReadMessage(Expand("<EOT>"));
  EXPECT_TRUE(env.Files().empty());
  EXPECT_EQ(c.inputBuffer.size(), 34u);
  EXPECT_TRUE(env.LogHas("TSocketClient.GetFileName() -> Erro: "));
  EXPECT_TRUE(env.LogHas("TSocketClient.ProcessarJsonDiagno() -> Erro: "));
  EXPECT_FALSE(env.LogHas("Item salvo em"));
}

// An existing archive of the same name is never replaced.
TEST(ProcessJsonDiagno, ExistingFileKeptNextNameTaken) {
  ClientEnv env;
  env.archive.AddFolder(env.saida + "Icounter");
  env.archive.AddFile(env.saida + "Icounter/AM1.json", "older\r\n");
  TSocketClient c("h:1", env.saida, env.Context());
  c.ReadMessage(Expand("<ENQ>"));
  c.ReadMessage(Document("AM1", 33) + "\r\n");
  c.ReadMessage(Expand("<EOT>"));
  EXPECT_EQ(env.File("Icounter/AM1.json"), "older\r\n");
  EXPECT_EQ(env.File("Icounter/AM1-01.json"), Document("AM1", 33) + "\r\n");
}

}  // namespace
