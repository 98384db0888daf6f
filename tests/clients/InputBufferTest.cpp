// The facts kept by TInputBuffer always equal a fresh reading of its lines,
// whatever is done to them.
#include <gtest/gtest.h>

#include <random>

#include "clients/TInputBuffer.hpp"
#include "protocol/ArchiveNames.hpp"
#include "protocol/Blocks.hpp"
#include "protocol/Lines.hpp"
#include "ClientFixture.hpp"

using namespace kvtest;

namespace {

struct Fresh {
  size_t bytes = 0;
  bool vt = false, etx = false, fs = false, icounter = false, h = false, l = false;
  size_t header = TInputBuffer::npos, brace = TInputBuffer::npos;
};

Fresh Read(const std::deque<std::string>& lines) {
  Fresh f;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& s = lines[i];
    f.bytes += s.size() + 1;
    f.vt = f.vt || s.find(VT) != std::string::npos;
    f.etx = f.etx || s.find(ETX) != std::string::npos;
    f.fs = f.fs || s.find(FS) != std::string::npos;
    f.icounter = f.icounter || s.find("Icounter") != std::string::npos;
    f.h = f.h || s.rfind("H|", 0) == 0;
    f.l = f.l || s.rfind("L|", 0) == 0;
    const bool header = TSocketClient::IsLineASTM(s) || TSocketClient::IsLineHL7(s);
    if (f.header == TInputBuffer::npos && header) f.header = i;
    if (f.header == TInputBuffer::npos && f.brace == TInputBuffer::npos && !header && !s.empty() && s[0] == '{') f.brace = i;
  }
  return f;
}

std::string Describe(const std::deque<std::string>& lines) { return ReprLines(Lines(lines)); }

TEST(TInputBuffer, MatchesAFreshReadingUnderRandomEdits) {
  const std::vector<std::string> pieces = {"a",   "H|",  "L|",   "<VT>", "<ETX>", "<FS>", "Icou", "nter", "{",
                                           "MSH|", "1H|", "xx",  "<STX>", " ",    "Icounter", "}"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; ++round) {
    TInputBuffer index;
    for (int step = 0; step < 60; ++step) {
      const int op = static_cast<int>(rng() % 10);
      if (op <= 3) {  // append a line
        std::string s;
        const int n = static_cast<int>(rng() % 4);
        for (int k = 0; k < n; ++k) s += Expand(pieces[rng() % pieces.size()]);
        index.push_back(s);
      } else if (op <= 6 && !index.empty()) {  // text appended to the last line
        index.AppendToLast(Expand(pieces[rng() % pieces.size()]));
      } else if (op == 7 && !index.empty()) {  // consumed from the head
        index.pop_front();
      } else if (op == 8 && index.size() > 2) {  // a middle line merged into the one before
        const size_t i = 1 + rng() % (index.size() - 2);
        index.Edit([i](std::deque<std::string>& lines) {
          lines[i - 1] += lines[i];
          lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
        });
      } else if (op == 9 && rng() % 4 == 0) {
        index.clear();
      }
      const std::deque<std::string>& lines = index.Lines();
      if (rng() % 3 == 0) continue;  // several edits between two looks
      const Fresh f = Read(lines);
      const std::string where = "round " + std::to_string(round) + " step " + std::to_string(step) + " " + Describe(lines);
      ASSERT_EQ(index.Bytes(), f.bytes) << where;
      ASSERT_EQ(index.HasVT(), f.vt) << where;
      ASSERT_EQ(index.HasETX(), f.etx) << where;
      ASSERT_EQ(index.HasFS(), f.fs) << where;
      ASSERT_EQ(index.HasIcounter(), f.icounter) << where;
      ASSERT_EQ(index.HasHStart(), f.h) << where;
      ASSERT_EQ(index.HasLStart(), f.l) << where;
      ASSERT_EQ(index.FirstHeaderLine(), f.header) << where;
      ASSERT_EQ(index.FirstBraceLine(), f.brace) << where;
      ASSERT_EQ(index.LastHasFS(), !lines.empty() && lines.back().find(FS) != std::string::npos) << where;
    }
  }
}

// Through the client: completeness and identification answered from the
// facts give what the rules give on the whole buffer, for random chunking.
TEST(TInputBuffer, ClientAnswersEqualTheRulesAtEveryChunk) {
  const std::vector<std::string> streams = {
      TestData("hl7/mindray_cl_oru_r01_patient_mllp.hl7"),
      TestData("hl7/senaite_pixcell_hemoscreen_oru_r01_v24.hl7"),
      TestData("astm/mindray_cl_result_unframed_records.astm"),
      "junk\r{\r" + TestData("astm/senaite_roche_cobas_c311_single_frame.astm"),
      "x\r{\r\"a\": \"Icou" + std::string("nter\"\r}\r\r"),
  };
  std::mt19937 rng(99);
  for (size_t s = 0; s < streams.size(); ++s) {
    for (int round = 0; round < 20; ++round) {
      ClientEnv env;
      TSocketClient c("h:1", env.saida, env.Context());
      TSocketClient mirror("h:2", env.saida, env.Context());  // identified the plain way, line by line
      const std::string& bytes = streams[s];
      for (size_t i = 0; i < bytes.size();) {
        const size_t n = 1 + rng() % 40;
        const std::string chunk = bytes.substr(i, n);
        i += n;
        c.AddInputBuffer(chunk);
        mirror.AddInputBuffer(chunk);
        const int32_t p = c.GetProtocolInBuffer();
        int32_t expected = 0;
        const auto& mb = mirror.inputBuffer;
        for (size_t k = 0; k < mb.size(); ++k) {
          const std::string& l = mb[k];
          // A header still open at the end of the buffer waits for its line end.
          const bool open = k + 1 == mb.size() && chunk.back() != CR && chunk.back() != LF &&
                            l.find(FS) == std::string::npos;
          if (TSocketClient::IsLineASTM(l)) { expected = open ? 0 : 10; break; }
          if (TSocketClient::IsLineHL7(l)) { expected = open ? 0 : 20; break; }
          if (mirror.IsLineJson(l)) { expected = 30; break; }
        }
        if (c.analisador->protocolo.id != 0 && expected == 0) expected = c.analisador->protocolo.id;
        ASSERT_EQ(p, expected) << "stream " << s << " round " << round << " at " << i;
        const bool complete = c.BufferPossuiBlocoCompleto();
        bool rule = false;
        // The last line is open while the chunk did not end it (and it holds no FS).
        const bool aberta = !c.inputBuffer.empty() && chunk.back() != CR && chunk.back() != LF &&
                            c.inputBuffer.back().find(FS) == std::string::npos;
        if (p == 10) rule = protocol::PossuiBlocoCompletoASTM(c.inputBuffer, aberta);
        if (p == 20) rule = protocol::PossuiBlocoCompletoHL7(c.inputBuffer);
        ASSERT_EQ(complete, rule) << "stream " << s << " round " << round << " at " << i;
        ASSERT_EQ(c.InputBufferBytes(), Read(c.inputBuffer).bytes);
      }
    }
  }
}

}  // namespace
