#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/E1381.hpp"
#include "protocol/TLinkReceiver.hpp"
#include "support/TestSupport.hpp"

using kvtest::Expand;
using kvtest::Repr;

namespace {

using Event = TLinkReceiver::TEvent;

struct Step {
  std::string read;                    // readable, expanded with Expand
  std::vector<std::string> expected;   // events, readable: "F:" before a frame, text and controls as they are
  bool silenceBefore = false;          // the record ended the transfer without EOT before this read
};

// Feeds reads as the client record drives the receiver: the transfer as the
// events handed on so far left it (ENQ opens it, EOT ends it), or ended by a silence.
class Link {
 public:
  std::vector<Event> Feed(const std::string& read) {
    std::vector<Event> out = receiver.Feed(read, inTransfer);
    for (const Event& e : out) {
      if (e.kind == Event::Enq) inTransfer = true;
      if (e.kind == Event::Eot) inTransfer = false;
    }
    return out;
  }
  TLinkReceiver receiver;
  bool inTransfer = false;
};

struct Row {
  std::string name;
  std::vector<Step> steps;
};

std::string Describe(const Event& e) { return (e.kind == Event::Frame ? "F:" : "") + e.bytes; }

std::string Join(const std::vector<std::string>& v) {
  std::string s = "{";
  for (const auto& x : v) s += " [" + Repr(x) + "]";
  return s + " }";
}

const std::string kFrame1 = "<STX>1H|\\^&|||Mindray^^|||||||PR|1394-97|20090910102501<CR><ETX>13<CR><LF>";
const std::string kFrame2 = "<STX>2P|1||PATIENT111<CR><ETX>DF<CR><LF>";
const Step kEnq = {"<ENQ>", {"<ENQ>"}};

std::vector<Row> Rows() {
  return {
      {"whole frame per read", {kEnq, {kFrame1, {"F:" + kFrame1}}, {kFrame2, {"F:" + kFrame2}}, {"<EOT>", {"<EOT>"}}}},
      {"outside a transfer nothing is held",
       {{"<STX>1H|abc", {"<STX>1H|abc"}}, {"<CR><ETX>00<CR><LF>", {"<CR><ETX>00<CR><LF>"}}}},
      {"frame cut in the record text",
       {kEnq, {"<STX>1H|ab", {}}, {"c<CR><ETX>00<CR><LF>", {"F:<STX>1H|abc<CR><ETX>00<CR><LF>"}}}},
      {"frame cut between ETX and checksum",
       {kEnq, {"<STX>1H|abc<CR><ETX>", {}}, {"0", {}}, {"0<CR><LF>", {"F:<STX>1H|abc<CR><ETX>00<CR><LF>"}}}},
      {"ETB frame cut before its checksum",
       {kEnq, {"<STX>1H|abc<ETB>", {}}, {"7F<CR><LF>", {"F:<STX>1H|abc<ETB>7F<CR><LF>"}}}},
      {"line breaks in a later read belong to the frame",
       {kEnq,
        {"<STX>1H|abc<CR><ETX>00", {"F:<STX>1H|abc<CR><ETX>00<CR><LF>"}},
        {"<CR>", {}},
        {"<LF>", {}},
        {kFrame2, {"F:" + kFrame2}}}},
      {"line breaks then the next frame in one later read",
       {kEnq, {"<STX>1H|abc<CR><ETX>00", {"F:<STX>1H|abc<CR><ETX>00<CR><LF>"}}, {"<CR><LF>" + kFrame2, {"F:" + kFrame2}}}},
      {"a frame ending with CR only is handed on with CR LF",
       {kEnq, {"<STX>1H|a", {}}, {"bc<CR><ETX>00<CR>", {"F:<STX>1H|abc<CR><ETX>00<CR><LF>"}}, {"<LF>", {}}}},
      {"completed frame followed by the start of the next",
       {kEnq,
        {"<STX>1H|a", {}},
        {"bc<CR><ETX>00<CR><LF><STX>2P|1", {"F:<STX>1H|abc<CR><ETX>00<CR><LF>"}},
        {"|x<CR><ETX>11<CR><LF>", {"F:<STX>2P|1|x<CR><ETX>11<CR><LF>"}}}},
      {"text before a partial frame goes out first",
       {kEnq, {"junk<STX>1H|a", {"junk"}}, {"<CR><ETX>00", {"F:<STX>1H|a<CR><ETX>00<CR><LF>"}}}},
      {"EOT hands a pending frame on as text",
       {kEnq, {"<STX>1H|abc", {}}, {"<EOT>", {"<STX>1H|abc", "<EOT>"}}}},
      {"ENQ drops a pending frame", {kEnq, {"<STX>1H|abc", {}}, {"<ENQ>", {"<ENQ>"}}, {kFrame1, {"F:" + kFrame1}}}},
      {"ACK passes and leaves the frame pending",
       {kEnq, {"<STX>1H|abc", {}}, {"<ACK>", {"<ACK>"}}, {"<ETX>00", {"F:<STX>1H|abc<ETX>00<CR><LF>"}}}},
      {"a new STX before the end abandons the held piece",
       {kEnq, {"<STX>1H|ab", {}}, {kFrame1, {"<STX>1H|ab", "F:" + kFrame1}}}},
      {"checksum still missing when a new STX arrives is not an abandonment",
       {kEnq,
        {"<STX>1H|abc<ETX>", {}},
        {"0", {}},
        {"0<STX>2P", {"F:<STX>1H|abc<ETX>00<CR><LF>"}},
        {"|1<ETX>22", {"F:<STX>2P|1<ETX>22<CR><LF>"}}}},
      {"EOT after a frame ends the line-break rule",
       {kEnq, {kFrame1, {"F:" + kFrame1}}, {"<EOT>", {"<EOT>"}}, {"<CR><LF>", {"<CR><LF>"}}}},
      {"frame and EOT in one read are two events", {kEnq, {kFrame1 + "<EOT>", {"F:" + kFrame1, "<EOT>"}}}},
      {"EOT and the next ENQ in one read end one transfer and start the next",
       {kEnq, {kFrame1, {"F:" + kFrame1}}, {"<EOT><ENQ>", {"<EOT>", "<ENQ>"}}, {kFrame1, {"F:" + kFrame1}}}},
      {"a whole session in one read", {{"<ENQ>" + kFrame1 + kFrame2 + "<EOT>", {"<ENQ>", "F:" + kFrame1, "F:" + kFrame2, "<EOT>"}}}},
      {"ENQ and the first frame in one read", {{"<ENQ>" + kFrame1, {"<ENQ>", "F:" + kFrame1}}}},
      {"plain text during a transfer passes unchanged", {kEnq, {"H|abc<CR>", {"H|abc<CR>"}}, {"<CR><LF>", {"<CR><LF>"}}}},
      {"control bytes between VT and FS are content",
       {{"<VT>MSH|^~\\&|<ENQ><EOT><ACK>x<CR>", {"<VT>MSH|^~\\&|<ENQ><EOT><ACK>x<CR>"}},
        {"<NAK>y<FS><CR><EOT>", {"<NAK>y<FS><CR>", "<EOT>"}}}},
      {"a JSON document followed by EOT", {{"{<CR>\"a\": 1<CR>}<CR><EOT>", {"{<CR>\"a\": 1<CR>}<CR>", "<EOT>"}}}},
      {"ACK and NAK inside text are events", {{"ab<ACK>cd<NAK>", {"ab", "<ACK>", "cd", "<NAK>"}}}},
      {"a silence drops the unfinished frame; plain records after it pass",
       {kEnq, {"<STX>3O|1|SAMPLE", {}}, {"H|\\^&<CR>L|1|N<CR>", {"H|\\^&<CR>L|1|N<CR>"}, true}}},
      {"after a silence STX is text again", {kEnq, {kFrame1, {"F:" + kFrame1}}, {kFrame1, {kFrame1}, true}}},
      {"a silence ends the line-break rule", {kEnq, {kFrame1, {"F:" + kFrame1}}, {"<CR><LF>x", {"<CR><LF>x"}, true}}},
      {"a new transfer after a silence frames again",
       {kEnq, {"<STX>1H|ab", {}}, {"<ENQ>" + kFrame1 + "<EOT>", {"<ENQ>", "F:" + kFrame1, "<EOT>"}, true}}},
      {"empty read gives nothing", {{"", {}}}},
      {"NULs before VT are dropped", {{"<NUL><NUL><VT>MSH|a<CR><FS><CR>", {"<VT>MSH|a<CR><FS><CR>"}}}},
      {"NULs are held across reads until VT shows",
       {{"<NUL>", {}}, {"<NUL>", {}}, {"<VT>MSH|a<CR><FS><CR>", {"<VT>MSH|a<CR><FS><CR>"}}}},
      {"NULs before other text go out with it", {{"<NUL>", {}}, {"H|x<CR>", {"<NUL>H|x<CR>"}}}},
      {"NULs before ENQ go out before it", {{"<NUL><ENQ>", {"<NUL>", "<ENQ>"}}}},
      {"NULs during a transfer are text", {kEnq, {"<NUL>", {"<NUL>"}}, {"<NUL><VT>", {"<NUL><VT>"}}}},
      {"NULs inside a message are content", {{"<VT>MSH|<NUL>a<CR><FS>", {"<VT>MSH|<NUL>a<CR><FS><CR>"}}}},
      {"CR LF inside a message ends a segment as CR does",
       {{"<VT>MSH|a<CR><LF>PID|b<CR>", {"<VT>MSH|a<CR>PID|b<CR>"}}, {"<LF>OBR|c<CR><LF><FS><CR><LF>", {"OBR|c<CR><FS><CR>"}}}},
      {"an LF alone inside a message stays", {{"<VT>MSH|a<LF>PID|b<CR><LF><LF><FS>", {"<VT>MSH|a<LF>PID|b<CR><LF><FS><CR>"}}}},
      {"FS without CR gets its CR; the sender's breaks after it are dropped",
       {{"<VT>MSH|a<CR><FS>", {"<VT>MSH|a<CR><FS><CR>"}},
        {"<CR>", {}},
        {"<LF>", {}},
        {"<VT>MSH|b<CR><FS><CR>", {"<VT>MSH|b<CR><FS><CR>"}}}},
      {"two messages without CR after FS in one read",
       {{"<VT>MSH|a<CR><FS><VT>MSH|b<CR><FS>", {"<VT>MSH|a<CR><FS><CR><VT>MSH|b<CR><FS><CR>"}}}},
      {"breaks and NULs between two messages",
       {{"<VT>MSH|a<CR><FS><CR><LF><NUL><CR><NUL><VT>MSH|b<CR><FS>", {"<VT>MSH|a<CR><FS><CR><VT>MSH|b<CR><FS><CR>"}}}},
      {"text after a message starts without the breaks before it",
       {{"<VT>MSH|a<CR><FS><CR>", {"<VT>MSH|a<CR><FS><CR>"}}, {"<LF>H|x<CR><LF>", {"H|x<CR><LF>"}}}},
  };
}

}  // namespace

