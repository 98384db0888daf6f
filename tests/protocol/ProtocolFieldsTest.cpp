// Pure protocol rules fed with double quotes and unusable names: every field
// read at every separator, and the names a file or model folder may take.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/TAnalisador.hpp"
#include "protocol/ArchiveNames.hpp"
#include "protocol/Astm.hpp"
#include "protocol/Headers.hpp"
#include "protocol/Hl7.hpp"
#include "support/TestSupport.hpp"

using kvtest::Repr;

namespace {

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(ArchiveNameRules, UnusableNameReason) {
  struct Row {
    std::string name;  // already cleaned
    std::string reason;
  };
  const std::vector<Row> rows = {
      {"", "vazio depois de limpo"},
      {".", "s\xF3 pontos ou brancos"},
      {"..", "s\xF3 pontos ou brancos"},
      {"....", "s\xF3 pontos ou brancos"},
      {"   ", "s\xF3 pontos ou brancos"},
      {". .", "s\xF3 pontos ou brancos"},
      {"\t", "s\xF3 pontos ou brancos"},
      {"\xA0\xA0", "s\xF3 pontos ou brancos"},
      {Repeat("8", 65), "65 bytes em UTF-8, m\xE1ximo 64"},
      {Repeat("7", 300), "300 bytes em UTF-8, m\xE1ximo 64"},
      {Repeat("\xE9", 33), "66 bytes em UTF-8, m\xE1ximo 64"},
      {Repeat("\xE9", 128), "256 bytes em UTF-8, m\xE1ximo 64"},
      // usable: the names that were right stay as they were
      {Repeat("8", 64), ""},
      {Repeat("\xE9", 32), ""},
      {"1234567", ""},
      {"SAMPLE123^01", ""},
      {" S43 ", ""},
      {"....x", ""},
      {"a.b", ""},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(Repr(protocol::UnusableNameReason(rows[i].name)), Repr(rows[i].reason))
        << "row " << i << ": " << Repr(rows[i].name);
  }
}

TEST(ArchiveNameRules, SubfolderName) {
  struct Row {
    std::string modelo, nomeTevarin, expected;
  };
  const std::vector<Row> rows = {
      {"XN-550", "Sysmex", "XN-550"},
      {"Mind\"ray", "", "Mindray"},
      {"..", "Dev", "Dev"},
      {"...", "", ""},
      {"   ", "Dev", "Dev"},
      {"\t", "", ""},
      {Repeat("M", 65), "Dev", "Dev"},
      {Repeat("M", 65), Repeat("D", 65), ""},
      {Repeat("M", 64), "Dev", Repeat("M", 64)},
      {Repeat("\xC7", 33), "BC-5380", "BC-5380"},
      {"//", "..", ""},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(Repr(protocol::SubfolderName(rows[i].modelo, rows[i].nomeTevarin)), Repr(rows[i].expected))
        << "row " << i << ": " << Repr(rows[i].modelo) << " / " << Repr(rows[i].nomeTevarin);
  }
}

TEST(ArchiveNameRules, ShortenIdentifierCutsAtTheFirstDashEvenAfterAQuote) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"12\"34-02", "12\"34"}, {"\"1234567-02", "\"1234567"}, {"1234567-02", "1234567"}, {"12\"34", "12\"34"}};
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(Repr(protocol::ShortenIdentifier(rows[i].first)), Repr(rows[i].second)) << "row " << i;
  }
}

