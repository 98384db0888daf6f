// Reception end to end: identification visible in the log, JSON archiving,
// line cutting across chunk boundaries and archive file names.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "ServiceHarness.hpp"

using namespace kvtest;

namespace {

class ServiceReception : public ServiceSuite {};

// The demo JSON document: 33 non-empty lines with `identifier`; with `extra`
// one more non-empty line before the closing brace (34).
std::vector<std::string> JsonLines(const std::string& identifier, bool extra = false) {
  std::vector<std::string> lines;
  const std::string text = ReadFile(std::string(KV_SOURCE_DIR) + "/demo/messages/icounter.json");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  for (auto& l : lines)
    if (l.find("\"identifier\"") != std::string::npos) l = "  \"identifier\": \"" + identifier + "\",";
  if (extra) lines.insert(lines.end() - 1, "  ,\"extra\": 1");
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines, const std::string& eol) {
  std::string out;
  for (const auto& l : lines) out += l + eol;
  return out;
}

// Waits for the file to exist and be complete (renamed into place).
std::string WaitArchive(const std::string& path) {
  WaitFor([&] { return FileExists(path); });
  return ReadFile(path);
}

}  // namespace

TEST_F(ServiceReception, IdentificationOfHeadersIsLogged) {
  struct Row {
    std::string name;
    std::string chunk;
    std::string logged;
  };
  const std::vector<Row> rows = {
      {"framed ASTM header", Expand("<STX>1H|\\^&|||XN-550^00-24|||||||P|LIS2-A2<CR><ETX>00<CR><LF>"),
       "Protocolo identificado: ASTM "},
      {"plain ASTM header", "H|\\^&|||XN-550^1|||||||P|LIS2-A2\r", "Protocolo identificado: ASTM "},
      {"MLLP HL7 header", Expand("<VT>MSH|^~\\&|BC-5380|Mindray|||20260109||ORU^R01|1|P|2.3.1<CR>"),
       "Protocolo identificado: HL7 "},
      {"plain HL7 header", "MSH|^~\\&|BC-5380|Mindray|||20260109||ORU^R01|1|P|2.3.1\r",
       "Protocolo identificado: HL7 "},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const size_t before = Count(svc_->LogText(), rows[i].logged);
    Peer peer(svc_->port());
    peer.Send(rows[i].chunk);
    EXPECT_TRUE(WaitFor([&] { return Count(svc_->LogText(), rows[i].logged) > before; }))
        << "row " << i << " (" << rows[i].name << ")";
  }
}

