// Framing, deframing and host-item parsing of the analyzer simulator.
#include <gtest/gtest.h>

#include <filesystem>

#include "analyzer-sim/AstmFrames.hpp"
#include "support/TestSupport.hpp"

using namespace sim;
using kvtest::Expand;
using kvtest::Repr;

TEST(SimAstmChecksum, KnownFrames) {
  struct Row {
    const char* body;
    const char* sum;
  };
  const Row rows[] = {
      {"4L|1|N<CR><ETX>", "07"},    // terminator frame of a query reply
      {"2P|1<CR><ETX>", "3F"},      // not-found patient frame
      {"", "00"},
      {"<ETX>", "03"},
      {"1H|\\^&<CR><ETB>", "F9"},
  };
  for (size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(AstmChecksum(Expand(rows[i].body)), rows[i].sum) << "row " << i;
  // Bytes above 127 count with their 8-bit value; the sum wraps at 256.
  EXPECT_EQ(AstmChecksum(std::string(2, '\xFF')), "FE");
}

TEST(SimAstmFrames, BuildFrame) {
  EXPECT_EQ(Repr(BuildFrame(4, Expand("L|1|N<CR>"), true)), "<STX>4L|1|N<CR><ETX>07<CR><LF>");
  EXPECT_EQ(Repr(BuildFrame(9, "abc", false)), Repr(Expand("<STX>1abc<ETB>") + AstmChecksum(Expand("1abc<ETB>")) + Expand("<CR><LF>")));
}

TEST(SimAstmFrames, WrongChecksumIsTheRightOnePlusOne) {
  struct Row {
    std::string frame;
    const char* wrong;  // the frame as it goes out spoiled
  };
  // The received sum plus one: a carry into the letters, the wrap past FF, lower-case read as hex.
  const Row rows[] = {
      {BuildFrame(4, Expand("L|1|N<CR>"), true), "<STX>4L|1|N<CR><ETX>08<CR><LF>"},
      {Expand("<STX>1abc<ETB>0F<CR><LF>"), "<STX>1abc<ETB>10<CR><LF>"},
      {Expand("<STX>1abc<ETX>FF<CR><LF>"), "<STX>1abc<ETX>00<CR><LF>"},
      {Expand("<STX>1abc<ETX>3f<CR><LF>"), "<STX>1abc<ETX>40<CR><LF>"},
      {Expand("<STX>1abc"), "<STX>1abc"},            // cut short: nothing to spoil
      {Expand("<STX>1abc<ETX>Z9<CR><LF>"), "<STX>1abc<ETX>Z9<CR><LF>"},  // not hex: left alone
  };
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(Repr(WithWrongChecksum(rows[i].frame)), rows[i].wrong) << "row " << i;
  // The spoiled frame really fails verification, and only in its checksum.
  std::string spoiled = WithWrongChecksum(BuildFrame(2, "P|1\r", true));
  const HostItem item = TakeHostItem(spoiled);
  EXPECT_EQ(item.kind, HostItem::Frame);
  EXPECT_FALSE(item.checksumOk);
  EXPECT_EQ(item.text, "P|1\r");
}

TEST(SimAstmFrames, NumbersRunOneToSevenThenZero) {
  std::vector<std::string> records;
  for (int i = 0; i < 10; ++i) records.push_back("R|" + std::to_string(i));
  const auto frames = FrameRecords(records);
  ASSERT_EQ(frames.size(), 10u);
  const std::string expected = "1234567012";
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i][1], expected[i]) << "frame " << i;
    EXPECT_EQ(frames[i][frames[i].size() - 5], '\x03') << "frame " << i << ": " << Repr(frames[i]);
  }
}