TEST(LinkReceiver, Table) {
  const auto rows = Rows();
  for (size_t r = 0; r < rows.size(); ++r) {
    Link link;
    for (size_t s = 0; s < rows[r].steps.size(); ++s) {
      const Step& step = rows[r].steps[s];
      std::vector<std::string> expected;
      for (const auto& e : step.expected) expected.push_back(Expand(e));
      if (step.silenceBefore) link.inTransfer = false;
      std::vector<std::string> got;
      for (const auto& e : link.Feed(Expand(step.read))) got.push_back(Describe(e));
      EXPECT_EQ(Join(got), Join(expected))
          << "row " << r << " (" << rows[r].name << "), step " << s << ": read " << Repr(Expand(step.read));
    }
  }
}

TEST(LinkReceiver, PendingOverLimitGoesOutAsText) {
  Link link;
  TLinkReceiver& receiver = link.receiver;
  link.Feed(Expand("<ENQ>"));
  const std::string start = Expand("<STX>1M|") + std::string(TLinkReceiver::MAX_PENDING - 100, 'x');
  EXPECT_TRUE(link.Feed(start).empty());
  EXPECT_EQ(receiver.PendingBytes(), start.size());
  const std::string more(200, 'y');
  const auto out = link.Feed(more);
  ASSERT_GE(out.size(), 1u);
  std::string all;
  for (const auto& e : out) {
    EXPECT_EQ(e.kind, Event::Text);
    all += e.bytes;
  }
  EXPECT_EQ(all, start + more);
  EXPECT_EQ(receiver.PendingBytes(), 0u);
}

