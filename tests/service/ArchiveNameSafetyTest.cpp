// Archive names from what analyzers send: a double quote inside a field is a
// plain character, and an identifier that cannot name a file gives way to the
// time stamp. Each row goes through the real client record into real files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "clients/TSocketClient.hpp"
#include "protocol/Controls.hpp"
#include "service/TGlobal.hpp"
#include "support/TestSupport.hpp"
#include "util/Encoding.hpp"

using kvtest::Expand;
using kvtest::Repr;

namespace {

// 9 January 2026 09:45:00; the archive stamp puts the month where seconds would be.
const TDateTime AGORA{2026, 1, 9, 9, 45, 0, 0};
const std::string STAMP = "20260109-094501-00";
const std::string AGORA_HL7 = "20260109094500";
const std::string LOG_UNUSABLE = "n\xE3o serve como nome de arquivo (";

// The process state (`global`) in a temp folder for one row: fixed clock, no
// LIS, an output folder "saida/", and one client record made on first use.
class NameSafetyEnv {
 public:
  NameSafetyEnv() {
    ::mkdir((dir / "Logs").c_str(), 0777);
    global = std::make_unique<TGlobal>(dir / "kv_redurozozi");
    global->clock = FixedClock(AGORA);
    global->sleep = [](int) {};
    global->config = std::make_unique<TConfigJson>();
    saida = dir / "saida/";
    ::mkdir(saida.c_str(), 0777);
    global->config->pastaSaida = saida;
  }
  ~NameSafetyEnv() {
    client.reset();
    if (global && global->log_) global->log_->flush();
    global.reset();
  }
  NameSafetyEnv(const NameSafetyEnv&) = delete;
  NameSafetyEnv& operator=(const NameSafetyEnv&) = delete;

  TSocketClient& Client() {
    if (!client) client = std::make_unique<TSocketClient>("127.0.0.1:40000", saida, kvtest::GlobalContext());
    return *client;
  }
  void Feed(const std::vector<std::string>& chunks) {
    for (const auto& c : chunks) Client().ReadMessage(c);
  }

  // The files written in the output folder, relative to it (UTF-8, as on disk).
  std::vector<std::string> Files() const { return kvtest::ListFiles(saida); }
  std::string Log() const {
    if (global && global->log_) global->log_->flush();
    return kvtest::ReadFile(global->log_file_name);
  }
  bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }

  kvtest::TempDir dir;
  std::string saida;
  std::unique_ptr<TSocketClient> client;
};

// Every reply item, one after the other: one ACK per message is the whole of it.
std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& i : items) out += i;
  return out;
}

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// ---------------------------------------------------------------- HL7

// An ORU^R01 over MLLP in one read, as a Mindray counter sends it.
std::string Oru(const std::string& fabricante, const std::string& modelo, const std::string& obr2,
                const std::string& obr3) {
  return Expand("<VT>") + "MSH|^~\\&|" + fabricante + "|" + modelo + "|||20260109094500||ORU^R01|Q1|P|2.3.1||||||UNICODE\r" +
         "PID|1||7393670^^^^MR||TEST^PATIENT||19900804000000|Female\r" + "OBR|1|" + obr2 + "|" + obr3 +
         "|00001^Automated Count^99MRC||20260109094500|||||||||||||||||HM||||||||HMLAB01\r" +
         "OBX|1|NM|6690-2^WBC^LN||2.78|10*3/uL|4.00-10.00|L~N|||F\r" + Expand("<FS><CR>");
}

std::string AckR01(const std::string& fabricante, const std::string& modelo, const std::string& id) {
  return "MSH|^~\\&|" + fabricante + "|" + modelo + "|||" + AGORA_HL7 + "||ACK^R01|" + id +
         "|P|2.3.1||||0||ASCII|||\rMSA|AA|" + id + "|Message accepted|||0|\r";
}

struct Hl7Row {
  const char* name;
  std::string modelo;  // MSH-4
  std::string obr2;
  std::string obr3;
  std::string file;    // relative to the output folder
  std::string ackModelo;
  bool logged;         // the identifier was refused, and the log says so
};

