// The spool journal on real files: what comes back after a restart, a record
// torn by a crash, compaction, and what else may lie in the spool folder.
#include <gtest/gtest.h>

#include "archive/TSpoolJournal.hpp"
#include "SpoolEntries.hpp"
#include "support/TestSupport.hpp"
#include "util/FileSystem.hpp"

using namespace kvtest;

namespace {

std::vector<uint64_t> KeepAll(TSpoolJournal& j, const std::vector<TArchiveEntry>& entries) {
  std::vector<const TArchiveEntry*> ptrs;
  for (const auto& e : entries) ptrs.push_back(&e);
  return j.Keep(ptrs);
}

std::vector<std::string> Journals(const TempDir& dir) {
  std::vector<std::string> out;
  for (const auto& n : ListFiles(dir.path()))
    if (n.find(".journal") != std::string::npos) out.push_back(n);
  return out;
}

TEST(SpoolJournal, WhatWaitsComesBackByteForByteWithItsNameAfterARestart) {
  TempDir dir;
  const std::vector<TArchiveEntry> rows = {
      SpoolEntry("h:1", {"1H|\\^&", "2O|1|S1", "3L|1|N"}),
      SpoolEntry("h:2", {}),
      SpoolEntry("h:1", {"", "CR\rinside", "LF\ninside", std::string("NUL\0x", 5), "\xe9\xff\x80"}),
      SpoolEntry(std::string("odd\nE 9 9 0\n", 12), {"E 1 5 00000000\nfim\n"}),  // record-like text inside
  };
  std::vector<uint64_t> seqs;
  {
    TSpoolJournal j(dir.path());
    ASSERT_TRUE(j.Open(nullptr).empty());
    seqs = KeepAll(j, {rows[0], rows[1]});
    const auto more = KeepAll(j, {rows[2], rows[3]});
    seqs.insert(seqs.end(), more.begin(), more.end());
    j.RecordNames({{seqs[0], "/saida/XN-550/S1.astm", "/saida/XN-550/S1.astm.Ab12Cd.tmp"}});
    j.RecordDelivered({seqs[1]});
    EXPECT_EQ(j.Waiting(), 3u);
    EXPECT_EQ(j.Read(seqs[2]), rows[2]);
  }
  TSpoolJournal again(dir.path());
  std::vector<std::string> problems;
  const auto waiting = again.Open(&problems);
  EXPECT_TRUE(problems.empty()) << problems.front();
  ASSERT_EQ(waiting.size(), 3u);
  EXPECT_EQ(waiting[0].seq, seqs[0]);
  EXPECT_EQ(waiting[0].nome, "/saida/XN-550/S1.astm");
  EXPECT_EQ(waiting[0].temp, "/saida/XN-550/S1.astm.Ab12Cd.tmp");
  EXPECT_EQ(waiting[1].seq, seqs[2]);
  EXPECT_EQ(waiting[1].nome, "");
  EXPECT_EQ(waiting[2].origem, rows[3].origem);
  EXPECT_EQ(waiting[2].completo, rows[3].completo);
  for (const auto& w : waiting) EXPECT_EQ(again.Read(w.seq), rows[w.seq == seqs[0] ? 0 : w.seq == seqs[2] ? 2 : 3]);
  // One generation is left, and later messages number after the earlier ones.
  EXPECT_EQ(Journals(dir).size(), 1u);
  EXPECT_GT(KeepAll(again, {rows[0]}).front(), seqs.back());
}

TEST(SpoolJournal, ATornOrDamagedRecordEndsTheJournalThereAndNothingBeforeItIsLost) {
  struct Row {
    const char* name;
    std::function<std::string(const std::string& whole, size_t lastRecord)> damage;
    size_t waiting;   // of the three kept
    size_t problems;  // lines that tell of the damage
  };
  const std::vector<Row> rows = {
      {"cut inside the last record", [](const std::string& w, size_t last) { return w.substr(0, last + 10); }, 2, 1},
      {"cut before its final LF", [](const std::string& w, size_t) { return w.substr(0, w.size() - 1); }, 2, 1},
      {"a byte of the last payload changed",
       [](const std::string& w, size_t) {
         std::string d = w;
         d[d.size() - 5] ^= 0x20;
         return d;
       },
       2, 1},
      {"garbage after the last record", [](const std::string& w, size_t) { return w + "E 99 3 0\nabc\n"; }, 3, 1},
      {"nothing after the header", [](const std::string& w, size_t) { return w.substr(0, 12); }, 0, 0},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TempDir dir;
    size_t lastRecord = 0;
    {
      TSpoolJournal j(dir.path());
      j.Open(nullptr);
      KeepAll(j, {SpoolEntry("h:1", {"O|1|A"}), SpoolEntry("h:1", {"O|1|B"})});
      lastRecord = static_cast<size_t>(j.Bytes());
      KeepAll(j, {SpoolEntry("h:2", {"O|1|C"})});
    }
    const std::string file = dir / Journals(dir).at(0);
    WriteFile(file, rows[i].damage(ReadFile(file), lastRecord));
    TSpoolJournal j(dir.path());
    std::vector<std::string> problems;
    const auto waiting = j.Open(&problems);
    EXPECT_EQ(waiting.size(), rows[i].waiting) << rows[i].name;
    EXPECT_EQ(problems.size(), rows[i].problems) << rows[i].name;
    // The damage is gone from the new generation: what is kept now comes back after it.
    const uint64_t seq = KeepAll(j, {SpoolEntry("h:3", {"O|1|D"})}).front();
    TSpoolJournal after(dir.path());
    const auto back = after.Open(&problems);
    ASSERT_EQ(back.size(), rows[i].waiting + 1) << rows[i].name;
    EXPECT_EQ(back.back().seq, seq) << rows[i].name;
    EXPECT_EQ(after.Read(seq).linhas, std::vector<std::string>{"O|1|D"}) << rows[i].name;
  }
}

TEST(SpoolJournal, CompactionKeepsWhatWaitsAndDropsWhatWasDelivered) {
  TempDir dir;
  TSpoolJournal j(dir.path());
  j.Open(nullptr);
  const std::string big(64 * 1024, 'x');
  std::vector<uint64_t> kept;
  for (int group = 0; group < 20; ++group) {
    std::vector<TArchiveEntry> entries;
    for (int i = 0; i < 8; ++i) entries.push_back(SpoolEntry("h:" + std::to_string(i), {big, std::to_string(group * 8 + i)}));
    const auto seqs = KeepAll(j, entries);
    kept.insert(kept.end(), seqs.begin(), seqs.end());
  }
  // All but three delivered; one of those three already named.
  j.RecordNames({{kept[5], "/saida/n5.astm", ""}});
  std::vector<uint64_t> done;
  for (uint64_t s : kept)
    if (s != kept[5] && s != kept[70] && s != kept.back()) done.push_back(s);
  j.RecordDelivered(done);
  const uint64_t before = j.Bytes();
  const std::string oldName = Journals(dir).at(0);
  j.CompactIfWorthIt();
  EXPECT_LT(j.Bytes(), before / 20);
  ASSERT_EQ(Journals(dir).size(), 1u);
  EXPECT_NE(Journals(dir).at(0), oldName);
  EXPECT_EQ(j.Read(kept[70]).linhas.at(1), "70");
  // Appends go on in the new generation, and a restart finds the same.
  const uint64_t later = KeepAll(j, {SpoolEntry("h:9", {"after"})}).front();
  TSpoolJournal again(dir.path());
  const auto waiting = again.Open(nullptr);
  ASSERT_EQ(waiting.size(), 4u);
  EXPECT_EQ(waiting[0].seq, kept[5]);
  EXPECT_EQ(waiting[0].nome, "/saida/n5.astm");
  EXPECT_EQ(waiting[3].seq, later);
  EXPECT_EQ(again.Read(kept.back()).linhas.at(1), "159");
}

TEST(SpoolJournal, AnInterruptedCompactionAndLeftOversAreSortedOut) {
  TempDir dir;
  uint64_t seq = 0;
  {
    TSpoolJournal j(dir.path());
    j.Open(nullptr);
    seq = KeepAll(j, {SpoolEntry("h:1", {"O|1|A"})}).front();
  }
  // A crash between the new generation's rename and the old one's removal:
  // both hold the message, which comes back once.
  const std::string name = Journals(dir).at(0);
  const std::string copy = "00000000000000000050.journal";
  WriteFile(dir / copy, ReadFile(dir / name));
  WriteFile(dir / "00000000000000000007.journal.tmp", "KVJOURNAL 1\nhalf");  // a generation never finished
  WriteFile(dir / "notes.txt", "an operator's file");
  TSpoolJournal j(dir.path());
  std::vector<std::string> problems;
  const auto waiting = j.Open(&problems);
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(waiting[0].seq, seq);
  EXPECT_FALSE(FileExists(dir / "00000000000000000007.journal.tmp"));
  EXPECT_TRUE(FileExists(dir / "notes.txt"));
  EXPECT_EQ(Journals(dir).size(), 1u);
}

TEST(SpoolJournal, AFolderThatCannotTakeTheJournalThrows) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  TSpoolJournal j(dir / "file/spool/");
  EXPECT_THROW(j.Open(nullptr), std::runtime_error);
  const TArchiveEntry e = SpoolEntry("h:1", {"x"});
  EXPECT_THROW(j.Keep({&e}), std::runtime_error);
}

}  // namespace