TEST(SimAstmFrames, LongRecordsAreSplitWithEtb) {
  struct Row {
    size_t length;                 // record length without CR
    std::vector<size_t> texts;     // frame text lengths (frame number excluded)
  };
  const Row rows[] = {
      {10, {11}},
      {239, {240}},
      {240, {239, 2}},   // never a last frame holding the CR alone
      {241, {240, 2}},
      {479, {240, 240}},
      {480, {240, 239, 2}},
      {700, {240, 240, 221}},
  };
  for (size_t r = 0; r < std::size(rows); ++r) {
    std::string record = "C|1|";
    while (record.size() < rows[r].length) record += static_cast<char>('a' + record.size() % 26);
    const auto frames = FrameRecords({record});
    ASSERT_EQ(frames.size(), rows[r].texts.size()) << "row " << r;
    std::string joined;
    for (size_t i = 0; i < frames.size(); ++i) {
      const std::string& f = frames[i];
      const bool last = i + 1 == frames.size();
      EXPECT_EQ(f.size(), rows[r].texts[i] + 7) << "row " << r << " frame " << i;
      EXPECT_EQ(f[f.size() - 5], last ? '\x03' : '\x17') << "row " << r << " frame " << i;
      const std::string body = f.substr(1, f.size() - 5);
      EXPECT_EQ(f.substr(f.size() - 4, 2), AstmChecksum(body)) << "row " << r << " frame " << i;
      EXPECT_LE(body.size() - 2, kMaxFrameText + 1) << "row " << r;
      joined += body.substr(1, body.size() - 2);
    }
    EXPECT_EQ(joined, record + "\r") << "row " << r;
  }
}

// Record counts of every capture (framing removed, ETB continuations joined).
TEST(SimAstmExtract, EveryCaptureGivesItsRecordsWithValidChecksums) {
  const std::map<std::string, size_t> counts = {
      {"astmgeneral_horiba_yumizen_h500_full_session_125_frames.astm", 36},
      {"astmgeneral_ortho_vitros3600_host_query_session.astm", 3},
      {"astmgeneral_ortho_vitros3600_results_session_16_frames.astm", 16},
      {"astmgeneral_unnamed_chemistry_single_frame_session.astm", 6},
      {"indiko_thermo_host_query_session.astm", 3},
      {"mindray_cl_result_single_frame_session.astm", 8},
      {"mindray_cl_host_query_split_frames_session.astm", 3},
      {"mindray_cl_result_unframed_records.astm", 7},
      {"roche_cobas_u411_urinalysis_session.astm", 17},
      {"senaite_roche_cobas_c111_etb_frames.astm", 7},
      {"senaite_horiba_pentra_xlr_cbc_28_frames.astm", 28},
      {"senaite_sysmex_xn550_single_frame.astm", 48},
      {"senaite_roche_cobas_c311_single_frame.astm", 18},
      {"senaite_cepheid_genexpert_84_results_single_frame.astm", 91},
      {"senaite_abbott_architect_single_frame.astm", 8},
  };
  const auto files = kvtest::TestDataFiles("astm");
  ASSERT_EQ(files.size(), counts.size());
  for (const std::string& path : files) {
    const std::string name = std::filesystem::path(path).filename();
    const ExtractedRecords ex = ExtractAstmRecords(kvtest::ReadFile(path));
    ASSERT_TRUE(counts.count(name)) << name;
    EXPECT_EQ(ex.records.size(), counts.at(name)) << name;
    EXPECT_EQ(ex.badChecksums, 0) << name;
    EXPECT_EQ(ex.framed, name != "mindray_cl_result_unframed_records.astm") << name;
    ASSERT_FALSE(ex.records.empty()) << name;
    EXPECT_EQ(RecordType(ex.records.front()), 'H') << name << ": " << Repr(ex.records.front());
    EXPECT_EQ(RecordType(ex.records.back()), 'L') << name << ": " << Repr(ex.records.back());
    for (const std::string& r : ex.records)
      for (unsigned char c : r) ASSERT_TRUE(c >= 0x20 || c == '\t') << name << ": " << Repr(r);
    // Re-framing and extracting again gives the same records.
    std::string reframed;
    for (const std::string& f : FrameRecords(ex.records)) reframed += f;
    const ExtractedRecords again = ExtractAstmRecords(reframed);
    EXPECT_EQ(again.records, ex.records) << name;
    EXPECT_EQ(again.badChecksums, 0) << name;
  }
}

TEST(SimAstmExtract, EtbContinuationIsJoinedAndBadChecksumsCounted) {
  const std::string capture = Expand("<ENQ><STX>1H|\\^&|||X<ETB>") + AstmChecksum(Expand("1H|\\^&|||X<ETB>")) +
                              Expand("<CR><LF><STX>2YZ|||<CR><ETX>00<CR><LF><STX>3L|1|N<CR><ETX>") +
                              AstmChecksum(Expand("3L|1|N<CR><ETX>")) + Expand("<CR><LF><EOT>");
  const ExtractedRecords ex = ExtractAstmRecords(capture);
  EXPECT_EQ(ex.records, (std::vector<std::string>{"H|\\^&|||XYZ|||", "L|1|N"}));
  EXPECT_EQ(ex.frames, 3);
  EXPECT_EQ(ex.badChecksums, 1);
}