TEST_F(ServiceReception, JsonDocumentsArchivedByLineCount) {
  struct Row {
    std::string name;
    std::string identifier;
    std::vector<std::string> chunks;  // sent in order, then a lone EOT
    std::vector<std::string> files;   // expected new files under <saida>/Icounter/
    bool residue;                     // the residue line is logged
  };
  const std::string crlf = "\r\n";
  ASSERT_EQ(JsonLines("x").size(), 33u);
  std::vector<std::string> several;
  const auto lines5 = JsonLines("J5", true);
  for (size_t at = 0; at < lines5.size(); at += 5)
    several.push_back(JoinLines({lines5.begin() + at, lines5.begin() + std::min(at + 5, lines5.size())}, crlf));
  const std::vector<Row> rows = {
      {"33 lines and a blank", "J33", {JoinLines(JsonLines("J33"), crlf) + crlf}, {"J33.json"}, false},
      {"34 lines and nothing after", "J34", {JoinLines(JsonLines("J34", true), crlf)}, {"J34.json"}, false},
      {"34 lines and a blank make 35: kept", "J35", {JoinLines(JsonLines("J35", true), crlf) + crlf}, {}, true},
      {"two documents of 33 lines and a blank", "",
       {JoinLines(JsonLines("J2A"), crlf) + crlf + JoinLines(JsonLines("J2B"), crlf) + crlf},
       {"J2A.json", "J2B.json"}, false},
      {"one document in several chunks", "J5", several, {"J5.json"}, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    Peer peer(svc_->port());
    for (const auto& c : rows[i].chunks) ASSERT_TRUE(SendRead(*svc_, peer, c)) << "row " << i;
    ASSERT_TRUE(SendEot(*svc_, peer)) << "row " << i;
    for (const auto& f : rows[i].files) {
      const std::string content = WaitArchive(Saida() + "/Icounter/" + f);
      ASSERT_FALSE(content.empty()) << "row " << i << " file " << f;
      EXPECT_EQ(Count(content, "\r\n"), 34u) << "row " << i << " file " << f;
      EXPECT_EQ(content.substr(0, 3), "{\r\n") << "row " << i;
    }
    if (rows[i].files.empty()) {
      EXPECT_FALSE(FileExists(Saida() + "/Icounter/" + rows[i].identifier + ".json")) << "row " << i;
    }
    if (rows[i].residue) {
      EXPECT_NE(svc_->LogText().find("Buffer cont\xE9m res\xED" "duos"), std::string::npos) << "row " << i;
    }
    // A JSON client gets nothing back.
    EXPECT_EQ(Repr(peer.ReadFor(50ms)), "") << "row " << i;
  }
  EXPECT_EQ(Repr(WaitArchive(Saida() + "/Icounter/J34.json")), Repr(JoinLines(JsonLines("J34", true), crlf)));
  EXPECT_EQ(Repr(WaitArchive(Saida() + "/Icounter/J33.json")), Repr(JoinLines(JsonLines("J33"), crlf) + crlf));
  EXPECT_NE(svc_->LogText().find("Protocolo identificado: Json Diagno "), std::string::npos);
  EXPECT_NE(svc_->LogText().find("Item salvo em " + Saida() + "/Icounter/J34.json"), std::string::npos);
}

TEST_F(ServiceReception, JsonFileNamesSuffixAndCleaning) {
  struct Row {
    std::string identifier;
    std::string expectedFile;  // relative to <saida>/Icounter/
  };
  const std::vector<Row> rows = {
      {"5555", "5555.json"},
      {"5555", "5555-01.json"},
      {"5555-02", "5555-02.json"},  // the part before "-": 5555, taken twice already
      {"12345678901", "1234567.json"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    Peer peer(svc_->port());
    ASSERT_TRUE(SendRead(*svc_, peer, JoinLines(JsonLines(rows[i].identifier), "\r\n") + "\r\n"));
    ASSERT_TRUE(SendEot(*svc_, peer));
    EXPECT_FALSE(WaitArchive(Saida() + "/Icounter/" + rows[i].expectedFile).empty())
        << "row " << i << ": " << rows[i].identifier;
    peer.Close();
  }
  // No identifier: the time stamp "yyyymmdd-hhnnmm-sss" names the file (the
  // month where seconds would be expected).
  {
    Peer stamp(svc_->port());
    ASSERT_TRUE(SendRead(*svc_, stamp, JoinLines(JsonLines(""), "\r\n") + "\r\n"));
    ASSERT_TRUE(SendEot(*svc_, stamp));
    const std::regex pattern(R"((\d{4})(\d{2})(\d{2})-(\d{2})(\d{2})(\d{2})-(\d{2})\.json)");
    std::string found;
    WaitFor([&] {
      for (const auto& f : ListFiles(Saida() + "/Icounter", false))
        if (std::regex_match(f, pattern)) found = f;
      return !found.empty();
    });
    std::smatch m;
    ASSERT_TRUE(std::regex_match(found, m, pattern)) << "no time-stamped file";
    EXPECT_EQ(m[6].str(), m[2].str()) << found;
  }
  // An identifier with path separators never leaves <saida>/Icounter/.
  Peer peer(svc_->port());
  ASSERT_TRUE(SendRead(*svc_, peer, JoinLines(JsonLines("../../evil"), "\r\n") + "\r\n"));
  ASSERT_TRUE(SendEot(*svc_, peer));
  size_t evil = 0;
  for (const auto& f : ListFiles(dir_->path(), true)) {
    if (f.find("evil") == std::string::npos) continue;
    ++evil;
    EXPECT_EQ(f.rfind("saida/Icounter/", 0), 0u) << f;
    EXPECT_EQ(f.find('/', std::string("saida/Icounter/").size()), std::string::npos) << f;
  }
  EXPECT_EQ(evil, 1u);
  for (const auto& f : ListFiles(Saida(), true)) EXPECT_EQ(f.find(".tmp"), std::string::npos) << f;
}

TEST_F(ServiceReception, LineCuttingAcrossChunkBoundariesGivesTheSameArchive) {
  // An HL7 result sent whole, then cut at line breaks, inside CR LF, and inside segments.
  const std::string message =
      "\x0bMSH|^~\\&|BC-5380|Mindray|||20260109094500||ORU^R01|1|P|2.3.1||||||UNICODE\r"
      "PID|1||4242^^^^MR||SOUZA^ANA||19800101|F\r"
      "OBR|1||4242|00001^Automated Count^99MRC||20260109094500\r"
      "OBX|1|NM|6690-2^WBC^LN||7.85|10*9/L|5.00-12.00|N|||F\r"
      "OBX|2|NM|789-8^RBC^LN||4.61|10*12/L|4.00-5.20|N|||F\r"
      "\x1c\r";
  const std::vector<std::vector<size_t>> cuts = {
      {},                              // whole
      {message.find("PID"), message.find("OBR"), message.find("OBX"), message.find("OBX|2")},  // at segment starts
      {message.find("PID") - 1, message.find("OBX") - 1},  // right before a CR
      {message.find("PID") + 5, message.find("OBR") + 9, message.find("OBX|2") + 3},  // inside segments
      {message.size() - 2, message.size() - 1},  // FS and CR apart
  };
  auto filed = [&] { return kvtest::ListArchiveFiles(Saida() + "/Mindray", false); };
  std::vector<std::string> archives;
  for (size_t r = 0; r < cuts.size(); ++r) {
    const auto before = filed();
    Peer peer(svc_->port());
    size_t at = 0;
    for (size_t cut : cuts[r]) {
      // Each piece is read on its own, so that the cut is real.
      ASSERT_TRUE(SendRead(*svc_, peer, message.substr(at, cut - at))) << "row " << r;
      at = cut;
    }
    peer.Send(message.substr(at));
    // The acknowledgement comes when the message is complete.
    const std::string ack = peer.ReadUntilEndsWith(Expand("<FS><CR>"));
    EXPECT_NE(ack.find("ACK^R01"), std::string::npos) << "row " << r << ": " << Repr(ack);
    ASSERT_TRUE(WaitFor([&] { return filed().size() > before.size(); }))
        << "row " << r;
    std::string added;
    for (const auto& f : filed())
      if (std::find(before.begin(), before.end(), f) == before.end()) added = f;
    EXPECT_EQ(added.rfind("4242", 0), 0u) << "row " << r << ": " << added;
    archives.push_back(ReadFile(Saida() + "/Mindray/" + added));
  }
  for (size_t r = 1; r < archives.size(); ++r)
    EXPECT_EQ(Repr(archives[r]), Repr(archives[0])) << "row " << r;
  // Five segments, framing stripped, and the empty line that ended the block.
  EXPECT_EQ(Count(archives[0], "\r\n"), 6u) << Repr(archives[0]);
  EXPECT_EQ(archives[0].rfind("MSH|", 0), 0u) << Repr(archives[0]);
}