TEST(ArchiveNameRules, BlockSampleIdentifierWithQuotes) {
  struct Row {
    int32_t protocolo;
    std::string versao;
    std::vector<std::string> bloco;
    std::string expected;
  };
  const std::string resto = "||^^^^WBC\\^^^^RBC\\^^^^PLT|R||||||N||||||||||||||F";
  const std::vector<Row> rows = {
      {PROTOCOLO_ASTM, "LIS2-A2", {"H|", "O|1|12\"34" + resto}, "12\"34"},
      {PROTOCOLO_ASTM, "1394-97", {"O|1|12\"34^01" + resto}, "12\"34"},
      {PROTOCOLO_ASTM, "E1394-97", {"O|1|x|^^12\"34|^^^^WBC"}, "12\"34"},
      {PROTOCOLO_ASTM, "E1394-97", {"O|1|12\"34||^^^^WBC"}, "12\"34"},
      {PROTOCOLO_ASTM, "LIS2-A2", {"O|1|\"\"|"}, "\"\""},
      {PROTOCOLO_HL7, "2.3.1", {"MSH|", "OBR|1||12\"34|00001^Automated Count^99MRC||20260109094500|HMLAB01"}, "12\"34"},
      {PROTOCOLO_HL7, "2.3.1", {"MSH|", "OBR|1|AB\"CD|X"}, "AB\"CD"},
      {PROTOCOLO_HL7, "2.3.1", {"MSH|", "PID|1|P\"7|x", "OBR|1|AB|"}, "P\"7"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(Repr(protocol::BlockSampleIdentifier(rows[i].bloco, rows[i].protocolo, rows[i].versao)),
              Repr(rows[i].expected))
        << "row " << i;
  }
}

TEST(HeaderIdentity, QuotesInHeaderFields) {
  struct Row {
    std::string linha;
    std::string versao, aplicacao, modelo;
  };
  const std::vector<Row> rows = {
      {"MSH|^~\\&|BC-5380|Mind\"ray|||20260109094500||ORU^R01|Q1|P|2.3.1||||||UNICODE", "2.3.1", "BC-5380",
       "Mind\"ray"},
      {"MSH|^~\\&|BC\"5380|Mindray|||20260109094500||ORU^R01|Q1|P|2.3.1", "2.3.1", "BC\"5380", "Mindray"},
      {"H|\\^&|||XN\"550^00-24^22723|||||||P|E1394-97|20240805", "E1394-97", "XN\"550", "XN\"550"},
      {"H|\\^&|||XN-550^00-24^22723|||||||P|E1394-97|20240805", "E1394-97", "XN-550", "XN-550"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const protocol::THeaderIdentity h = protocol::ReadHeader(rows[i].linha);
    EXPECT_TRUE(h.padrao) << "row " << i;
    EXPECT_EQ(Repr(h.versao), Repr(rows[i].versao)) << "row " << i;
    EXPECT_EQ(Repr(h.aplicacao), Repr(rows[i].aplicacao)) << "row " << i;
    EXPECT_EQ(Repr(h.modelo), Repr(rows[i].modelo)) << "row " << i;
  }
}

TEST(Hl7Values, AckValuesWithQuotes) {
  struct Row {
    std::string msh, fabricante, modelo, id;
  };
  const std::vector<Row> rows = {
      {"MSH|^~\\&|BC-5380|Mind\"ray|||20260109094500||ORU^R01|Q1|P|2.3.1||||||UNICODE", "BC-5380", "Mind\"ray", "Q1"},
      {"MSH|^~\\&|\"BC-5380|Mindray|||20260109094500||ORU^R01|Q\"1|P|2.3.1", "\"BC-5380", "Mindray", "Q\"1"},
      {"MSH|^~\\&|BC-5380|Mindray|||20260109094500||ORU^R01|Q1|P|2.3.1", "BC-5380", "Mindray", "Q1"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const hl7::AckValues v = hl7::ReadAckValues(rows[i].msh);
    EXPECT_EQ(Repr(v.fabricante), Repr(rows[i].fabricante)) << "row " << i;
    EXPECT_EQ(Repr(v.modelo), Repr(rows[i].modelo)) << "row " << i;
    EXPECT_EQ(Repr(v.id_message), Repr(rows[i].id)) << "row " << i;
  }
}

TEST(Hl7Values, QueryValuesWithQuotes) {
  struct Row {
    TLines msg;
    int32_t tipo;
    std::string message_id, versao, encoding, id_amostra, id_query;
  };
  const std::vector<Row> rows = {
      {{"MSH|^~\\&|LIS|Mind\"ray|||20260109094500||QRY^Q02|7|P|2.3.1||||||ASCII",
        "QRD|20260109094500|R|D|3|||RD|10\"01|OTH|||T", "QRF|CL-2000i|||||RCT|COR|ALL|"},
       hl7::QUERY_QRY, "7", "2.3.1", "ASCII", "10\"01", "3"},
      {{"MSH|^~\\&|LIS|Mind\"ray|||20260109094500||ORM^O01|8|P|2.3.1||||||ASCII", "ORC|RF|10\"01|||IP"},
       hl7::QUERY_ORM, "8", "2.3.1", "ASCII", "", ""},
      {{"MSH|^~\\&|LIS|Mindray|||20260109094500||ORM^O01|8|P|2.3.1||||||ASCII", "ORC|RF||SA\"1|IP"},
       hl7::QUERY_ORM, "8", "2.3.1", "ASCII", "SA\"1", ""},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const hl7::QueryValues v = hl7::ReadQueryValues(rows[i].msg, rows[i].tipo);
    EXPECT_EQ(Repr(v.message_id), Repr(rows[i].message_id)) << "row " << i;
    EXPECT_EQ(Repr(v.versao_protocolo), Repr(rows[i].versao)) << "row " << i;
    EXPECT_EQ(Repr(v.encoding), Repr(rows[i].encoding)) << "row " << i;
    EXPECT_EQ(Repr(v.id_amostra), Repr(rows[i].id_amostra)) << "row " << i;
    EXPECT_EQ(Repr(v.id_query), Repr(rows[i].id_query)) << "row " << i;
  }
}

TEST(AstmQueryRange, SampleIdentifierWithQuotes) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"^1001\"", "1001\""},       {"^10\"01^", "10\"01"}, {"^\"1001", "\"1001"},
      {"^2240801237^^", "2240801237"}, {"^\"\"", ""},       {"", ""},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(Repr(astm::SampleIdentifier(rows[i].first)), Repr(rows[i].second)) << "row " << i;
  }
}

}  // namespace