TEST(SimAstmExtract, PlainLinesInAnyLineEnding) {
  const ExtractedRecords ex = ExtractAstmRecords(Expand("H|\\^&<CR><LF>P|1<LF>O|1|S1<CR>R|1|^^^A|1<CR><CR>L|1|N"));
  EXPECT_FALSE(ex.framed);
  EXPECT_EQ(ex.records, (std::vector<std::string>{"H|\\^&", "P|1", "O|1|S1", "R|1|^^^A|1", "L|1|N"}));
}

TEST(SimHostItems, ServiceStyleRepliesAreCutWhateverTheChunks) {
  const std::string frame1 = BuildFrame(1, "H|\\^&\r", true);
  const std::string frame2 = BuildFrame(2, "L|1|N\r", true);
  const std::string stream = Expand("<ACK><CR><LF><ENQ><CR><LF>") + frame1 + frame2 + Expand("<EOT><CR><LF><NAK>");
  const std::vector<HostItem::Kind> expected = {HostItem::Ack, HostItem::Enq, HostItem::Frame,
                                                HostItem::Frame, HostItem::Eot, HostItem::Nak};
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{10}, stream.size()}) {
    std::string buffer;
    std::vector<HostItem> items;
    for (size_t pos = 0; pos < stream.size(); pos += chunk) {
      buffer += stream.substr(pos, chunk);
      for (HostItem it = TakeHostItem(buffer); it.kind != HostItem::None; it = TakeHostItem(buffer))
        items.push_back(it);
    }
    ASSERT_EQ(items.size(), expected.size()) << "chunk " << chunk;
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i].kind, expected[i]) << "chunk " << chunk << " item " << i;
    EXPECT_EQ(items[2].frameNumber, 1);
    EXPECT_EQ(items[2].text, "H|\\^&\r");
    EXPECT_TRUE(items[2].checksumOk);
    EXPECT_TRUE(items[3].last);
    EXPECT_EQ(items[3].frameNumber, 2);
  }
}

TEST(SimHostItems, BadChecksumJunkAndUnnumberedFrames) {
  std::string buffer = Expand("<STX>4L|1|N<CR><ETX>08<CR><LF>");
  HostItem bad = TakeHostItem(buffer);
  EXPECT_EQ(bad.kind, HostItem::Frame);
  EXPECT_FALSE(bad.checksumOk);
  EXPECT_EQ(bad.checksum, "08");
  EXPECT_EQ(bad.expected, "07");

  buffer = "hello" + Expand("<ACK>");
  HostItem junk = TakeHostItem(buffer);
  EXPECT_EQ(junk.kind, HostItem::Junk);
  EXPECT_EQ(junk.raw, "hello");
  EXPECT_EQ(TakeHostItem(buffer).kind, HostItem::Ack);

  // A single frame without frame number (block mode): all of it is text.
  buffer = Expand("<STX>H|\\^&<CR>L|1|N<CR><ETX>") + AstmChecksum(Expand("H|\\^&<CR>L|1|N<CR><ETX>"));
  HostItem block = TakeHostItem(buffer);
  EXPECT_EQ(block.kind, HostItem::Frame);
  EXPECT_EQ(block.frameNumber, -1);
  EXPECT_EQ(block.text, Expand("H|\\^&<CR>L|1|N<CR>"));
  EXPECT_TRUE(block.checksumOk);

  buffer = Expand("<STX>1H|partial<ETX>0");
  EXPECT_EQ(TakeHostItem(buffer).kind, HostItem::None);
  EXPECT_EQ(buffer.size(), 13u);  // kept for the next read
}

TEST(SimAstmFields, PieceAndRecordType) {
  EXPECT_EQ(Piece("O|1|S1^01||x", '|', 3), "S1^01");
  EXPECT_EQ(Piece("O|1", '|', 5), "");
  EXPECT_EQ(Piece("a^b^c", '^', 1), "a");
  EXPECT_EQ(RecordType("2P|1"), 'P');
  EXPECT_EQ(RecordType("P|1"), 'P');
  EXPECT_EQ(RecordType(""), '\0');
}
