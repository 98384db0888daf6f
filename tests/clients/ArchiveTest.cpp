// Archive file names, atomic writes and consumption of input lines.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "protocol/ArchiveNames.hpp"
#include "protocol/Blocks.hpp"
#include "protocol/Lines.hpp"
#include "ClientFixture.hpp"

using namespace kvtest;

namespace {

const char* const STAMP = "20240105-145701-07";  // 5 Jan 2024 14:57:07, month where seconds would be

TEST(ArchiveRules, TimeStampShorteningCleaning) {
  EXPECT_EQ(protocol::ArchiveTimeStamp(TDateTime{2024, 1, 5, 14, 57, 7, 0}), STAMP);
  EXPECT_EQ(protocol::ArchiveTimeStamp(TDateTime{1999, 12, 31, 0, 0, 59, 999}), "19991231-000012-59");
  EXPECT_EQ(protocol::ArchiveTimeStamp(TDateTime{2024, 1, 5, 14, 57, 7, 0}).size(), 18u);

  const std::vector<std::pair<std::string, std::string>> shorten = {
      {"12345678901", "1234567"}, {"1234567-02", "1234567"}, {"-abc", ""}, {"123456789012", "123456789012"},
      {"1234567890", "1234567890"}, {"A-B-C", "A"}, {"12345678901-x", "1234567"}, {"S1", "S1"},
  };
  for (size_t i = 0; i < shorten.size(); ++i) {
    EXPECT_EQ(protocol::ShortenIdentifier(shorten[i].first), shorten[i].second) << "row " << i;
  }
  const std::vector<std::pair<std::string, std::string>> clean = {
      {"../../x", "....x"}, {"a/b", "ab"}, {"..\\..\\y", "....y"}, {"a:b*c?d\"e<f>g|h", "abcdefgh"},
      {std::string("ab\0cd", 5), "abcd"}, {"S 1^2", "S 1^2"}, {"..", ".."},
  };
  for (size_t i = 0; i < clean.size(); ++i) {
    EXPECT_EQ(protocol::CleanFileName(clean[i].first), clean[i].second) << "row " << i;
  }
  EXPECT_EQ(protocol::SubfolderName("XN-550", "Sysmex"), "XN-550");
  EXPECT_EQ(protocol::SubfolderName("", "Lab:1/A"), "Lab1A");
  EXPECT_EQ(protocol::SubfolderName("", ""), "");
  EXPECT_EQ(protocol::SubfolderName("..", "Dev"), "Dev");
  EXPECT_EQ(protocol::SubfolderName(".", ""), "");
  EXPECT_EQ(protocol::SubfolderName("../../etc", ""), "....etc");
}

struct NameRow {
  const char* name;
  int32_t protocol;
  const char* versao;
  const char* modelo;
  const char* nomeTevarin;
  std::vector<std::string> bloco;
  std::string expected;  // relative to the output folder
};

TEST(GetFileName, Rows) {
  const std::string S = STAMP;
  const std::vector<NameRow> rows = {
      {"LIS2-A2 takes field 3 whole", 10, "LIS2-A2", "M", "", {"H|", "O|1|SAMPLE123^01||^^^X"}, "M/SAMPLE123^01.astm"},
      {"LIS2-A matches the LIS2-A2 text", 10, "LIS2-A", "M", "", {"O|1|S77"}, "M/S77.astm"},
      {"1394-97 takes component 1", 10, "1394-97", "M", "", {"O|1|SAMPLE123^01"}, "M/SAMPLE123.astm"},
      {"version 1 is found in the 1394-97 text", 10, "1", "M", "", {"O|1|AB^CD"}, "M/AB.astm"},
      {"E1394-97: field 3 with caret and no component 3", 10, "E1394-97", "M", "", {"O|1|SAMPLE123^01||"}, "M/" + S + ".astm"},
      {"E1394-97: field 4, component 3, trimmed", 10, "E1394-97", "M", "", {"O|1|x|^^  S42 <CR>"}, "M/S42.astm"},
      {"E1394-97: field 4 without caret", 10, "E1394-97", "M", "", {"O|1|x| S43 "}, "M/S43.astm"},
      {"E1394-97: field 3 without caret when 4 is empty", 10, "E1394-97", "M", "", {"O|1|S44||"}, "M/S44.astm"},
      {"frame number before O", 10, "LIS2-A2", "M", "", {"<STX>1H|", "3O|1|F1"}, "M/F1.astm"},
      {"O at position 3 is passed over", 10, "LIS2-A2", "M", "", {"<STX>3O|1|F1", "O|1|F2"}, "M/F2.astm"},
      {"first O line decides even when empty", 10, "LIS2-A2", "M", "", {"O|1||", "O|1|F3"}, "M/" + S + ".astm"},
      {"no version: time stamp", 10, "", "M", "", {"O|1|S1"}, "M/" + S + ".astm"},
      {"unknown version: time stamp", 10, "E 1394-97", "M", "", {"O|1|S1"}, "M/" + S + ".astm"},
      {"11 characters shortened to 7", 10, "LIS2-A2", "M", "", {"O|1|12345678901"}, "M/1234567.astm"},
      {"part before the dash", 10, "LIS2-A2", "M", "", {"O|1|1234567-02"}, "M/1234567.astm"},
      {"leading dash gives an empty name: time stamp", 10, "LIS2-A2", "M", "", {"O|1|-02"}, "M/" + S + ".astm"},
      {"HL7: OBR-2", 20, "2.3.1", "M", "", {"MSH|", "PID|1|P1", "OBR|1|ORDER1|X"}, "M/ORDER1.hl7"},
      {"HL7: short OBR-2, OBR-3", 20, "2.3.1", "M", "", {"MSH|", "OBR|1|AB|FILL9"}, "M/FILL9.hl7"},
      {"HL7: short OBR-2 and OBR-3, PID-2", 20, "2.3.1", "M", "", {"MSH|", "PID|1|PAT77", "OBR|1|AB|"}, "M/PAT77.hl7"},
      {"HL7: short OBR-2, no PID", 20, "2.3.1", "M", "", {"MSH|", "OBR|1|AB|"}, "M/AB.hl7"},
      {"HL7: no OBR", 20, "2.3.1", "M", "", {"MSH|", "PID|1|PAT77"}, "M/" + S + ".hl7"},
      {"JSON identifier", 30, "1.4", "Icounter", "", {"{", "\"identifier\": \"AM5\"", "}", ""}, "Icounter/AM5.json"},
      {"JSON numeric identifier", 30, "1.4", "Icounter", "", {"{\"identifier\": 1234}"}, "Icounter/1234.json"},
      {"unidentified: time stamp and .txt", 0, "", "", "", {"abc"}, S + ".txt"},
      {"empty modelo: cleaned nomeTevarin", 10, "LIS2-A2", "", "Lab:1/A", {"O|1|S1"}, "Lab1A/S1.astm"},
      {"traversal in the identifier", 10, "LIS2-A2", "M", "", {"O|1|../../x"}, "M/....x.astm"},
      {"slash in the identifier", 10, "LIS2-A2", "M", "", {"O|1|a/b"}, "M/ab.astm"},
      {"backslashes in the identifier", 10, "LIS2-A2", "M", "", {"O|1|..\\..\\evil"}, "M/....evil.astm"},
      {"identifier '..': time stamp", 10, "LIS2-A2", "M", "", {"O|1|.."}, "M/" + S + ".astm"},
      {"traversal in the modelo", 10, "LIS2-A2", "../../etc", "", {"O|1|S1"}, "....etc/S1.astm"},
      {"modelo '..' falls back to nomeTevarin", 10, "LIS2-A2", "..", "Dev", {"O|1|S1"}, "Dev/S1.astm"},
      {"modelo '.' and no nomeTevarin", 10, "LIS2-A2", ".", "", {"O|1|S1"}, "S1.astm"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    FileClientEnv env;
    TSocketClient c("h:1", env.saida, kvtest::GlobalContext());
    c.analisador->protocolo.id = r.protocol;
    c.analisador->protocolo.versao = r.versao;
    c.analisador->modelo = r.modelo;
    c.analisador->nomeTevarin = r.nomeTevarin;
    const std::string path = c.GetFileName(ExpandAll(r.bloco));
    EXPECT_EQ(path, env.saida + r.expected) << "row " << i << ": " << r.name;
    // The folder exists and the file can be written where the name says.
    c.SaveBlock(path, ExpandAll(r.bloco));
    EXPECT_TRUE(FileExists(path)) << "row " << i << ": " << r.name;
    for (const auto& f : ListFiles(env.dir.path())) {
      if (f.rfind("Logs/", 0) == 0) continue;
      EXPECT_EQ(f.rfind("saida/", 0), 0u) << "row " << i << ": file outside the output folder: " << f;
    }
  }
}

TEST(GetFileName, JsonWithoutIdentifierAnswersTheFolder) {
  const std::vector<std::vector<std::string>> blocks = {
      {"{", "\"other\": 1", "}"}, {"[1, 2]"}, {"{ not json"}};
  for (size_t i = 0; i < blocks.size(); ++i) {
    FileClientEnv env;
    TSocketClient c("h:1", env.saida, kvtest::GlobalContext());
    c.analisador->protocolo.id = PROTOCOLO_JSON_DIAGNO;
    c.analisador->modelo = "Icounter";
    EXPECT_EQ(c.GetFileName(blocks[i]), env.saida + "Icounter/") << "row " << i;
    EXPECT_TRUE(env.LogHas("TSocketClient.GetFileName() -> Erro: ")) << "row " << i;
    EXPECT_THROW(c.SaveBlock(env.saida + "Icounter/", blocks[i]), std::runtime_error) << "row " << i;
  }
}

TEST(GetFileName, SuffixesCountUpPastOneHundred) {
  FileClientEnv env;
  TSocketClient c("h:1", env.saida, kvtest::GlobalContext());
  c.analisador->protocolo.id = PROTOCOLO_ASTM;
  c.analisador->protocolo.versao = "LIS2-A2";
  c.analisador->modelo = "M";
  const TLines bloco = {"O|1|1234567"};
  std::vector<std::string> names;
  for (int i = 0; i < 102; ++i) {
    const std::string path = c.GetFileName(bloco);
    names.push_back(path.substr(env.saida.size()));
    c.SaveBlock(path, bloco);
  }
  EXPECT_EQ(names[0], "M/1234567.astm");
  EXPECT_EQ(names[1], "M/1234567-01.astm");
  EXPECT_EQ(names[9], "M/1234567-09.astm");
  EXPECT_EQ(names[10], "M/1234567-10.astm");
  EXPECT_EQ(names[99], "M/1234567-99.astm");
  EXPECT_EQ(names[100], "M/1234567-100.astm");
  EXPECT_EQ(names[101], "M/1234567-101.astm");
  // A directory of that name is not a file: it takes no suffix.
  ::mkdir((env.saida + "M/D1.astm").c_str(), 0777);
  EXPECT_EQ(c.GetFileName({"O|1|D1"}), env.saida + "M/D1.astm");
  // Two messages without identifier in the same second.
  const std::string a = c.GetFileName({"O|1|"});
  c.SaveBlock(a, {"O|1|"});
  EXPECT_EQ(c.GetFileName({"O|1|"}), env.saida + "M/" + STAMP + "-01.astm");
}

TEST(GetFileName, MakesOneFolderLevelOnly) {
  FileClientEnv env;
  TSocketClient c("h:1", env.dir / "missing/deeper/", kvtest::GlobalContext());
  c.analisador->modelo = "M";
  const std::string path = c.GetFileName({"x"});
  EXPECT_EQ(path, env.dir / "missing/deeper/M/" + STAMP + ".txt");
  EXPECT_THROW(c.SaveBlock(path, {"x"}), std::runtime_error);
  EXPECT_TRUE(ListFiles(env.dir / "missing").empty());
}

TEST(SaveBlock, WritesLinesWithCrLfAsHeld) {
  FileClientEnv env;
  TSocketClient c("h:1", env.saida, kvtest::GlobalContext());
  const std::string path = env.saida + "a.astm";
  c.SaveBlock(path, {"1H|\\^&", "R|1|Glic\xe9mia|5", "", "L|1|N"});
  EXPECT_EQ(Repr(ReadFile(path)), Repr("1H|\\^&\r\nR|1|Glic\xe9mia|5\r\n\r\nL|1|N\r\n"));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);  // as an ordinary new file, not private
  c.SaveBlock(env.saida + "empty.txt", {});
  EXPECT_EQ(ReadFile(env.saida + "empty.txt"), "");
  EXPECT_EQ(ListFiles(env.saida), (std::vector<std::string>{"a.astm", "empty.txt"}));
}

TEST(SaveBlock, NeverReplacesAnExistingFile) {
  FileClientEnv env;
  TSocketClient c("h:1", env.saida, kvtest::GlobalContext());
  const std::string path = env.saida + "S1.astm";
  WriteFile(path, "first message\r\n");
  EXPECT_THROW(c.SaveBlock(path, {"second message"}), std::runtime_error);
  EXPECT_EQ(ReadFile(path), "first message\r\n");
  EXPECT_EQ(ListFiles(env.saida), (std::vector<std::string>{"S1.astm"}));  // no .tmp left
}

TEST(SaveBlock, FailedWriteLeavesNothing) {
  FileClientEnv env;
  TSocketClient c("h:1", env.saida, kvtest::GlobalContext());
  EXPECT_THROW(c.SaveBlock(env.saida + "nofolder/x.astm", {"a"}), std::runtime_error);
  EXPECT_THROW(c.SaveBlock(env.saida, {"a"}), std::runtime_error);
  EXPECT_THROW(c.SaveBlock("", {"a"}), std::runtime_error);
  // A name too long for the file system.
  EXPECT_THROW(c.SaveBlock(env.saida + std::string(300, 'n') + ".astm", {"a"}), std::runtime_error);
  EXPECT_TRUE(ListFiles(env.saida).empty());
}

struct ConsumeRow {
  const char* name;
  std::vector<std::string> buffer;
  size_t count;
  std::vector<std::string> left;
};

TEST(ConsumeInputLines, Rows) {
  const std::string T = TERMINADOR_BLOCO;
  const std::vector<ConsumeRow> rows = {
      {"count lines", {"a", "b", "c"}, 2, {"c"}},
      {"markers right after go too", {"a", "b", T, T, "c", T}, 2, {"c", T}},
      {"markers within the count count", {"a", T, "b", "c"}, 2, {"b", "c"}},
      {"zero removes only leading markers", {T, "a"}, 0, {"a"}},
      {"more than the buffer", {"a"}, 5, {}},
      {"empty lines are lines", {"", "", "x"}, 1, {"", "x"}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TSocketClient c("h:1", "/tmp/", kvtest::GlobalContext());
    for (const auto& l : rows[i].buffer) c.inputBuffer.push_back(l);
    c.ConsumeInputLines(rows[i].count);
    EXPECT_EQ(Lines(c.inputBuffer), rows[i].left) << "row " << i << ": " << rows[i].name;
  }
}

TEST(IsBlankLine, BlanksAndControlCharacters) {
  EXPECT_TRUE(TSocketClient::IsBlankLine(""));
  EXPECT_TRUE(TSocketClient::IsBlankLine("   "));
  EXPECT_TRUE(TSocketClient::IsBlankLine(Expand("<FS><VT> <ETX><NUL>\t")));
  EXPECT_FALSE(TSocketClient::IsBlankLine(" x "));
  EXPECT_FALSE(TSocketClient::IsBlankLine(Expand("<ETX>4F")));
  EXPECT_FALSE(TSocketClient::IsBlankLine("\xe9"));
}

}  // namespace