TEST(ArchiveNameSafety, Hl7ResultsAreFiledAndAcknowledged) {
  const std::string acentos = Repeat("\xE9", 128);  // 128 bytes here, 256 once in UTF-8
  const std::vector<Hl7Row> rows = {
      {"plain OBR-3 (unchanged)", "Mindray", "", "20071207011", "Mindray/2007120.hl7", "Mindray", false},
      {"double quote in OBR-3", "Mindray", "", "12\"34", "Mindray/1234.hl7", "Mindray", false},
      {"double quote in MSH-4", "Mind\"ray", "", "SAMPLE9", "Mindray/SAMPLE9.hl7", "Mind\"ray", false},
      {"MSH-4 '..' keeps the sample identifier", "..", "", "SAMPLE9", "SAMPLE9.hl7", "..", false},
      {"OBR-3 of 300 characters", "Mindray", "", Repeat("7", 300), "Mindray/" + STAMP + ".hl7", "Mindray", true},
      {"OBR-3 of 128 accented bytes", "Mindray", "", acentos, "Mindray/" + STAMP + ".hl7", "Mindray", true},
      {"OBR-3 of 65 bytes", "Mindray", "", Repeat("8", 65), "Mindray/" + STAMP + ".hl7", "Mindray", true},
      {"OBR-3 of 64 bytes is used", "Mindray", "", Repeat("8", 64), "Mindray/" + Repeat("8", 64) + ".hl7",
       "Mindray", false},
      {"OBR-3 of 32 accented bytes (64 in UTF-8) is used", "Mindray", "", Repeat("\xE9", 32),
       "Mindray/" + Repeat("\xC3\xA9", 32) + ".hl7", "Mindray", false},
      {"OBR-3 of 33 accented bytes (66 in UTF-8)", "Mindray", "", Repeat("\xE9", 33), "Mindray/" + STAMP + ".hl7",
       "Mindray", true},
      {"OBR-3 that cleans to nothing", "Mindray", "", "////", "Mindray/" + STAMP + ".hl7", "Mindray", true},
      {"OBR-3 of dots", "Mindray", "", "....", "Mindray/" + STAMP + ".hl7", "Mindray", true},
      {"OBR-3 of blanks", "Mindray", "", "    ", "Mindray/" + STAMP + ".hl7", "Mindray", true},
      {"OBR-3 of dots and blanks", "Mindray", "", ". . ", "Mindray/" + STAMP + ".hl7", "Mindray", true},
      {"no identifier at all: stamp, nothing logged", "Mindray", "", "", "Mindray/" + STAMP + ".hl7", "Mindray", false},
      {"MSH-4 of 65 bytes: no subfolder", Repeat("M", 65), "", "SAMPLE9", "SAMPLE9.hl7", Repeat("M", 65), false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    SCOPED_TRACE("row " + std::to_string(i) + ": " + r.name);
    NameSafetyEnv env;
    env.Feed({Oru("BC-5380", r.modelo, r.obr2, r.obr3)});
    EXPECT_EQ(env.Files(), std::vector<std::string>{r.file});
    EXPECT_TRUE(env.LogHas("Item salvo em " + env.saida + Utf8ToCp1252(r.file)));
    const std::vector<std::string> out(env.Client().outputBuffer.begin(), env.Client().outputBuffer.end());
    EXPECT_EQ(Repr(Joined(out)), Repr(AckR01("BC-5380", r.ackModelo, "Q1")));
    EXPECT_EQ(env.LogHas(LOG_UNUSABLE), r.logged);
    if (r.logged) {
      EXPECT_TRUE(env.LogHas("o arquivo leva a data e hora"));
    }
  }
}

// ---------------------------------------------------------------- ASTM

// Header, patient, order and terminator records unframed in one read.
std::string AstmResult(const std::string& remetente, const std::string& versao, const std::string& amostra) {
  return "H|\\^&|||" + remetente + "^00-24^22723||||||||" + versao + "\r" + "P|1|||37182|^TEST^PATIENT\r" +
         "O|1|" + amostra + "||^^^^WBC\\^^^^RBC\\^^^^PLT|R||||||N||||||||||||||F\r" +
         "R|1|^^^^WBC^1|8.13|10*3/uL||N||F||||20240627135407\r" + "L|1|N\r";
}

struct AstmRow {
  const char* name;
  std::string remetente;  // H-5, component 1
  std::string versao;     // H-13
  std::string amostra;    // O-3
  std::string file;
  bool logged;
};

TEST(ArchiveNameSafety, AstmResultsAreFiled) {
  const std::vector<AstmRow> rows = {
      {"plain sample (unchanged)", "XN-550", "LIS2-A2", "SAMPLE123^01", "XN-550/SAMPLE123^01.astm", false},
      {"double quote in the sample", "XN-550", "LIS2-A2", "12\"34", "XN-550/1234.astm", false},
      {"double quote in the sample, component 1", "XN-550", "1394-97", "12\"34^01", "XN-550/1234.astm", false},
      {"double quote in the sample, field 4 component 3", "XN-550", "E1394-97", "x|^^12\"34", "XN-550/1234.astm",
       false},
      {"sample that cleans to nothing", "XN-550", "LIS2-A2", "//", "XN-550/" + STAMP + ".astm", true},
      {"sample '-02' shortens to nothing", "XN-550", "LIS2-A2", "-02", "XN-550/" + STAMP + ".astm", true},
      {"sample '..'", "XN-550", "LIS2-A2", "..", "XN-550/" + STAMP + ".astm", true},
      {"sample of blanks", "XN-550", "LIS2-A2", "   ", "XN-550/" + STAMP + ".astm", true},
      {"sample of 300 characters", "XN-550", "LIS2-A2", Repeat("5", 300), "XN-550/" + STAMP + ".astm", true},
      {"sample of 128 accented bytes", "XN-550", "LIS2-A2", Repeat("\xE7", 128), "XN-550/" + STAMP + ".astm", true},
      {"sender '..': no subfolder", "..", "LIS2-A2", "S1", "S1.astm", false},
      {"sender of 65 bytes: no subfolder", Repeat("X", 65), "LIS2-A2", "S1", "S1.astm", false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    SCOPED_TRACE("row " + std::to_string(i) + ": " + r.name);
    NameSafetyEnv env;
    env.Feed({AstmResult(r.remetente, r.versao, r.amostra)});
    EXPECT_EQ(env.Files(), std::vector<std::string>{r.file});
    EXPECT_TRUE(env.LogHas("Item salvo em " + env.saida + Utf8ToCp1252(r.file)));
    EXPECT_EQ(env.LogHas(LOG_UNUSABLE), r.logged);
  }
}

// A query whose sample carries a double quote is not found, and the reply's
// order record carries the range as the analyzer sent it, not the rest of the Q record.
TEST(ArchiveNameSafety, AstmQueryWithQuoteIsAnsweredAsNotFound) {
  struct Row {
    const char* name;
    std::string q;
    std::string o;
  };
  const std::vector<Row> rows = {
      {"quote after the sample", "Q|1|^1001\"||^^^ALL||20260109094500|||||||O",
       "O|1|^1001\"||||20260109094500|||||||||||||||||||Y"},
      {"quote inside the sample", "Q|1|^10\"01^||^^^ALL||20260109094500|||||||O",
       "O|1|^10\"01^||||20260109094500|||||||||||||||||||Y"},
      {"no quote (unchanged)", "Q|1|^ABC^||^^^ALL||20260109094500|||||||O",
       "O|1|^ABC^||||20260109094500|||||||||||||||||||Y"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i) + ": " + rows[i].name);
    NameSafetyEnv env;
    env.Feed({"H|\\^&|||1^Analyzer 1^7.0|||||||P|LIS2-A2|20260109094500\r" + rows[i].q + "\rL|1|N\r"});
    const std::deque<std::string>& out = env.Client().outputBuffer;
    EXPECT_EQ(Repr(std::string(out.empty() ? "" : out[0])), Repr("H|\\^&|||||||||||LIS2-A2\rP|1\r" + rows[i].o + "\rL|1|N\r"));
    EXPECT_EQ(out.size(), 1u);
    EXPECT_TRUE(env.Files().empty());
  }
}

// ---------------------------------------------------------------- JSON

// A Diagno Icounter document of 33 lines, CR LF after each, and an empty line.
std::string Document(const std::string& identifier) {
  std::vector<std::string> l = {"{", "  \"identifier\": \"" + identifier + "\",", "  \"device\": \"Icounter\","};
  while (l.size() < 32) l.push_back("  \"p" + std::to_string(l.size()) + "\": " + std::to_string(l.size()) + ",");
  l.back().pop_back();
  l.push_back("}");
  std::string text;
  for (const auto& s : l) text += s + "\r\n";
  return text + "\r\n";
}

TEST(ArchiveNameSafety, JsonResultsAreFiled) {
  struct Row {
    const char* name;
    std::string identifier;  // as it stands inside the JSON string
    std::string file;
    bool logged;
  };
  const std::vector<Row> rows = {
      {"plain identifier (unchanged)", "AM5", "Icounter/AM5.json", false},
      {"identifier that cleans to nothing", "//", "Icounter/" + STAMP + ".json", true},
      {"identifier of dots", "...", "Icounter/" + STAMP + ".json", true},
      {"identifier of 300 characters", Repeat("A", 300), "Icounter/" + STAMP + ".json", true},
      {"identifier of 128 accented characters", Repeat("\xE3", 128), "Icounter/" + STAMP + ".json", true},
      {"double quote escaped in the identifier", "12\\\"34", "Icounter/1234.json", false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    SCOPED_TRACE("row " + std::to_string(i) + ": " + r.name);
    NameSafetyEnv env;
    env.Feed({Expand("<ENQ>"), Document(r.identifier), Expand("<EOT>")});
    EXPECT_EQ(env.Files(), std::vector<std::string>{r.file});
    EXPECT_TRUE(env.LogHas("Item salvo em " + env.saida + Utf8ToCp1252(r.file)));
    EXPECT_EQ(env.LogHas(LOG_UNUSABLE), r.logged);
  }
}

}  // namespace
