// The MLLP framing real HL7 senders use, through the real service: NUL bytes
// before VT, segments ended by CR LF, an LF after FS CR, FS without CR, and
// two messages back to back, whole and split across reads at the control
// characters. Each message must be acknowledged once and archived once, its
// file the same as the one the plain VT ... CR ... FS CR form gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServiceHarness.hpp"

using namespace kvtest;

namespace {

class Hl7SenderFraming : public ServiceSuite {};

// The four segments of a result for `sample` (also its control id), without
// their line ends.
std::vector<std::string> Segments(const std::string& sample) {
  return {"MSH|^~\\&|BC-5380|Mindray|||20260109094500||ORU^R01|" + sample + "|P|2.3.1",
          "PID|1||1005^^^^MR||GONCALVES^PEDRO||20150309|Male",
          "OBR|1||" + sample + "|00001^Automated Count^99MRC",
          "OBX|1|NM|6690-2^WBC^LN||7.85|10*9/L|5.00-12.00|N|||F"};
}

// A readable wire template: <NUL>, <VT>, <CR>, <LF>, <FS> as Expand names them;
// {A} and {B} stand for the segments of the row's first and second message,
// each ended by CR, {A/CRLF} and {B/CRLF} for the same ended by CR LF, and
// "%" marks where one read ends and the next begins.
std::vector<std::string> Reads(const std::string& wire, const std::string& a, const std::string& b) {
  auto body = [](const std::string& sample, const std::string& end) {
    std::string text;
    for (const auto& s : Segments(sample)) text += s + end;
    return text;
  };
  std::string text = wire;
  const std::vector<std::pair<std::string, std::string>> holes = {
      {"{A}", body(a, "\r")}, {"{B}", body(b, "\r")}, {"{A/CRLF}", body(a, "\r\n")}, {"{B/CRLF}", body(b, "\r\n")}};
  for (const auto& [hole, fill] : holes)
    for (size_t p = text.find(hole); p != std::string::npos; p = text.find(hole, p + fill.size()))
      text.replace(p, hole.size(), fill);
  std::vector<std::string> reads;
  size_t start = 0;
  for (size_t p = text.find('%'); p != std::string::npos; p = text.find('%', start)) {
    reads.push_back(Expand(text.substr(start, p - start)));
    start = p + 1;
  }
  reads.push_back(Expand(text.substr(start)));
  return reads;
}

// The archive files under saida whose name is `sample`, or `sample` with a "-nn" suffix.
std::vector<std::pair<std::string, std::string>> FilesOf(const std::string& saida, const std::string& sample) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [name, content] : ArchiveFiles(saida)) {
    const size_t slash = name.find_last_of('/');
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    if (base == sample + ".hl7" || base.starts_with(sample + "-")) out.emplace_back(name, content);
  }
  return out;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size()))
    text.replace(p, from.size(), to);
  return text;
}

const std::string kFsCr = "\x1c\r";
const std::string kResidue = "Buffer cont\xE9" "m res\xED" "duos";

