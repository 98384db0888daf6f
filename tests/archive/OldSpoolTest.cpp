// The spool of earlier versions (one file per message) as a start reads it:
// every message back byte for byte, in order; damaged or foreign files set
// aside, unfinished writes removed; a delivered message's file removed.
#include <gtest/gtest.h>

#include "archive/TOldSpool.hpp"
#include "SpoolEntries.hpp"
#include "support/TestSupport.hpp"

using namespace kvtest;

namespace {

std::string Key(int n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%020d.entry", n);
  return buf;
}

TEST(OldSpool, MessagesComeBackByteForByteInTheirOrderAndLeaveWhenRemoved) {
  TempDir dir;
  const std::vector<TArchiveEntry> rows = {
      SpoolEntry("h:1", {"1H|\\^&", "2O|1|S1", "3L|1|N"}),
      SpoolEntry("h:2", {}),  // no lines
      SpoolEntry("h:1", {"", "CR\rinside", "LF\ninside", std::string("NUL\0x", 5), "\xe9\xff\x80"}),
      SpoolEntry(std::string("odd\norigem 9\n", 13), {"linha 3\nfim\n"}),  // field-like text inside
  };
  for (size_t i = 0; i < rows.size(); ++i) WriteFile(dir / Key(static_cast<int>(i + 1)), TOldSpool::Encode(rows[i]));
  TOldSpool spool(dir.path());
  std::vector<std::string> problems;
  const auto loaded = spool.Load(&problems);
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(loaded.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(loaded[i].first, Key(static_cast<int>(i + 1))) << "row " << i;
    EXPECT_EQ(loaded[i].second, rows[i]) << "row " << i;
  }
  spool.Remove(Key(1));
  spool.Remove(Key(1));  // gone already: nothing to do
  EXPECT_FALSE(FileExists(dir / Key(1)));
  EXPECT_EQ(spool.Load(nullptr).size(), rows.size() - 1);
}

TEST(OldSpool, CutOrForeignFilesAreSetAsideAndUnfinishedWritesRemoved) {
  TempDir dir;
  const std::string full = TOldSpool::Encode(SpoolEntry("h:1", {"1H|", "2L|1|N"}));
  WriteFile(dir / Key(1), full);
  struct Row {
    const char* name;
    std::string text;
  };
  const std::vector<Row> rows = {
      {"cut before its end mark", full.substr(0, full.size() - 4)},
      {"cut inside a line", full.substr(0, full.size() / 2)},
      {"empty", ""},
      {"another format", "hello\n"},
      {"a line longer than the file", "KVSPOOL 1\norigem 999\nabc\n"},
  };
  for (size_t i = 0; i < rows.size(); ++i) WriteFile(dir / Key(900 + static_cast<int>(i)), rows[i].text);
  WriteFile(dir / (Key(5) + ".Ab12Cd.tmp"), "half");
  WriteFile(dir / "00000000000000000003.journal", "not the old spool's");
  std::vector<std::string> problems;
  const auto loaded = TOldSpool(dir.path()).Load(&problems);
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].first, Key(1));
  EXPECT_EQ(problems.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i)
    EXPECT_TRUE(FileExists(dir / (Key(900 + static_cast<int>(i)) + ".ilegivel"))) << rows[i].name;
  EXPECT_FALSE(FileExists(dir / (Key(5) + ".Ab12Cd.tmp")));
  EXPECT_TRUE(FileExists(dir / "00000000000000000003.journal"));
}

}  // namespace
