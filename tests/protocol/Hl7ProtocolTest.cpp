// The pure pieces of the HL7 handler: cutting, cleaning, message types,
// joining, MSH positions, control-id increments and the reply texts.
#include <gtest/gtest.h>

#include <climits>

#include "protocol/ArchiveNames.hpp"
#include "protocol/Controls.hpp"
#include "protocol/Hl7.hpp"
#include "protocol/Hl7TestUtil.hpp"

using hl7test::Buffer;
using hl7test::Fmt;
using hl7test::Lines;
using hl7test::ReprLines;
using kvtest::Repr;

namespace {

const std::vector<std::string> PREFIXOS_PREPARAR_BUFFER = {"MSH", "PID", "PV1", "OBR", "OBX"};

TEST(Hl7Cut, TakesLinesUpToTheFirstFsLine) {
  struct Row {
    std::deque<std::string> input;
    bool found;
    std::vector<std::string> block;
    size_t source;
  };
  const std::vector<Row> rows = {
      {{}, false, {}, 0},
      {Buffer({"<VT>MSH|^~\\&|A", "PID|1"}), false, {}, 0},
      {Buffer({"<VT>MSH|^~\\&|A", "PID|1", "<FS>", "<VT>MSH|^~\\&|B", "<FS>"}), true,
       Lines({"<VT>MSH|^~\\&|A", "PID|1", "<FS>"}), 3},
      {Buffer({"<VT>MSH|^~\\&|A", "OBX|1<FS>"}), true, Lines({"<VT>MSH|^~\\&|A", "OBX|1<FS>"}), 2},
      // A terminator marker never enters a block but counts as consumed.
      {Buffer({"<VT>MSH|^~\\&|A", TERMINADOR_BLOCO, "<FS>"}), true, Lines({"<VT>MSH|^~\\&|A", "<FS>"}), 3},
      // Text before the framed message is cut together with it.
      {Buffer({"junk", "<VT>MSH|^~\\&|A", "<FS>", "rest"}), true, Lines({"junk", "<VT>MSH|^~\\&|A", "<FS>"}), 3},
      {Buffer({"<FS>"}), true, Lines({"<FS>"}), 1},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    size_t source = 99;
    const auto block = hl7::GetBlocoProcessarHL7(rows[i].input, source);
    ASSERT_EQ(block.has_value(), rows[i].found) << "row " << i;
    EXPECT_EQ(source, rows[i].source) << "row " << i;
    if (block) {
      EXPECT_EQ(*block, rows[i].block) << "row " << i << ": " << ReprLines(*block);
    }
  }
}

TEST(Hl7Clean, RemovesVtAndFsKeepingTheLineCount) {
  TLines block = Lines({"<VT>MSH|^~\\&|A<VT>", "PID|<FS>1", "<FS>", "<VT><FS>", "OBX|1<CR>"});
  hl7::LimparBlocoHL7(block);
  EXPECT_EQ(block, Lines({"MSH|^~\\&|A", "PID|1", "", "", "OBX|1<CR>"})) << ReprLines(block);
}

TEST(Hl7MessageType, DetectsQueriesOrdersAndConfirmations) {
  struct Row {
    std::string line;
    int32_t type;
    bool confirmation;
  };
  const std::vector<Row> rows = {
      {"MSH|^~\\&|||||20120508104700||QRY^Q02|4|P|2.3.1", hl7::QUERY_QRY, false},
      {"MSH|^~\\&|||||20190504060725||ORM^O01|389|P|2.3.1", hl7::QUERY_ORM, false},
      {"MSH|^~\\&|||||20190504060725||ORU^R01|389|P|2.3.1", hl7::QUERY_NID, false},
      {"MSH|^~\\&|||||x||ORM^O01|QRY^Q02|", hl7::QUERY_QRY, false},  // both: a query
      {"MSH|^~\\&|||||x||qry^q02|1|", hl7::QUERY_NID, false},        // case-sensitive
      {"MSH|^~\\&|||||x||QRY^Q02", hl7::QUERY_NID, false},           // no closing bar
      {"MSH|^~\\&|||||x||ACK^Q03|7|P", hl7::QUERY_NID, true},
      {"MSH|^~\\&|||||x||ACK^Q03", hl7::QUERY_NID, false},
      {"", hl7::QUERY_NID, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(hl7::GetMessageType(rows[i].line), rows[i].type) << "row " << i;
    EXPECT_EQ(hl7::IsConfirmationMessageHL7({rows[i].line, "MSA|AA|1"}), rows[i].confirmation) << "row " << i;
  }
  EXPECT_FALSE(hl7::IsConfirmationMessageHL7({}));
  EXPECT_FALSE(hl7::IsConfirmationMessageHL7({"MSH|^~\\&|", "MSH|||ACK^Q03|1"}));
}

TEST(Hl7Join, PrefixListsDiffer) {
  ASSERT_EQ(hl7::HL7_PREFIXOS, (std::vector<std::string>{"MSH", "PID", "PV1", "SPM", "SAC", "OBR", "ORC", "OBX"}));
  struct Row {
    std::string line;
    bool handler;  // the HL7 handler's eight names
    bool buffer;   // the five names the protocol preparation uses
  };
  const std::vector<Row> rows = {
      {"MSH|^~\\&|", true, true}, {"PID|1", true, true},   {"PV1|1", true, true},  {"OBR|1", true, true},
      {"OBX|1", true, true},      {"OBXfoo", true, true},  {"ORC|RF", true, false}, {"SPM|1", true, false},
      {"SAC|1", true, false},     {"NTE|1", false, false}, {"obx|1", false, false}, {" MSH|", false, false},
      {"MS", false, false},       {"", false, false},      {"<VT>MSH|", false, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string line = kvtest::Expand(rows[i].line);
    EXPECT_EQ(hl7::PrefixoOK(line, hl7::HL7_PREFIXOS), rows[i].handler) << "row " << i;
    EXPECT_EQ(hl7::PrefixoOK(line, PREFIXOS_PREPARAR_BUFFER), rows[i].buffer) << "row " << i;
  }
}

TEST(Hl7Join, JoinsContinuationLinesOntoTheSegmentBefore) {
  struct Row {
    std::vector<std::string> in;
    std::vector<std::string> eight;  // with HL7_PREFIXOS
    std::vector<std::string> five;   // with the five-name list
  };
  const std::vector<Row> rows = {
      {{"MSH|a", "PID|1|x", "^rest", "OBR|1", "OBX|1"},
       {"MSH|a", "PID|1|x^rest", "OBR|1", "OBX|1"},
       {"MSH|a", "PID|1|x^rest", "OBR|1", "OBX|1"}},
      {{"MSH|a", "ORC|RF||1", "OBR|1"}, {"MSH|a", "ORC|RF||1", "OBR|1"}, {"MSH|aORC|RF||1", "OBR|1"}},
      {{"MSH|a", "SPM|1", "SAC|2", "NTE|3"}, {"MSH|a", "SPM|1", "SAC|2NTE|3"}, {"MSH|aSPM|1SAC|2NTE|3"}},
      // An empty line stays a line of its own; a continuation after it joins it.
      {{"MSH|a", "", "OBX|1", ""}, {"MSH|a", "", "OBX|1", ""}, {"MSH|a", "", "OBX|1", ""}},
      {{"MSH|a", "", "tail"}, {"MSH|a", "tail"}, {"MSH|a", "tail"}},
      // A first line that is no segment has nothing to join and stays.
      {{"junk", "MSH|a", "PID|1"}, {"junk", "MSH|a", "PID|1"}, {"junk", "MSH|a", "PID|1"}},
      {{"junk", "more", "MSH|a"}, {"junkmore", "MSH|a"}, {"junkmore", "MSH|a"}},
      {{"", "MSH|a"}, {"", "MSH|a"}, {"", "MSH|a"}},
      {{}, {}, {}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TLines a = rows[i].in;
    hl7::PrepararBlocoHL7(a);
    EXPECT_EQ(a, rows[i].eight) << "row " << i << ": " << ReprLines(a);
    TLines b = rows[i].in;
    hl7::PrepararBlocoHL7(b, PREFIXOS_PREPARAR_BUFFER);
    EXPECT_EQ(b, rows[i].five) << "row " << i << ": " << ReprLines(b);
  }
}

TEST(Hl7Msh, ValuesAreReadWhereTheHeaderPutsThem) {
  struct Row {
    std::string msh;
    std::string fabricante, modelo, id;
  };
  const std::vector<Row> rows = {
      {"MSH|^~\\&|APP|FAC|||20240101||ORU^R01|77|P|2.3.1", "APP", "FAC", "77"},
      // Encoding characters in field 4: everything two further right.
      {"MSH|x|y|^~\\&|APP|FAC|||20240101||ORU^R01|77|P|2.3.1", "APP", "FAC", "77"},
      // Neither: the specified piece numbers.
      {"MSH|^~\\&#|APP|FAC|||20240101||ORU^R01|77|P|2.3.1", "APP", "FAC", "77"},
      {"MSH|^~\\&|APP", "APP", "", ""},
      {"MSH", "", "", ""},
      {"", "", "", ""},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto v = hl7::ReadAckValues(rows[i].msh);
    EXPECT_EQ(v.fabricante, rows[i].fabricante) << "row " << i;
    EXPECT_EQ(v.modelo, rows[i].modelo) << "row " << i;
    EXPECT_EQ(v.id_message, rows[i].id) << "row " << i;
  }
  EXPECT_EQ(hl7::MshPiece("MSH|^~\\&|a", 10, 12), 10);
  EXPECT_EQ(hl7::MshPiece("MSH|a|b|^~\\&|c", 10, 12), 12);
  EXPECT_EQ(hl7::MshPiece("MSH|a|b|^~\\&|c", 10, 10), 12);
  EXPECT_EQ(hl7::MshPiece("MSH|^~\\&#|b|c", 10, 12), 12);
  EXPECT_EQ(hl7::MshPiece("MSH|^~\\&#|b|c", 10, 10), 10);
}

TEST(Hl7Msh, QueryAndOrderValues) {
  const TLines qry = {"MSH|^~\\&|||||20120508104700||QRY^Q02|4|P|2.3.1||||||ASCII|||",
                      "QRD|20120508104700|R|D|1|||RD|0019|OTH|||T|", "QRF||||||RCT|COR|ALL||"};
  auto v = hl7::ReadQueryValues(qry, hl7::QUERY_QRY);
  EXPECT_EQ(v.message_id, "4");
  EXPECT_EQ(v.versao_protocolo, "2.3.1");
  EXPECT_EQ(v.encoding, "ASCII");
  EXPECT_EQ(v.id_amostra, "0019");
  EXPECT_EQ(v.id_query, "1");
  EXPECT_EQ(v.qrf, qry[2]);

  // A standard ORM header: the control id, not the version, is echoed.
  const TLines orm = {"MSH|^~\\&|||||20190504060725||ORM^O01|389|P|2.3.1||||||UNICODE", "ORC|RF||TEST01||IP"};
  v = hl7::ReadQueryValues(orm, hl7::QUERY_ORM);
  EXPECT_EQ(v.message_id, "389");
  EXPECT_EQ(v.versao_protocolo, "2.3.1");
  EXPECT_EQ(v.encoding, "UNICODE");
  EXPECT_EQ(v.id_amostra, "TEST01");
  EXPECT_EQ(v.id_query, "");

  // The shifted header is read at the specified (shifted) pieces.
  const TLines ormShifted = {"MSH|a|b|^~\\&|||||20190504060725||ORM^O01|390|P|2.3.1||||||UNICODE",
                             "ORC|RF||TEST02||IP"};
  v = hl7::ReadQueryValues(ormShifted, hl7::QUERY_ORM);
  EXPECT_EQ(v.message_id, "390");
  EXPECT_EQ(v.versao_protocolo, "2.3.1");
  EXPECT_EQ(v.encoding, "UNICODE");

  // Other encoding characters: the specified pieces (12, 14, 20 for an order).
  const TLines ormOther = {"MSH|^~\\&#|||||t||ORM^O01|391|P|2.3.1|||||||", "ORC|RF||X"};
  v = hl7::ReadQueryValues(ormOther, hl7::QUERY_ORM);
  EXPECT_EQ(v.message_id, "2.3.1");

  EXPECT_THROW(hl7::ReadQueryValues({qry[0], qry[1]}, hl7::QUERY_QRY), std::out_of_range);
  EXPECT_THROW(hl7::ReadQueryValues({orm[0]}, hl7::QUERY_ORM), std::out_of_range);
  EXPECT_THROW(hl7::ReadQueryValues({}, hl7::QUERY_QRY), std::out_of_range);
}

TEST(Hl7QueryValues, VisibleCodeAndLookupGuard) {
  EXPECT_EQ(protocol::VisibleOrderCode("10686870001"), "1068687");
  EXPECT_EQ(protocol::VisibleOrderCode("1068687000"), "1068687000");
  EXPECT_EQ(protocol::VisibleOrderCode("106868700012"), "106868700012");
  EXPECT_TRUE(hl7::CodigoPesquisavel("0019"));
  EXPECT_TRUE(hl7::CodigoPesquisavel("2240801237"));
  EXPECT_FALSE(hl7::CodigoPesquisavel(""));
  EXPECT_FALSE(hl7::CodigoPesquisavel("TEST01"));
  EXPECT_FALSE(hl7::CodigoPesquisavel("1 or 1=1"));
  EXPECT_FALSE(hl7::CodigoPesquisavel("1001)"));
}

TEST(Hl7MessageId, Increments) {
  struct Row {
    std::string in, out;
    bool changed;
  };
  const std::vector<Row> rows = {
      {"41", "42", true},
      {"0", "1", true},
      {"-1", "0", true},
      {"-42", "-41", true},
      {"+41", "42", true},
      {"007", "8", true},
      {"   41", "42", true},
      {"  -5", "-4", true},
      {"9223372036854775807", "-9223372036854775808", true},
      {"-9223372036854775808", "-9223372036854775807", true},
      {"9223372036854775808", "9223372036854775808", false},  // beyond 64 bits
      {"-9223372036854775809", "-9223372036854775809", false},
      {"99999999999999999999", "99999999999999999999", false},
      {"$1F", "32", true},
      {"$ff", "256", true},
      {"x10", "17", true},
      {"X10", "17", true},
      {"0x10", "17", true},
      {"0X1a", "27", true},
      {"-$10", "-15", true},
      {"$7FFFFFFFFFFFFFFF", "-9223372036854775808", true},
      {"$FFFFFFFFFFFFFFFF", "0", true},
      {"$10000000000000000", "$10000000000000000", false},
      {"$", "$", false},
      {"0x", "0x", false},
      {"$G1", "$G1", false},
      {"A41", "A41", false},
      {"41A", "41A", false},
      {"41 ", "41 ", false},
      {"4 1", "4 1", false},
      {"", "", false},
      {" ", " ", false},
      {"-", "-", false},
      {"+-1", "+-1", false},
      {"\t41", "\t41", false},
      {"1.5", "1.5", false},
      {"1e3", "1e3", false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    std::string id = rows[i].in;
    EXPECT_EQ(hl7::IncMessageID(id), rows[i].changed) << "row " << i << " [" << rows[i].in << "]";
    EXPECT_EQ(id, rows[i].out) << "row " << i << " [" << rows[i].in << "]";
  }
}

TEST(Hl7Replies, AckR01ByteForByte) {
  const TDateTime t{2024, 1, 5, 14, 57, 7, 0};
  const std::string expected =
      Fmt("MSH|^~\\&|%s|%s|||%s||ACK^R01|%s|P|2.3.1||||0||ASCII|||", {"BC-5380", "Mindray", "20240105145707", "77"}) +
      "\r" + Fmt("MSA|AA|%s|Message accepted|||0|", {"77"}) + "\r";
  const auto ack = hl7::BuildAckR01({"BC-5380", "Mindray", "77"}, t);
  EXPECT_EQ(Repr(ack), Repr(expected));
  // Empty values leave empty fields.
  EXPECT_EQ(Repr(hl7::BuildAckR01({"", "", ""}, t)),
            Repr("MSH|^~\\&|||||20240105145707||ACK^R01||P|2.3.1||||0||ASCII|||\rMSA|AA||Message accepted|||0|\r"));
}

TEST(Hl7Replies, TimestampsHaveFixedWidth) {
  EXPECT_EQ(hl7::FormatTimestamp(TDateTime{}), "18991230000000");
  EXPECT_EQ(hl7::FormatDate(TDateTime{}), "18991230");
  EXPECT_EQ(hl7::FormatTimestamp(TDateTime{2024, 2, 9, 3, 4, 5, 999}), "20240209030405");
}

TEST(Hl7Replies, QueryRepliesByteForByte) {
  const TDateTime t{2024, 8, 5, 14, 57, 7, 0};
  const std::string now = "20240805145707";
  hl7::QueryValues v;
  v.message_id = "42";
  v.versao_protocolo = "2.3.1";
  v.encoding = "ASCII";
  v.id_amostra = "1001";
  v.id_query = "1";
  v.qrf = "QRF||||||RCT|COR|ALL||";
  const hl7::Remetente r{"BC-5380", "Mindray"};

  EXPECT_EQ(Repr(hl7::BuildQckQ02Found(r, v, t)),
            Repr(Fmt("MSH|^~\\&|||%s|%s|%s||QCK^Q02|%s|P|%s||||||%s|||",
                     {"BC-5380", "Mindray", now, "42", "2.3.1", "ASCII"}) +
                 "\rMSA|AA|42|Message accepted|||0|\rERR|0|\rQAK|SR|OK|\r"));

  EXPECT_EQ(Repr(hl7::BuildQckQ02NotFound(r, v, t)),
            Repr("MSH|^~\\&|BC-5380|Mindray|||" + now +
                 "||QCK^Q02|42|P|2.3.1||||||UNICODE|||\rMSA|AA|42|Message accepted|||0\rERR|0\rQAK|SR|NF\r"));

  hl7::OrderData p;
  p.ped_urg = "S";
  p.cli_nom = "Jo\xE3o da Silva";
  p.cpf_dta_nas = TDateTime{1980, 5, 14, 0, 0, 0, 0};
  p.cpf_sex = "M";
  p.mat_cod = "1";
  p.mat_dsc = "Sangue total EDTA";
  p.med_nom = "Dra. M\xE1rcia Lopes";
  p.grp_dsc = "Ambulat\xF3rio";
  std::string dsr = Fmt("MSH|^~\\&|||%s|%s|%s||DSR^Q03|%s|P|%s||||||%s|||",
                        {"BC-5380", "Mindray", now, "42", "2.3.1", "ASCII"}) +
                    "\rMSA|AA|42|Message accepted|||0|\rERR|0|\rQAK|SR|OK|\r" +
                    Fmt("QRD|%s|R|D|%s|||RD|%s|OTH|||T|", {now, "1", "1001"}) + "\r" + v.qrf + "\r";
  const std::vector<std::string> dsp = {"",  "",  p.cli_nom, "19800514000000", "M", "", "", "", "", "", "",
                                        "",  "",  "",        "",               "",  "", "", "", "", "1001",
                                        "1", now, "Y",       "",               p.mat_dsc, p.med_nom, p.grp_dsc};
  ASSERT_EQ(dsp.size(), 28u);
  for (size_t i = 0; i < dsp.size(); ++i) dsr += Fmt("DSP|%d||%s|||", {std::to_string(i + 1), dsp[i]}) + "\r";
  const std::string semExames = dsr + "DSC||\r";
  EXPECT_EQ(Repr(hl7::BuildDsrQ03(r, v, p, {}, t)), Repr(semExames));
  const std::string comExames = dsr + "DSP|29||HCT|||\rDSP|30||WBC|||\rDSC||\r";
  EXPECT_EQ(Repr(hl7::BuildDsrQ03(r, v, p, {"HCT", "WBC"}, t)), Repr(comExames));

  // Urgency: only an exact "S" is urgent.
  for (const std::string urg : {"s", "N", "", "SS"}) {
    p.ped_urg = urg;
    EXPECT_NE(hl7::BuildDsrQ03(r, v, p, {}, t).find("DSP|24||N|||\r"), std::string::npos) << urg;
  }

  const std::string mshOrr = Fmt("MSH|^~\\&|LIS||||%s||ORR^O02|%s|P|%s||||||%s|||", {now, "42", "2.3.1", "ASCII"});
  EXPECT_EQ(Repr(hl7::BuildOrrO02(v, nullptr, t)), Repr(mshOrr + "\rMSA|AR|42|||||\r"));
  p.ped_urg = "N";
  EXPECT_EQ(Repr(hl7::BuildOrrO02(v, &p, t)),
            Repr(mshOrr + "\rMSA|AA|42|||||\r" +
                 Fmt("PID|1|%s|||%s||%s|%s|||||||%s||||||||||||||||", {"1001", p.cli_nom, "19800514", "M", ""}) +
                 "\rOBR|1||||||||||||||||||||||O|Ex|U|U|U||7|10||||||||||||||||||\r"));
}

}  // namespace