TEST(LinkReceiver, EveryCutOfASessionGivesTheSameEvents) {
  const std::string session = Expand("<ENQ>" + kFrame1 + kFrame2 + "<EOT><ENQ>" + kFrame1 + "<EOT>");
  Link whole;
  std::vector<std::string> expected;
  for (const auto& e : whole.Feed(session)) expected.push_back(Describe(e));
  ASSERT_EQ(expected.size(), 7u);
  for (size_t cut = 1; cut < session.size(); ++cut) {
    for (size_t second = cut + 1; second <= session.size(); second += 7) {
      Link link;
      std::vector<std::string> got;
      for (const std::string& read : {session.substr(0, cut), session.substr(cut, second - cut), session.substr(second)})
        for (const auto& e : link.Feed(read)) got.push_back(Describe(e));
      ASSERT_EQ(Join(got), Join(expected)) << "cuts " << cut << ", " << second;
    }
  }
}

// The framings HL7 senders use, cut into reads at every control character:
// the record always gets the plain VT, segments ended by CR, FS, CR form, and
// every message after the first in a text that starts with its VT.
TEST(LinkReceiver, Hl7SenderFramingsBecomeThePlainForm) {
  const std::string a = "MSH|^~\\&|BC-5380|Mindray|||20260109||ORU^R01|A|P|2.3.1{E}PID|1||1005{E}OBX|1|NM|WBC||7.85{E}";
  const std::string b = "MSH|^~\\&|BC-5380|Mindray|||20260109||ORU^R01|B|P|2.3.1{E}OBR|1||B{E}";
  auto body = [](std::string text, const std::string& end) {
    for (size_t p = text.find("{E}"); p != std::string::npos; p = text.find("{E}", p)) text.replace(p, 3, end);
    return text;
  };
  const std::string one = Expand("<VT>" + body(a, "<CR>") + "<FS><CR>");
  const std::string two = one + Expand("<VT>" + body(b, "<CR>") + "<FS><CR>");
  struct R {
    std::string name;
    std::string wire;  // readable
    bool two;
  } rows[] = {
      {"plain", "<VT>" + body(a, "<CR>") + "<FS><CR>", false},
      {"NUL before VT", "<NUL><VT>" + body(a, "<CR>") + "<FS><CR>", false},
      {"NULs before VT", "<NUL><NUL><NUL><VT>" + body(a, "<CR>") + "<FS><CR>", false},
      {"segments ended by CR LF", "<VT>" + body(a, "<CR><LF>") + "<FS><CR>", false},
      {"LF after FS CR", "<VT>" + body(a, "<CR>") + "<FS><CR><LF>", false},
      {"FS without CR", "<VT>" + body(a, "<CR>") + "<FS>", false},
      {"all of them", "<NUL><NUL><VT>" + body(a, "<CR><LF>") + "<FS><CR><LF>", false},
      {"two, plain", "<VT>" + body(a, "<CR>") + "<FS><CR><VT>" + body(b, "<CR>") + "<FS><CR>", true},
      {"two, FS without CR", "<VT>" + body(a, "<CR>") + "<FS><VT>" + body(b, "<CR>") + "<FS>", true},
      {"two, NULs between", "<VT>" + body(a, "<CR>") + "<FS><CR><NUL><NUL><VT>" + body(b, "<CR>") + "<FS><CR>", true},
      {"two, FS then NUL", "<VT>" + body(a, "<CR>") + "<FS><NUL><VT>" + body(b, "<CR>") + "<FS>", true},
      {"two, everything",
       "<NUL><VT>" + body(a, "<CR><LF>") + "<FS><CR><LF><NUL><VT>" + body(b, "<CR><LF>") + "<FS><CR><LF>", true},
  };
  for (const R& row : rows) {
    const std::string wire = Expand(row.wire);
    const std::string& expected = row.two ? two : one;
    // Cut before and after every control character, and then everywhere at once.
    std::vector<std::vector<std::string>> cuttings = {{wire}};
    std::vector<std::string> every;
    size_t start = 0;
    for (size_t i = 0; i < wire.size(); ++i) {
      if (static_cast<unsigned char>(wire[i]) >= ' ') continue;
      for (const size_t cut : {i, i + 1}) {
        if (cut == 0 || cut >= wire.size()) continue;
        cuttings.push_back({wire.substr(0, cut), wire.substr(cut)});
        if (cut > start) every.push_back(wire.substr(start, cut - start));
        start = std::max(start, cut);
      }
    }
    every.push_back(wire.substr(start));
    cuttings.push_back(every);
    for (const auto& reads : cuttings) {
      Link link;
      std::string got;
      std::string failure;
      for (const std::string& read : reads) {
        for (const Event& e : link.Feed(read)) {
          if (e.kind != Event::Text) failure += " event " + Repr(e.bytes) + " is not text;";
          const bool afterMessage = got.size() >= 2 && got.compare(got.size() - 2, 2, "\x1c\r") == 0;
          if (afterMessage && e.bytes[0] != '\x0b') failure += " " + Repr(e.bytes) + " follows a message;";
          got += e.bytes;
        }
      }
      std::string cuts;
      for (const auto& r : reads) cuts += "[" + Repr(r) + "]";
      EXPECT_EQ(Repr(got), Repr(expected)) << row.name << ", reads " << cuts;
      EXPECT_EQ(failure, "") << row.name << ", reads " << cuts;
    }
  }
}

