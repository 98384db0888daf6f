#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/TFrameAssembler.hpp"
#include "support/TestSupport.hpp"

using kvtest::Expand;
using kvtest::Repr;

namespace {

struct Step {
  std::string read;                    // readable, expanded with Expand
  bool inTransfer;                     // the client's state before the read
  std::vector<std::string> expected;   // chunks handed to reception, readable
};

struct Row {
  std::string name;
  std::vector<Step> steps;
};

std::string Join(const std::vector<std::string>& v) {
  std::string s = "{";
  for (const auto& x : v) s += " [" + Repr(x) + "]";
  return s + " }";
}

const std::string kFrame1 = "<STX>1H|\\^&|||Mindray^^|||||||PR|1394-97|20090910102501<CR><ETX>A1<CR><LF>";
const std::string kFrame2 = "<STX>2P|1||PATIENT111<CR><ETX>5C<CR><LF>";

std::vector<Row> Rows() {
  return {
      {"whole frame per read passes unchanged",
       {{"<ENQ>", false, {"<ENQ>"}},
        {kFrame1, true, {kFrame1}},
        {kFrame2, true, {kFrame2}},
        {"<EOT>", true, {"<EOT>"}}}},
      {"outside a transfer nothing is held",
       {{"<STX>1H|abc", false, {"<STX>1H|abc"}}, {"<CR><ETX>00<CR><LF>", false, {"<CR><ETX>00<CR><LF>"}}}},
      {"frame cut in the record text",
       {{"<STX>1H|ab", true, {}}, {"c<CR><ETX>00<CR><LF>", true, {"<STX>1H|abc<CR><ETX>00<CR><LF>"}}}},
      {"frame cut between ETX and checksum",
       {{"<STX>1H|abc<CR><ETX>", true, {}},
        {"0", true, {}},
        {"0<CR><LF>", true, {"<STX>1H|abc<CR><ETX>00<CR><LF>"}}}},
      {"ETB frame cut before its checksum",
       {{"<STX>1H|abc<ETB>", true, {}}, {"7F<CR><LF>", true, {"<STX>1H|abc<ETB>7F<CR><LF>"}}}},
      {"line breaks in a later read are swallowed",
       {{"<STX>1H|abc<CR><ETX>00", true, {"<STX>1H|abc<CR><ETX>00"}},
        {"<CR>", true, {}},
        {"<LF>", true, {}},
        {kFrame2, true, {kFrame2}}}},
      {"line breaks then the next frame in one later read",
       {{"<STX>1H|abc<CR><ETX>00", true, {"<STX>1H|abc<CR><ETX>00"}},
        {"<CR><LF>" + kFrame2, true, {kFrame2}}}},
      {"assembled frame keeps its own line breaks, later ones swallowed",
       {{"<STX>1H|a", true, {}},
        {"bc<CR><ETX>00<CR>", true, {"<STX>1H|abc<CR><ETX>00<CR>"}},
        {"<LF>", true, {}}}},
      {"completed frame followed by the start of the next",
       {{"<STX>1H|a", true, {}},
        {"bc<CR><ETX>00<CR><LF><STX>2P|1", true, {"<STX>1H|abc<CR><ETX>00<CR><LF>"}},
        {"|x<CR><ETX>11<CR><LF>", true, {"<STX>2P|1|x<CR><ETX>11<CR><LF>"}}}},
      {"text before a partial frame goes out first",
       {{"junk<STX>1H|a", true, {"junk"}}, {"<CR><ETX>00", true, {"<STX>1H|a<CR><ETX>00"}}}},
      {"lone EOT hands a pending frame on as an ordinary chunk",
       {{"<STX>1H|abc", true, {}}, {"<EOT>", true, {"<STX>1H|abc", "<EOT>"}}}},
      {"lone ENQ drops a pending frame",
       {{"<STX>1H|abc", true, {}}, {"<ENQ>", true, {"<ENQ>"}}, {kFrame1, true, {kFrame1}}}},
      {"lone ACK passes and leaves the frame pending",
       {{"<STX>1H|abc", true, {}}, {"<ACK>", true, {"<ACK>"}}, {"<ETX>00", true, {"<STX>1H|abc<ETX>00"}}}},
      {"a new STX before the end abandons the held piece",
       {{"<STX>1H|ab", true, {}}, {kFrame1, true, {"<STX>1H|ab", kFrame1}}}},
      {"checksum still missing when a new STX arrives is not an abandonment",
       {{"<STX>1H|abc<ETX>", true, {}}, {"0", true, {}}, {"0<STX>2P", true, {"<STX>1H|abc<ETX>00"}},
        {"|1<ETX>22", true, {"<STX>2P|1<ETX>22"}}}},
      {"EOT after a frame clears the line-break rule",
       {{kFrame1, true, {kFrame1}}, {"<EOT>", true, {"<EOT>"}}, {"<CR><LF>", false, {"<CR><LF>"}}}},
      {"frame and EOT in one read stay one chunk",
       {{kFrame1 + "<EOT>", true, {kFrame1 + "<EOT>"}}}},
      {"plain text during a transfer passes unchanged",
       {{"H|abc<CR>", true, {"H|abc<CR>"}}, {"<CR><LF>", true, {"<CR><LF>"}}}},
      {"empty read gives nothing", {{"", true, {}}}},
  };
}

}  // namespace

TEST(FrameAssembler, Table) {
  const auto rows = Rows();
  for (size_t r = 0; r < rows.size(); ++r) {
    TFrameAssembler assembler;
    for (size_t s = 0; s < rows[r].steps.size(); ++s) {
      const Step& step = rows[r].steps[s];
      std::vector<std::string> expected;
      for (const auto& e : step.expected) expected.push_back(Expand(e));
      const auto got = assembler.Feed(Expand(step.read), step.inTransfer);
      EXPECT_EQ(Join(got), Join(expected))
          << "row " << r << " (" << rows[r].name << "), step " << s << ": read " << Repr(Expand(step.read));
    }
  }
}

TEST(FrameAssembler, PendingOverLimitGoesOutAsOrdinaryChunk) {
  TFrameAssembler assembler;
  const std::string start = Expand("<STX>1M|") + std::string(TFrameAssembler::MAX_PENDING - 100, 'x');
  EXPECT_TRUE(assembler.Feed(start, true).empty());
  EXPECT_TRUE(assembler.HasPending());
  EXPECT_EQ(assembler.PendingBytes(), start.size());
  const std::string more(200, 'y');
  const auto out = assembler.Feed(more, true);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], start + more);
  EXPECT_FALSE(assembler.HasPending());
}

TEST(FrameAssembler, EveryCutOfAFrameGivesOneChunk) {
  const std::string frame = Expand(kFrame1);
  for (size_t cut = 1; cut < frame.size(); ++cut) {
    TFrameAssembler assembler;
    std::vector<std::string> all;
    for (auto& c : assembler.Feed(frame.substr(0, cut), true)) all.push_back(c);
    for (auto& c : assembler.Feed(frame.substr(cut), true)) all.push_back(c);
    // A cut inside the trailing CR LF hands the frame on at the cut and
    // swallows the rest, so reception stores the same lines either way.
    ASSERT_EQ(all.size(), 1u) << "cut " << cut << ": " << Join(all);
    const bool cutInTrailer = cut >= frame.size() - 2;
    EXPECT_EQ(Repr(all[0]), Repr(cutInTrailer ? frame.substr(0, cut) : frame)) << "cut " << cut;
  }
}
