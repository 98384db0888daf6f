// Pure pieces of the ASTM handler: cleaning, cutting, query recognition,
// identifiers, names, records, checksums and the three sending modes.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ArchiveNames.hpp"
#include "protocol/Astm.hpp"
#include "support/TestSupport.hpp"

using kvtest::Expand;
using kvtest::Repr;

namespace {

std::deque<std::string> Lines(const std::vector<std::string>& readable) {
  std::deque<std::string> out;
  for (const auto& r : readable) out.push_back(Expand(r));
  return out;
}

std::string Join(const std::vector<std::string>& v) {
  std::string out;
  for (const auto& s : v) out += Repr(s) + " / ";
  return out;
}

}  // namespace

// ---------------------------------------------------------------- cleaning

TEST(AstmCleaning, FramedLinesLoseFramingAndKeepFrameNumber) {
  struct Row {
    std::string in, out;
    bool etx, etb;
  };
  const std::vector<Row> rows = {
      {"<STX>1H|\\^&|||X", "1H|\\^&|||X", false, false},
      {"<STX>5L|1|N<ETX>07", "5L|1|N", true, false},
      {"<ETX>07", "", true, false},
      {"<STX>2R|1|^^^WB<ETB>A3", "2R|1|^^^WB", false, true},
      {"<ETB>A3", "", false, true},
      {"<ENQ><STX>1H|x", "1H|x", false, false},
      {"P|1||PID", "P|1||PID", false, false},
      {"", "", false, false},
      {"<STX>", "", false, false},
      {"junk<STX>3O|1<ETX>4C", "3O|1", true, false},
      // The end character and the checksum go even when the frame text is shorter than what stood before STX.
      {"0123456789<STX>1<ETX>AB", "1", true, false},
      {"R|1|a<ETX>", "R|1|a", true, false},
      {"<STX>2P|1<ETB>x<ETX>y", "2P|1<ETB>x", true, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    bool etx = false, etb = false;
    std::string got = astm::CleanFramedLine(Expand(rows[i].in), &etx, &etb);
    EXPECT_EQ(Repr(got), Repr(Expand(rows[i].out))) << "row " << i;
    EXPECT_EQ(etx, rows[i].etx) << "row " << i;
    EXPECT_EQ(etb, rows[i].etb) << "row " << i;
  }
}

TEST(AstmCleaning, PrepareBufferJoinsChecksumLinesToTheLineAbove) {
  struct Row {
    std::vector<std::string> in, out;
  };
  const std::vector<Row> rows = {
      {{"<STX>1H|x", "<ETX>58", "<STX>2L|1|N", "<ETX>07"}, {"<STX>1H|x<ETX>58", "<STX>2L|1|N<ETX>07"}},
      // A checksum line at the top has no line above it and stays.
      {{"<ETX>07", "<STX>1H|x", "<ETX>58"}, {"<ETX>07", "<STX>1H|x<ETX>58"}},
      // Only lines of exactly three characters beginning with ETX are checksum lines.
      {{"a", "<ETX>0", "b", "<ETX>077", "c", "<ETB>4B"}, {"a", "<ETX>0", "b", "<ETX>077", "c", "<ETB>4B"}},
      // Of two checksum lines in a row the lower joins the upper, which is then no longer one.
      {{"a", "<ETX>11", "<ETX>22"}, {"a", "<ETX>11<ETX>22"}},
      {{}, {}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    auto buf = Lines(rows[i].in);
    astm::PrepareBuffer(buf);
    auto want = Lines(rows[i].out);
    ASSERT_EQ(buf.size(), want.size()) << "row " << i;
    for (size_t j = 0; j < buf.size(); ++j) EXPECT_EQ(Repr(buf[j]), Repr(want[j])) << "row " << i << " line " << j;
  }
}

TEST(AstmCleaning, LeadingChecksumLinesAreDropped) {
  struct Row {
    std::vector<std::string> in, out;
    size_t dropped;
  };
  const std::vector<Row> rows = {
      {{"<ETX>07", "<ETB>4B", "<STX>1H|x"}, {"<STX>1H|x"}, 2},
      {{"<ETX>0"}, {"<ETX>0"}, 0},  // not yet whole: its second checksum character is still to come
      {{"<STX>1H|x", "<ETX>07"}, {"<STX>1H|x", "<ETX>07"}, 0},
      {{"", "<ETX>07"}, {"", "<ETX>07"}, 0},
      {{}, {}, 0},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    auto buf = Lines(rows[i].in);
    EXPECT_EQ(astm::DropLeadingChecksumLines(buf), rows[i].dropped) << "row " << i;
    auto want = Lines(rows[i].out);
    EXPECT_EQ(std::vector<std::string>(buf.begin(), buf.end()), std::vector<std::string>(want.begin(), want.end()))
        << "row " << i;
  }
}

// ---------------------------------------------------------------- cutting

TEST(AstmCutting, BlocksAreOneMessageEach) {
  struct Row {
    const char* name;
    std::vector<std::string> buffer;
    bool fimDeTransferencia;
    std::optional<std::vector<std::string>> block;  // nullopt: no complete block
    size_t ultimaLinha;
  };
  const std::vector<Row> rows = {
      {"framed H P O R L with checksum lines",
       {"<STX>1H|\\^&", "<ETX>58", "<STX>2P|1", "<ETX>3F", "<STX>3O|1|S1", "<ETX>11", "<STX>4R|1|^^^A|1",
        "<ETX>22", "<STX>5L|1|N", "<ETX>08"},
       true,
       std::vector<std::string>{"1H|\\^&", "2P|1", "3O|1|S1", "4R|1|^^^A|1", "5L|1|N"},
       4},
      {"unframed", {"H|\\^&", "P|1", "O|1|S1", "L|1|N"}, false,
       std::vector<std::string>{"H|\\^&", "P|1", "O|1|S1", "L|1|N"}, 3},
      {"record split by ETB stays two lines",
       {"<STX>1H|x", "<ETX>00", "<STX>2R|1|^^^A|12<ETB>AA", "<STX>3.5|g/L", "<ETX>BB", "<STX>4L|1|N", "<ETX>CC"},
       true, std::vector<std::string>{"1H|x", "2R|1|^^^A|12", "3.5|g/L", "4L|1|N"}, 3},
      {"a continuation that looks like a terminator does not end the message",
       {"<STX>1H|x", "<ETX>00", "<STX>2R|1|xx<ETB>AA", "<STX>3L|flag", "<ETX>BB", "<STX>4L|1|N", "<ETX>CC"}, true,
       std::vector<std::string>{"1H|x", "2R|1|xx", "3L|flag", "4L|1|N"}, 3},
      {"empty lines are left out but consumed",
       {"H|x", "", "P|1", "", "", "L|1|N", ""}, false, std::vector<std::string>{"H|x", "P|1", "L|1|N"}, 5},
      {"second message stays for the next block",
       {"H|a", "O|1|S1", "L|1|N", "H|b", "O|1|S2", "L|1|N"}, false,
       std::vector<std::string>{"H|a", "O|1|S1", "L|1|N"}, 2},
      {"message cut off by a new header is closed before it",
       {"<STX>1H|a", "<ETX>00", "<STX>2O|1|S1", "<ETX>00", "", "<STX>1H|b", "<ETX>00"}, false,
       std::vector<std::string>{"1H|a", "2O|1|S1"}, 2},
      {"lines before the header belong to the message", {"garbage", "H|a", "L|1|N"}, false,
       std::vector<std::string>{"garbage", "H|a", "L|1|N"}, 2},
      {"frames without terminator wait outside a transfer",
       {"<STX>1H|a", "<ETX>00", "<STX>2O|1|S1", "<ETX>00"}, false, std::nullopt, 0},
      {"frames without terminator close at the end of a transfer",
       {"<STX>1H|a", "<ETX>00", "<STX>2O|1|S1", "<ETX>00", ""}, true,
       std::vector<std::string>{"1H|a", "2O|1|S1"}, 2},
      {"unframed without terminator is incomplete", {"H|a", "P|1"}, true, std::nullopt, 0},
      {"lone checksum line at the top closes an empty block at the end of a transfer", {"<ETX>07"}, true,
       std::vector<std::string>{}, 0},
      {"lone checksum line outside a transfer waits", {"<ETX>07"}, false, std::nullopt, 0},
      {"terminator markers are never copied",
       {"H|a", "[--------------- TERMINADOR BLOCO ---------------]", "L|1|N"}, false,
       std::vector<std::string>{"H|a", "L|1|N"}, 2},
      {"query", {"<STX>1H|x", "<ETX>00", "<STX>2Q|1|^S||", "<ETX>00", "<STX>3L|1|N", "<ETX>00"}, true,
       std::vector<std::string>{"1H|x", "2Q|1|^S||", "3L|1|N"}, 2},
      {"empty buffer", {}, true, std::nullopt, 0},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    auto buf = Lines(r.buffer);
    auto got = astm::GetBlocoProcessarASTM(buf, r.fimDeTransferencia);
    ASSERT_EQ(got.has_value(), r.block.has_value()) << "row " << i << " " << r.name;
    if (!got) continue;
    std::vector<std::string> want;
    for (const auto& l : *r.block) want.push_back(Expand(l));
    EXPECT_EQ(Join(got->linhas), Join(want)) << "row " << i << " " << r.name;
    EXPECT_EQ(got->ultimaLinha, r.ultimaLinha) << "row " << i << " " << r.name;
  }
}

// ---------------------------------------------------------------- query recognition

TEST(AstmQueryRecognition, HeaderQueryTerminator) {
  struct Row {
    std::vector<std::string> msg;
    bool query;
  };
  const std::vector<Row> rows = {
      {{"H|x", "Q|1|^S", "L|1|N"}, true},
      {{"1H|x", "2Q|1|^S", "3L|1|N"}, true},
      {{"<ENQ>1H|x", "2Q|1", "3L|1"}, true},             // header may start at position 3
      {{"ab1H|x", "2Q|1", "3L|1"}, false},               // but not later
      {{"1H|x", "22Q|1", "3L|1"}, false},                // Q at position 3
      {{"1H|x", "2Q|1", "33L|1"}, false},
      {{"H|x", "Q|1", "Q|2", "L|1|N"}, false},           // two Q records: line 3 is no terminator
      {{"H|x", "Q|1"}, false},
      {{"H|x", "P|1", "L|1|N"}, false},
      {{"H|x", "Q|1", "L|1|N", "P|1", "R|1"}, true},     // lines after the third do not matter
      {{}, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TLines msg;
    for (const auto& l : rows[i].msg) msg.push_back(Expand(l));
    EXPECT_EQ(astm::IsQueryMessageASTM(msg), rows[i].query) << "row " << i;
  }
}

// ---------------------------------------------------------------- sample identifier

TEST(AstmSampleIdentifier, ComponentThreeOrTwoTrimmedQuotedEmpty) {
  struct Row {
    std::string range, id, visible;
  };
  const std::vector<Row> rows = {
      {"^1068687", "1068687", "1068687"},
      {"2^1^SAMPLE^B", "SAMPLE", "SAMPLE"},
      {"^2240801237^^", "2240801237", "2240801237"},
      {"^SAMPLE123", "SAMPLE123", "SAMPLE123"},
      {"^^  1001 <CR>", "1001", "1001"},
      {"^\"\"", "", ""},
      {"^^\"\"", "", ""},
      {"^\"\"x", "\"\"x", "\"\"x"},
      {"", "", ""},
      {"^", "", ""},
      {"1001", "", ""},                          // a bare value is component 1: no identifier
      {"^12345678901", "12345678901", "1234567"},  // 11 characters: the first 7 are looked up
      {"^1234567890", "1234567890", "1234567890"},
      {"^123456789012", "123456789012", "123456789012"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    std::string id = astm::SampleIdentifier(Expand(rows[i].range));
    EXPECT_EQ(Repr(id), Repr(rows[i].id)) << "row " << i;
    EXPECT_EQ(protocol::VisibleOrderCode(id), rows[i].visible) << "row " << i;
  }
}

// ---------------------------------------------------------------- names

TEST(AstmNames, FirstAndLastWord) {
  struct Row {
    std::string nome, out;
  };
  const std::vector<Row> rows = {
      {"JOAO DA SILVA", "JOAO^SILVA"},
      {"JOAO", "JOAO^"},
      {"  JOAO   DA  SILVA  ", "JOAO^SILVA"},
      {"JOAO<TAB>SILVA", "JOAO^SILVA"},
      {"\"MARIA JOSE\" DA SILVA", "MARIA JOSE^SILVA"},
      {"ANA \"DOS SANTOS\"", "ANA^DOS SANTOS"},
      {"D\"ANGELO MARIA", "D\"ANGELO^MARIA"},
      {"\"UNCLOSED NAME", "UNCLOSED NAME^"},
      {"", "^"},       // no word: empty first and last name
      {"   ", "^"},
      {"Jo\xe3o da Concei\xe7\xe3o", "Jo\xe3o^Concei\xe7\xe3o"},
      {"A|B C^D", "A&F&B^C&S&D"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    std::string nome = rows[i].nome;
    size_t p;
    while ((p = nome.find("<TAB>")) != std::string::npos) nome.replace(p, 5, "\t");
    EXPECT_EQ(astm::GetNomeEUltimoNome(nome), rows[i].out) << "row " << i;
  }
}

TEST(AstmNames, LisValuesCannotBreakTheRecord) {
  EXPECT_EQ(astm::AstmValue("Dr. A|B\\C^D&E"), "Dr. A&F&B&R&C&S&D&E&E");
  EXPECT_EQ(Repr(astm::AstmValue(Expand("X<CR>Y<LF><STX>"))), "X Y  ");
  EXPECT_EQ(astm::AstmValue("Concei\xe7\xe3o"), "Concei\xe7\xe3o");
}

// ---------------------------------------------------------------- checksums and formats

TEST(AstmChecksum, ExamplesAndLowBits) {
  struct Row {
    std::string text, sum;
  };
  const std::vector<Row> rows = {
      {"4L|1|N<CR><ETX>", "07"},  // terminator frame of either reply
      {"2P|1<CR><ETX>", "3F"},    // not-found patient frame
      {"", "00"},
      {"\x01", "01"},
      {"\xff\x01", "00"},
      {"\xe9", "E9"},
      {"3L|1|N<CR><ETX>", "06"},  // the Indiko capture's own terminator frame
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(astm::GetCheckSumASTM(Expand(rows[i].text)), rows[i].sum) << "row " << i;
  }
  EXPECT_EQ(Repr(astm::EnvelopeASTM(Expand("4L|1|N<CR>"))), "<STX>4L|1|N<CR><ETX>07");
  EXPECT_EQ(Repr(astm::EnvelopeASTM(Expand("2P|1<CR>"))), "<STX>2P|1<CR><ETX>3F");
}

TEST(AstmChecksum, CapturedFramesVerify) {
  // Every frame of the captures carries the checksum that this routine computes.
  size_t frames = 0;
  for (const auto& path : kvtest::TestDataFiles("astm")) {
    std::string d = kvtest::ReadFile(path);
    size_t pos = 0;
    while ((pos = d.find('\x02', pos)) != std::string::npos) {
      size_t end = d.find_first_of(std::string{'\x03', '\x17'}, pos);
      if (end == std::string::npos || end + 2 >= d.size()) break;
      std::string body = d.substr(pos + 1, end - pos);
      EXPECT_EQ(astm::GetCheckSumASTM(body), d.substr(end + 1, 2)) << path << " frame at " << pos;
      ++frames;
      pos = end;
    }
  }
  EXPECT_GT(frames, 200u);
}

TEST(AstmFormats, DatesAndTimes) {
  EXPECT_EQ(astm::FormatOrderTime({2024, 1, 5, 9, 5, 7, 0}), "2024010509507");
  EXPECT_EQ(astm::FormatOrderTime({2024, 1, 5, 9, 15, 7, 0}), "20240105091507");
  EXPECT_EQ(astm::FormatOrderTime({2024, 8, 4, 23, 0, 0, 0}), "2024080423000");
  EXPECT_EQ(astm::FormatBirthDate({1948, 2, 29, 0, 0, 0, 0}), "19480229");
  EXPECT_EQ(astm::FormatBirthDate(TDateTime{}), "18991230");
}

// ---------------------------------------------------------------- records

TEST(AstmRecords, FoundReplyByteForByte) {
  astm::TPedidoASTM p;
  p.ped_cod = 3;
  p.ped_dat = {2024, 1, 5, 9, 5, 7, 0};
  p.cli_cod = "3";
  p.cli_nom = "JOAO DA SILVA";
  p.cpf_dta_nas = {1980, 5, 14, 0, 0, 0, 0};
  p.cpf_sex = "M";
  p.med_nom = "Dr. Prado";
  p.grp_dsc = "Ambulatorio";
  auto r = astm::FoundReply("LIS2-A2", "^1001", p, "^^^^GLU\\^^^^CREA");
  EXPECT_EQ(r.h, "H|\\^&|||||||||||LIS2-A2");
  EXPECT_EQ(r.p, "P|1|||3|^JOAO^SILVA||19800514|M|||||^Dr. Prado||||||||||||Ambulatorio");
  EXPECT_EQ(r.o, "O|1|^1001||^^^^GLU\\^^^^CREA||2024010509507|||||N||||||||||||||Q");
  EXPECT_EQ(r.l, "L|1|N");

  // No physician, null birth date, one-word name, nameless patient.
  p.med_nom = "";
  p.cpf_dta_nas = TDateTime{};
  p.cli_nom = "MADONNA";
  EXPECT_EQ(astm::FoundReply("", "^1", p, "").p, "P|1|||3|^MADONNA^||18991230|M|||||^||||||||||||Ambulatorio");
  p.cli_nom = "   ";
  EXPECT_EQ(astm::FoundReply("", "^1", p, "").p, "P|1|||3|^^||18991230|M|||||^||||||||||||Ambulatorio");
}

TEST(AstmRecords, NotFoundReplyByteForByte) {
  auto r = astm::NotFoundReply("1394-97", "^SAMPLE123", "20090910102501");
  EXPECT_EQ(r.h, "H|\\^&|||||||||||1394-97");
  EXPECT_EQ(r.p, "P|1");
  EXPECT_EQ(r.o, "O|1|^SAMPLE123||||20090910102501|||||||||||||||||||Y");
  EXPECT_EQ(r.l, "L|1|N");
}

TEST(AstmRecords, FieldCounts) {
  astm::TPedidoASTM p;
  auto f = astm::FoundReply("v", "^1", p, "");
  auto n = astm::NotFoundReply("v", "^1", "");
  auto fields = [](const std::string& s) { return std::count(s.begin(), s.end(), '|') + 1; };
  EXPECT_EQ(fields(f.h), 13);
  EXPECT_EQ(fields(f.p), 26);
  EXPECT_EQ(fields(f.o), 26);
  EXPECT_EQ(fields(n.o), 26);
}

TEST(AstmRecords, TestLists) {
  EXPECT_EQ(astm::BuildTestList({"A", "B"}), "^^^^A\\^^^^B");
  EXPECT_EQ(astm::BuildTestList({}), "");
  ASSERT_EQ(astm::TESTS_IDS.size(), 25u);
  std::string fixed = astm::BuildTestList(astm::TESTS_IDS);
  EXPECT_EQ(fixed.substr(0, 7), "^^^^WBC");
  EXPECT_EQ(fixed.substr(fixed.size() - 7), "^^^^PCT");
  EXPECT_NE(fixed.find("^^^^HBG\\^^^^HGB\\"), std::string::npos);
  EXPECT_EQ(std::count(fixed.begin(), fixed.end(), '\\'), 24);
}

// ---------------------------------------------------------------- sending modes

TEST(AstmSendingModes, ItemsPerMode) {
  auto r = astm::NotFoundReply("", "^9", "");
  const std::string h = "H|\\^&|||||||||||", p = "P|1", o = "O|1|^9||||" + std::string(19, '|') + "Y",
                    l = "L|1|N";
  ASSERT_EQ(r.o, o);

  auto bare = astm::ReplyItems(r, false, false);
  ASSERT_EQ(bare.size(), 1u);
  EXPECT_EQ(Repr(bare[0]), Repr(h + "\r" + p + "\r" + o + "\r" + l + "\r"));
  EXPECT_EQ(astm::ReplyItems(r, false, true), bare);  // ENQ does not matter without framing

  auto ftf = astm::ReplyItems(r, true, true);
  ASSERT_EQ(ftf.size(), 6u);
  EXPECT_EQ(Repr(ftf[0]), "<ENQ>");
  EXPECT_EQ(Repr(ftf[1]), Repr("\x02" "1" + h + "\r\x03" + astm::GetCheckSumASTM("1" + h + "\r\x03")));
  EXPECT_EQ(Repr(ftf[2]), "<STX>2P|1<CR><ETX>3F");
  EXPECT_EQ(ftf[3].substr(0, 2), "\x02" "3");
  EXPECT_EQ(Repr(ftf[4]), "<STX>4L|1|N<CR><ETX>07");
  EXPECT_EQ(Repr(ftf[5]), "<EOT>");

  auto one = astm::ReplyItems(r, true, false);
  ASSERT_EQ(one.size(), 1u);
  const std::string body = h + "\r" + p + "\r" + o + "\r" + l + "\r";
  EXPECT_EQ(Repr(one[0]), Repr("\x02" + body + "\x03" + astm::GetCheckSumASTM(body + "\x03")));
}

TEST(AstmSendingModes, LongRecordIsNeverSplit) {
  astm::TPedidoASTM p;
  auto r = astm::FoundReply("v", "^1", p, astm::BuildTestList(astm::TESTS_IDS));
  auto ftf = astm::ReplyItems(r, true, true);
  ASSERT_EQ(ftf.size(), 6u);
  EXPECT_GT(ftf[3].size(), 240u);
  EXPECT_EQ(std::count(ftf[3].begin(), ftf[3].end(), '\x02'), 1);
  EXPECT_EQ(std::count(ftf[3].begin(), ftf[3].end(), '\x17'), 0);
}
