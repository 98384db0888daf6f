// Reception: line cutting, continuation join, waiting flag, ENQ/EOT handshake, client list.
#include <gtest/gtest.h>

#include <numeric>

#include "protocol/ArchiveNames.hpp"
#include "protocol/Blocks.hpp"
#include "protocol/Lines.hpp"
#include "ClientFixture.hpp"

using namespace kvtest;

namespace {

struct CutRow {
  const char* name;
  const char* chunk;
  std::vector<std::string> lines;
  bool endsAtBreak;
};

TEST(CutLines, BreaksAndChunkEnds) {
  const std::vector<CutRow> rows = {
      {"empty chunk", "", {}, false},
      {"text without break", "A", {"A"}, false},
      {"CR at end adds no empty line", "A<CR>", {"A"}, true},
      {"CR LF at end", "A<CR><LF>", {"A"}, true},
      {"LF at end", "A<LF>", {"A"}, true},
      {"CR CR gives an empty middle line", "A<CR><CR>B", {"A", "", "B"}, false},
      {"LF CR is two breaks", "A<LF><CR>B", {"A", "", "B"}, false},
      {"CR LF is one break", "A<CR><LF>B", {"A", "B"}, false},
      {"lone CR", "<CR>", {""}, true},
      {"lone LF", "<LF>", {""}, true},
      {"CR LF alone", "<CR><LF>", {""}, true},
      {"LF CR alone", "<LF><CR>", {"", ""}, true},
      {"CR CR alone", "<CR><CR>", {"", ""}, true},
      {"CR LF CR LF", "<CR><LF><CR><LF>", {"", ""}, true},
      {"frame keeps its control characters", "<STX>1H|x<CR><ETX>4F<CR><LF>", {"<STX>1H|x", "<ETX>4F"}, true},
      {"NUL stays inside a line", "A<NUL>B", {"A<NUL>B"}, false},
      {"MLLP message", "<VT>MSH|a<CR>PID|b<CR><FS><CR>", {"<VT>MSH|a", "PID|b", "<FS>"}, true},
      {"text after last break is a line", "A<CR>B", {"A", "B"}, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    const auto cut = protocol::CutLines(Expand(r.chunk));
    EXPECT_EQ(ReprLines(cut.lines), ReprLines(ExpandAll(r.lines))) << "row " << i << ": " << r.name;
    EXPECT_EQ(cut.endsAtBreak, r.endsAtBreak) << "row " << i << ": " << r.name;
  }
}

struct AddRow {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<std::string> lines;
  bool waiting;
};

TEST(AddInputBuffer, ChunkSequences) {
  const std::vector<AddRow> rows = {
      {"no VT: a line cut by a chunk boundary is glued back", {"AB", "CD<CR>"}, {"ABCD"}, false},
      {"no VT: CR and LF in two chunks add nothing", {"A<CR>", "<LF>B<CR>"}, {"A", "B"}, false},
      {"no VT: LF and CR in two chunks stay two breaks", {"A<LF>", "<CR>B<CR>"}, {"A", "", "B"}, false},
      {"no VT: lone CR ends the open line", {"A", "<CR>"}, {"A"}, false},
      {"no VT: lone CR after a line end adds an empty line", {"A<CR>", "<CR>"}, {"A", ""}, false},
      {"no VT: a chunk starting a frame starts a line", {"<STX>1H|x<CR><ETX>4F", "<STX>2P|1<CR>"},
       {"<STX>1H|x", "<ETX>4F", "<STX>2P|1"}, false},
      {"no VT: a line per chunk", {"H|1<CR>", "P|1<CR>", "L|1<CR>"}, {"H|1", "P|1", "L|1"}, false},
      {"VT: segment split mid-line is joined", {"<VT>MSH|1<CR>PI", "D|2<CR><FS><CR>"}, {"<VT>MSH|1", "PID|2", "<FS>"}, false},
      {"VT: split inside a field is joined", {"<VT>MSH|1", "|x<CR>"}, {"<VT>MSH|1|x"}, true},
      {"VT: one segment per chunk stays one line each",
       {"<VT>MSH|1<CR>", "PID|2<CR>", "OBR|3<CR>", "<FS><CR>"},
       {"<VT>MSH|1", "PID|2", "OBR|3", "<FS>"},
       false},
      {"VT: CR and LF in two chunks add nothing", {"<VT>MSH|1<CR>", "<LF>PID|2<CR><LF>"}, {"<VT>MSH|1", "PID|2"}, true},
      {"VT: lone CR after FS adds nothing", {"<VT>MSH|1<CR><FS>", "<CR>"}, {"<VT>MSH|1", "<FS>"}, false},
      {"VT: chunk beginning with VT adds new lines only", {"<VT>MSH|1<CR>PI", "<VT>MSH|2<CR>"},
       {"<VT>MSH|1", "PI", "<VT>MSH|2"}, true},
      {"VT: CR then VT of the next message", {"<VT>MSH|1<CR><FS>", "<CR><VT>MSH|2<CR>"},
       {"<VT>MSH|1", "<FS>", "<VT>MSH|2"}, true},
      {"VT alone then the message", {"<VT>", "MSH|1<CR>", "<FS><CR>"}, {"<VT>MSH|1", "<FS>"}, false},
      {"waiting flag: VT without FS", {"<VT>MSH|1<CR>"}, {"<VT>MSH|1"}, true},
      {"waiting flag: VT and FS in one chunk changes nothing", {"<VT>MSH|1<CR><FS><CR>"}, {"<VT>MSH|1", "<FS>"}, false},
      {"waiting flag: both in a later chunk leave it set", {"<VT>A<CR>", "<VT>B<FS><CR>"}, {"<VT>A", "<VT>B<FS>"}, true},
      {"waiting flag: FS without a VT before", {"A<FS><CR>"}, {"A<FS>"}, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    TSocketClient c("h:1", "/tmp/", TClientContext{});
    for (const auto& chunk : r.chunks) c.AddInputBuffer(Expand(chunk));
    EXPECT_EQ(ReprLines(Lines(c.inputBuffer)), ReprLines(ExpandAll(r.lines))) << "row " << i << ": " << r.name;
    EXPECT_EQ(c.buffer_receiving_waiting_terminator, r.waiting) << "row " << i << ": " << r.name;
    EXPECT_EQ(c.buffer_receiving_terminator, r.waiting ? std::string(1, FS) : std::string())
        << "row " << i << ": " << r.name;
  }
}

// Feeds `bytes` cut into the given pieces and answers the buffered lines.
std::vector<std::string> Feed(const std::vector<std::string>& pieces) {
  TSocketClient c("h:1", "/tmp/", TClientContext{});
  for (const auto& p : pieces) c.AddInputBuffer(p);
  return Lines(c.inputBuffer);
}

std::vector<std::string> CutEvery(const std::string& bytes, size_t size) {
  std::vector<std::string> pieces;
  for (size_t i = 0; i < bytes.size(); i += size) pieces.push_back(bytes.substr(i, size));
  return pieces;
}

// Each sample gives the lines it gives in one read when split in two at every
// position and when read 1 and 10 bytes at a time.
void ExpectSameAtEveryCut(const std::vector<std::string>& samples) {
  for (size_t s = 0; s < samples.size(); ++s) {
    const std::string& bytes = samples[s];
    const auto whole = Feed({bytes});
    for (size_t k = 1; k < bytes.size(); ++k) {
      const auto lines = Feed({bytes.substr(0, k), bytes.substr(k)});
      ASSERT_EQ(ReprLines(lines), ReprLines(whole)) << "sample " << s << " split at " << k;
    }
    EXPECT_EQ(ReprLines(Feed(CutEvery(bytes, 1))), ReprLines(whole)) << "sample " << s << " size 1";
    EXPECT_EQ(ReprLines(Feed(CutEvery(bytes, 10))), ReprLines(whole)) << "sample " << s << " size 10";
  }
}

// An MLLP stream gives the same lines however it is cut: every split in two,
// reads of 1 and of 10 bytes.
TEST(AddInputBuffer, MllpStreamIsTheSameAtEveryCut) {
  std::vector<std::string> samples;
  for (const auto& f : TestDataFiles("hl7")) {
    if (f.find("_mllp") != std::string::npos) samples.push_back(ReadFile(f));
  }
  ASSERT_GE(samples.size(), 6u);
  // Two messages back to back as well, and one with CR LF segment ends.
  samples.push_back(samples[0] + samples[1]);
  samples.push_back(Expand("<VT>MSH|^~\\&|A|B|||||ORU^R01|1|P|2.3.1<CR><LF>PID|1||X<CR><LF>OBR|1|S123<CR><LF><FS><CR><LF>"));

  ExpectSameAtEveryCut(samples);
}

// Without VT the lines come out as if the text had arrived in one read,
// wherever the reads were cut (a read starting with STX starts a line).
TEST(AddInputBuffer, UnframedStreamIsTheSameAtEveryCut) {
  std::vector<std::string> samples = {
      TestData("astm/mindray_cl_result_unframed_records.astm"),
      TestData("astm/astmgeneral_ortho_vitros3600_host_query_session.astm").substr(1, 200),
      Expand("{<CR><LF>  \"identifier\": \"A1\",<CR><LF><CR><LF>}<CR><LF><CR><LF>x<LF><CR>y"),
  };
  ExpectSameAtEveryCut(samples);
}

struct HandshakeRow {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<std::string> input;
  std::vector<std::string> output;
  bool inTransfer;
  bool frameToFrame;
};

TEST(ReadMessage, Handshake) {
  const std::string frame = "<STX>1X|foo<CR><ETX>00<CR><LF>";
  const std::vector<HandshakeRow> rows = {
      {"ENQ alone queues one ACK", {"<ENQ>"}, {}, {"<ACK>"}, true, true},
      {"ENQ clears leftover lines", {"junk<CR>more<CR>", "<ENQ>"}, {}, {"<ACK>"}, true, true},
      {"frame in a transfer is stored and acknowledged", {"<ENQ>", frame}, {"<STX>1X|foo", "<ETX>00"},
       {"<ACK>", "<ACK>"}, true, true},
      {"EOT ends the transfer and queues nothing", {"<ENQ>", frame, "<EOT>"}, {"<STX>1X|foo", "<ETX>00"},
       {"<ACK>", "<ACK>"}, false, true},
      {"second ENQ clears again", {"<ENQ>", frame, "<ENQ>"}, {}, {"<ACK>", "<ACK>", "<ACK>"}, true, true},
      {"frame mode stays after EOT", {"<ENQ>", "<EOT>", "x<CR>"}, {"x"}, {"<ACK>"}, false, true},
      {"EOT alone", {"<EOT>"}, {}, {}, false, false},
      {"ENQ with a frame in one read is text", {"<ENQ>" + frame}, {"<ENQ><STX>1X|foo", "<ETX>00"}, {}, false, false},
      {"frame and EOT in one read is text", {"<ENQ>", frame + "<EOT>"}, {"<STX>1X|foo", "<ETX>00", "<EOT>"},
       {"<ACK>", "<ACK>"}, true, true},
      {"NAK alone is text", {"<NAK>"}, {"<NAK>"}, {}, false, false},
      {"ACK with other characters is text", {"A<ACK>"}, {"A<ACK>"}, {}, false, false},
      {"empty chunk does nothing", {""}, {}, {}, false, false},
      {"every chunk of a transfer is acknowledged, whatever it holds", {"<ENQ>", "<CR>", "<CR>", "<LF>"}, {"", ""},
       {"<ACK>", "<ACK>", "<ACK>", "<ACK>"}, true, true},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    ClientEnv env;
    TSocketClient c("h:1", env.saida, env.Context());
    for (const auto& chunk : r.chunks) c.ReadMessage(Expand(chunk));
    EXPECT_EQ(ReprLines(Lines(c.inputBuffer)), ReprLines(ExpandAll(r.input))) << "row " << i << ": " << r.name;
    EXPECT_EQ(ReprLines(Lines(c.outputBuffer)), ReprLines(ExpandAll(r.output))) << "row " << i << ": " << r.name;
    EXPECT_EQ(c.inTransferPhase, r.inTransfer) << "row " << i << ": " << r.name;
    EXPECT_EQ(c.usingFrameToFrame, r.frameToFrame) << "row " << i << ": " << r.name;
    EXPECT_EQ(c.analisador->protocolo.id, PROTOCOLO_NAO_INDENTIFICADO) << "row " << i << ": " << r.name;
  }
}

TEST(ReadMessage, LogsStartAndEndOfTransfer) {
  ClientEnv env;
  TSocketClient c("h:1", env.saida, env.Context());
  c.ReadMessage(Expand("<ENQ>"));
  EXPECT_TRUE(env.LogHas("Iniciando transmiss\xe3o.")) << Repr(env.Log());
  EXPECT_FALSE(env.LogHas("Finalizando transmiss\xe3o."));
  c.ReadMessage(Expand("<EOT>"));
  EXPECT_TRUE(env.LogHas("Finalizando transmiss\xe3o.")) << Repr(env.Log());
}

TEST(InputBufferBytes, RunningCountFollowsEveryChange) {
  TSocketClient c("h:1", "/tmp/", TClientContext{});
  auto recount = [&] {
    size_t n = 0;
    for (const auto& l : c.inputBuffer) n += l.size() + 1;
    return n;
  };
  c.AddInputBuffer("abc\rde");
  EXPECT_EQ(c.InputBufferBytes(), recount());
  c.AddInputBuffer(Expand("<VT>x"));
  c.AddInputBuffer("yz\r\r");
  EXPECT_EQ(c.InputBufferBytes(), recount());
  c.ConsumeInputLines(2);
  EXPECT_EQ(c.InputBufferBytes(), recount());
  // Handlers edit the buffer directly; the figure follows.
  c.inputBuffer.push_back("0123456789");
  EXPECT_EQ(c.InputBufferBytes(), recount());
  c.inputBuffer.clear();
  EXPECT_EQ(c.InputBufferBytes(), 0u);
  c.AddInputBuffer("q\r");
  EXPECT_EQ(c.InputBufferBytes(), 2u);
  c.ReadMessage(Expand("<ENQ>"));
  EXPECT_EQ(c.InputBufferBytes(), 0u);
  // A flood of line breaks is counted too (one per line).
  c.AddInputBuffer(std::string(1000, '\r'));
  EXPECT_EQ(c.InputBufferBytes(), 1000u);
}

TEST(TSocketClientList, FirstMatchRules) {
  ClientEnv env;
  TSocketClientList list;
  TSocketClient& older = list.AddItem("host:10", "/a/");
  TSocketClient& newer = list.AddItem("host:10", "/b/");
  list.AddItem("host:11", "/c/");
  EXPECT_EQ(list.Count(), 3u);
  EXPECT_EQ(older.id, "host:10");
  EXPECT_EQ(older.pasta_saida, "/a/");
  EXPECT_EQ(list.GetItem("host:10"), &older);
  EXPECT_EQ(list.GetItem("HOST:10"), nullptr);  // compared exactly
  EXPECT_EQ(list.GetItem("host:1"), nullptr);
  EXPECT_EQ(list.GetItem(":10"), nullptr);
  list.FreeItem("host:10");
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_EQ(list.GetItem("host:10"), &newer);
  list.FreeItem("nobody:1");
  EXPECT_EQ(list.Count(), 2u);
  list.FreeItem("host:10");
  list.FreeItem("host:11");
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.GetItem("host:10"), nullptr);
  EXPECT_FALSE(env.LogHas("Erro"));
}

TEST(TSocketClient, CreatedEmpty) {
  TSocketClient c("peer:4000", "/out/", TClientContext{});
  EXPECT_EQ(c.id, "peer:4000");
  EXPECT_EQ(c.pasta_saida, "/out/");
  EXPECT_TRUE(c.inputBuffer.empty());
  EXPECT_TRUE(c.outputBuffer.empty());
  EXPECT_FALSE(c.buffer_receiving_waiting_terminator || c.usingFrameToFrame || c.using_multiline ||
               c.inTransferPhase);
  EXPECT_TRUE(c.buffer_receiving_terminator.empty() && c.buffer_reading_terminator.empty());
  ASSERT_NE(c.analisador, nullptr);
  EXPECT_EQ(c.analisador->protocolo.id, PROTOCOLO_NAO_INDENTIFICADO);
  EXPECT_EQ(c.analisador->aparelhoTevarin, nullptr);
}

}  // namespace
