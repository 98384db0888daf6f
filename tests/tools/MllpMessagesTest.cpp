// MLLP framing, HL7 field access, and the query messages and reply summaries of the simulator.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "analyzer-sim/AstmFrames.hpp"
#include "analyzer-sim/Messages.hpp"
#include "analyzer-sim/Mllp.hpp"
#include "support/TestSupport.hpp"

using namespace sim;
using kvtest::Expand;
using kvtest::Repr;

TEST(SimMllp, WrapAndTake) {
  EXPECT_EQ(Repr(WrapMllp("MSH|^~\\&\rMSA|AA|1\r")), "<VT>MSH|^~\\&<CR>MSA|AA|1<CR><FS><CR>");
  const std::string stream = Expand("<VT>MSH|a<CR><FS><CR><VT>MSH|b<CR>MSA|AA<CR><FS><CR>");
  for (size_t chunk : {size_t{1}, size_t{4}, stream.size()}) {
    std::string buffer;
    std::vector<std::string> got;
    for (size_t pos = 0; pos < stream.size(); pos += chunk) {
      buffer += stream.substr(pos, chunk);
      for (MllpItem it = TakeMllpMessage(buffer); it.kind != MllpItem::None; it = TakeMllpMessage(buffer)) {
        ASSERT_EQ(it.kind, MllpItem::Message) << "chunk " << chunk;
        got.push_back(it.text);
      }
    }
    EXPECT_EQ(got, (std::vector<std::string>{"MSH|a\r", "MSH|b\rMSA|AA\r"})) << "chunk " << chunk;
  }
  std::string junk = Expand("ACK<VT>MSH|x<FS>");
  MllpItem j = TakeMllpMessage(junk);
  EXPECT_EQ(j.kind, MllpItem::Junk);
  EXPECT_EQ(j.text, "ACK");
  EXPECT_EQ(TakeMllpMessage(junk).text, "MSH|x");
}

TEST(SimMllp, EveryCaptureSplitsIntoWholeMessages) {
  const std::map<std::string, size_t> segments = {
      {"mindray_bc5380_oru_r01_cbc_manual_c33.hl7", 69},
      {"mindray_bc5380_oru_r01_xr_qc_manual_c33.hl7", 116},
      {"mindray_cl_oru_r01_patient_mllp.hl7", 6},
      {"mindray_cl_oru_r01_qc_obr_only_mllp.hl7", 2},
      {"mindray_cl_qry_q02_by_barcode_mllp.hl7", 3},
      {"mindray_cl_qry_q02_by_id_range_mllp.hl7", 3},
      {"mindray_bc5150_orm_o01_worklist_query_capture_mllp.hl7", 2},
      {"mindray_bc5150_oru_r01_cbc_capture_trimmed_mllp.hl7", 17},
      {"senaite_pixcell_hemoscreen_oru_r01_v24.hl7", 23},
      {"senaite_pixcell_hemoscreen_oru_r01_v24_with_nte.hl7", 33},
  };
  const auto files = kvtest::TestDataFiles("hl7");
  ASSERT_EQ(files.size(), segments.size());
  for (const std::string& path : files) {
    const std::string name = std::filesystem::path(path).filename();
    const auto messages = SplitHl7File(kvtest::ReadFile(path));
    ASSERT_EQ(messages.size(), 1u) << name;
    const std::string& m = messages.front();
    EXPECT_EQ(Segments(m).size(), segments.at(name)) << name;
    EXPECT_EQ(m.rfind("MSH|", 0), 0u) << name;
    EXPECT_EQ(m.back(), '\r') << name;
    EXPECT_EQ(m.find_first_of(std::string{VT, FS, '\n'}), std::string::npos) << name << ": " << Repr(m);
  }
}

TEST(SimMllp, PlainFileWithTwoMessagesAndLfEndings) {
  const auto messages = SplitHl7File("MSH|^~\\&|A\nPID|1\n\nMSH|^~\\&|B\r\nOBR|1\r\n");
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "MSH|^~\\&|A\rPID|1\r");
  EXPECT_EQ(messages[1], "MSH|^~\\&|B\rOBR|1\r");
}

TEST(SimMllp, Fields) {
  const std::string msh = "MSH|^~\\&|APP|FAC|||20240105||ACK^R01|41|P|2.3.1";
  EXPECT_EQ(Field(msh, 1), "|");
  EXPECT_EQ(Field(msh, 2), "^~\\&");
  EXPECT_EQ(Field(msh, 4), "FAC");
  EXPECT_EQ(Field(msh, 9), "ACK^R01");
  EXPECT_EQ(Field(msh, 10), "41");
  EXPECT_EQ(Field("MSA|AE|41|bad", 1), "AE");
  EXPECT_EQ(Field("MSA|AE|41|bad", 2), "41");
  EXPECT_EQ(FindSegment("MSH|x\rMSAX|1\rMSA|AA|7\r", "MSA"), "MSA|AA|7");
  EXPECT_EQ(FindSegment("MSH|x\r", "MSA"), "");
}