TEST_F(Hl7SenderFraming, EachMessageAcknowledgedAndArchivedOnceAsThePlainFormIs) {
  // The plain form first: its file is what every variant must give.
  const std::string reference = "FRM00A";
  {
    Peer peer(svc_->port());
    peer.Send(Reads("<VT>{A}<FS><CR>", reference, "")[0]);
    const std::string ack = peer.ReadUntil([](const std::string& r) { return r.find(kFsCr) != std::string::npos; });
    ASSERT_NE(ack.find("MSA|AA|" + reference + "|"), std::string::npos) << Repr(ack);
  }
  ASSERT_TRUE(WaitFor([&] { return FilesOf(Saida(), reference).size() == 1; }));
  const std::string plain = FilesOf(Saida(), reference)[0].second;
  std::string lines;
  for (const auto& s : Segments(reference)) lines += s + "\r\n";
  ASSERT_EQ(plain.rfind(lines, 0), 0u) << Repr(plain);

  struct Row {
    std::string name;
    std::string wire;  // see Reads
    bool two;          // a second message ({B}) follows
  };
  const std::vector<Row> rows = {
      {"plain, split before FS", "<VT>{A}%<FS><CR>", false},
      {"plain, FS|CR", "<VT>{A}<FS>%<CR>", false},
      {"NUL before VT", "<NUL><VT>{A}<FS><CR>", false},
      {"NULs before VT", "<NUL><NUL><NUL><VT>{A}<FS><CR>", false},
      {"NUL|VT", "<NUL>%<VT>{A}<FS><CR>", false},
      {"NUL NUL|VT", "<NUL><NUL>%<VT>{A}<FS><CR>", false},
      {"NUL|NUL|VT", "<NUL>%<NUL>%<VT>{A}<FS><CR>", false},
      {"segments ended by CR LF", "<VT>{A/CRLF}<FS><CR>", false},
      {"CR LF, CR|LF", "<VT>MSH|^~\\&|BC-5380|Mindray|||20260109094500||ORU^R01|{S}|P|2.3.1<CR>%<LF>"
                       "PID|1||1005^^^^MR||GONCALVES^PEDRO||20150309|Male<CR><LF>"
                       "OBR|1||{S}|00001^Automated Count^99MRC<CR>%<LF>"
                       "OBX|1|NM|6690-2^WBC^LN||7.85|10*9/L|5.00-12.00|N|||F<CR>%<LF><FS><CR>%<LF>", false},
      {"LF after FS CR", "<VT>{A}<FS><CR><LF>", false},
      {"FS CR|LF", "<VT>{A}<FS><CR>%<LF>", false},
      {"FS|CR|LF", "<VT>{A}<FS>%<CR>%<LF>", false},
      {"FS without CR", "<VT>{A}<FS>", false},
      {"NUL, CR LF, FS CR LF", "<NUL><VT>{A/CRLF}<FS><CR><LF>", false},
      {"NUL|VT, CR LF, FS|CR|LF", "<NUL>%<VT>{A/CRLF}<FS>%<CR>%<LF>", false},
      {"two, plain", "<VT>{A}<FS><CR><VT>{B}<FS><CR>", true},
      {"two, FS without CR", "<VT>{A}<FS><VT>{B}<FS>", true},
      {"two, FS without CR, split", "<VT>{A}<FS>%<VT>{B}<FS>", true},
      {"two, NULs between", "<VT>{A}<FS><CR><NUL><NUL><VT>{B}<FS><CR>", true},
      {"two, FS then NUL VT", "<VT>{A}<FS><NUL><VT>{B}<FS>", true},
      {"two, FS|NUL VT", "<VT>{A}<FS>%<NUL><VT>{B}<FS>", true},
      {"two, FS|NUL|VT", "<VT>{A}<FS>%<NUL>%<VT>{B}<FS>", true},
      {"two, LF after FS CR", "<VT>{A}<FS><CR><LF><VT>{B}<FS><CR><LF>", true},
      {"two, CR LF, FS CR|LF NUL VT", "<VT>{A/CRLF}<FS><CR>%<LF><NUL><VT>{B/CRLF}<FS><CR><LF>", true},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE("row " + std::to_string(i) + " (" + row.name + ")");
    const std::string a = "FRM" + std::to_string(10 + i) + "A";
    const std::string b = "FRM" + std::to_string(10 + i) + "B";
    std::vector<std::string> samples = {a};
    if (row.two) samples.push_back(b);
    const size_t residues = Count(svc_->LogText(), kResidue);

    Peer peer(svc_->port());
    for (const std::string& read : Reads(Replace(row.wire, "{S}", a), a, b)) EXPECT_TRUE(SendRead(*svc_, peer, read));
    const std::string acks =
        peer.ReadUntil([&](const std::string& r) { return Count(r, kFsCr) >= samples.size(); }, 5000ms);
    const std::string more = peer.ReadFor(300ms);
    EXPECT_EQ(Count(acks + more, "ACK^R01"), samples.size()) << Repr(acks + more);
    for (const std::string& sample : samples) {
      EXPECT_EQ(Count(acks, "MSA|AA|" + sample + "|"), 1u) << sample << ": " << Repr(acks + more);
      EXPECT_TRUE(WaitFor([&] { return !FilesOf(Saida(), sample).empty(); })) << sample;
      const auto files = FilesOf(Saida(), sample);
      EXPECT_EQ(files.size(), 1u) << sample;
      if (files.size() != 1) continue;
      EXPECT_EQ(Repr(files[0].second), Repr(Replace(plain, reference, sample))) << files[0].first;
    }
    EXPECT_EQ(Count(svc_->LogText(), kResidue), residues) << "leftover lines were logged";
  }
}

}  // namespace