TEST(LinkReceiver, FrameNumberAndChecksums) {
  struct R {
    std::string frame;
    char number;
    std::string checksum, expected;
    bool ok;
  } rows[] = {
      {"<STX>1H|abc<CR><ETX>", '1', "", "", true},  // checksum filled in below
      {"<STX>2P|1||PATIENT111<CR><ETX>DF", '2', "DF", "DF", true},
      {"<STX>2P|1||PATIENT111<CR><ETX>df", '2', "df", "DF", true},   // lower-case digits
      {"<STX>2P|1||PATIENT112<CR><ETX>DF", '2', "DF", "E0", false},  // a digit changed on the line
      {"<STX>3R|1|^^^WBC|7.5<ETB>zz", '3', "zz", "", false},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    R r = rows[i];
    std::string bytes = Expand(r.frame);
    if (i == 0) {
      r.checksum = r.expected = astm::GetCheckSumASTM(bytes.substr(1));
      bytes += r.checksum;
    }
    if (r.expected.empty()) r.expected = astm::GetCheckSumASTM(bytes.substr(1, bytes.size() - 3));
    Link link;
    link.Feed(Expand("<ENQ>"));
    const auto out = link.Feed(bytes + "\r\n");
    ASSERT_EQ(out.size(), 1u) << "row " << i;
    EXPECT_EQ(out[0].kind, Event::Frame) << "row " << i;
    EXPECT_EQ(out[0].number, r.number) << "row " << i;
    EXPECT_EQ(out[0].checksum, r.checksum) << "row " << i;
    EXPECT_EQ(out[0].expected, r.expected) << "row " << i;
    EXPECT_EQ(out[0].ChecksumOk(), r.ok) << "row " << i;
  }
}