TEST(SimMessages, AstmQueryRecords) {
  Identity id;
  id.model = "XN-550";
  const auto records = BuildAstmQuery(id, "1001", "20260109093012");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(Piece(records[0], '|', 1), "H");
  EXPECT_EQ(Piece(records[0], '|', 2), "\\^&");
  EXPECT_EQ(Piece(records[0], '|', 5), "XN-550");
  EXPECT_EQ(Piece(records[0], '|', 13), "LIS2-A2");
  EXPECT_EQ(Piece(records[0], '|', 14), "20260109093012");
  EXPECT_EQ(records[1], "Q|1|^1001||ALL||||||||O");
  EXPECT_EQ(records[2], "L|1|N");
  EXPECT_TRUE(IsAstmQuery(records));
  EXPECT_FALSE(IsAstmQuery({"1H|x", "2P|1", "3L|1"}));
  EXPECT_TRUE(IsAstmQuery({"1H|x", "2Q|1", "3L|1"}));
}

TEST(SimMessages, Hl7QueryAndOrder) {
  Identity id;
  id.application = "BC-5380";
  id.model = "Mindray";
  const std::string q = BuildHl7Query(id, "1001", "20260109093012", "41");
  const auto segs = Segments(q);
  ASSERT_EQ(segs.size(), 3u);
  EXPECT_EQ(Field(segs[0], 2), "^~\\&");
  EXPECT_EQ(Field(segs[0], 3), "BC-5380");
  EXPECT_EQ(Field(segs[0], 4), "Mindray");
  EXPECT_EQ(Field(segs[0], 9), "QRY^Q02");
  EXPECT_EQ(Field(segs[0], 10), "41");
  EXPECT_EQ(Field(segs[0], 12), "2.3.1");
  EXPECT_EQ(Field(segs[1], 8), "1001");       // QRD-8
  EXPECT_EQ(Piece(segs[1], '|', 9), "1001");  // as the host reads it
  const std::string o = BuildHl7Order(id, "TEST01", "20260109093012", "42");
  EXPECT_EQ(Field(FindSegment(o, "MSH"), 9), "ORM^O01");
  EXPECT_EQ(Field(FindSegment(o, "ORC"), 3), "TEST01");
}

TEST(SimMessages, DescribeAstmReplies) {
  const OrderSummary found = DescribeAstmReply(
      {"1H|\\^&|||||||||||LIS2-A2", "2P|1|||1|^JOAO^SILVA||19800514|M|||||^Dra. Marcia Lopes||||||||||||Rotina",
       "3O|1|^1001||^^^^WBC\\^^^^RBC||20260109093012|||||N||||||||||||||Q", "4L|1|N"});
  EXPECT_TRUE(found.recognised);
  EXPECT_TRUE(found.found);
  ASSERT_EQ(found.lines.size(), 4u);
  EXPECT_NE(found.lines[1].find("JOAO SILVA"), std::string::npos) << found.lines[1];
  EXPECT_NE(found.lines[3].find("WBC, RBC"), std::string::npos) << found.lines[3];

  const OrderSummary none = DescribeAstmReply({"H|\\^&|||||||||||LIS2-A2", "P|1", "O|1|^9999||||20260109|||||||||||||||||||Y", "L|1|N"});
  EXPECT_TRUE(none.recognised);
  EXPECT_FALSE(none.found);
  EXPECT_FALSE(DescribeAstmReply({"H|x", "L|1|N"}).recognised);
}

TEST(SimMessages, DescribeHl7Replies) {
  std::string dsr = "MSH|^~\\&|||BC-5380|Mindray|20260109||DSR^Q03|43|P|2.3.1||||||ASCII|||\rMSA|AA|43|Message accepted|||0|\r";
  for (int n = 1; n <= 28; ++n) {
    std::string v = n == 3 ? "Joao da Silva" : n == 21 ? "1001" : n == 24 ? "N" : "";
    dsr += "DSP|" + std::to_string(n) + "||" + v + "|||\r";
  }
  dsr += "DSP|29||WBC|||\rDSP|30||HGB|||\rDSC||\r";
  const OrderSummary s = DescribeHl7Order(dsr);
  EXPECT_TRUE(s.found);
  ASSERT_EQ(s.lines.size(), 4u);
  EXPECT_NE(s.lines[0].find("1001"), std::string::npos) << s.lines[0];
  EXPECT_NE(s.lines[1].find("Joao da Silva"), std::string::npos) << s.lines[1];
  EXPECT_NE(s.lines[3].find("WBC, HGB"), std::string::npos) << s.lines[3];

  const OrderSummary orr = DescribeHl7Order("MSH|^~\\&|LIS||||20260109||ORR^O02|2.3.1|P|||||||\rMSA|AR|2.3.1|||||\r");
  EXPECT_TRUE(orr.recognised);
  EXPECT_FALSE(orr.found);
}
