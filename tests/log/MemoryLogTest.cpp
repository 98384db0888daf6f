// The memory log of the handler tests renders what the service log file holds
// after the same entries: the same text, byte for byte.
#include <gtest/gtest.h>

#include "log/LogEntry.hpp"
#include "log/LogTestUtil.hpp"
#include "support/MemoryLog.hpp"
#include "support/TestSupport.hpp"

using kvtest::Repr;
using namespace logtest;

namespace {

TEST(LogEntryText, StampTabText) {
  EXPECT_EQ(LogEntryText(kT1, "abc"), kStamp1 + "abc");
  EXPECT_EQ(LogEntryText(TDateTime{1999, 12, 31, 23, 59, 58, 999}, "x"), "31/12/1999 23:59:58\tx");
  EXPECT_EQ(LogEntryText(kT1, ""), "");
}

TEST(MemoryLog, RendersWhatTheLogFileHolds) {
  struct Entry {
    std::string text;
    bool newLine = true;
  };
  struct Row {
    const char* name;
    std::vector<Entry> entries;
    int32_t cap;
    int generations = 5;
  };
  const std::string big(300, 'x');
  const std::vector<Row> rows = {
      {"one entry", {{"abc"}}, 1000000},
      {"newest first", {{"A"}, {"B"}, {"C"}}, 1000000},
      {"empty text is a blank line", {{"A"}, {""}, {"B"}}, 1000000},
      {"CR inside the newest entry stays as written", {{"A"}, {"x\ry"}}, 1000000},
      {"CR inside an older entry becomes a line break", {{"x\ry"}, {"B"}}, 1000000},
      {"LF, CR LF, CR CR and a final CR", {{"a\nb\r\nc\r\rd\r"}, {"B"}, {"e\r\n"}}, 1000000},
      {"an entry continued on its line", {{"A"}, {"B", false}, {"C"}}, 1000000},
      {"continued after an entry with a CR", {{"x\ry"}, {"B", false}}, 1000000},
      {"Windows-1252 bytes kept", {{"a\xe7\xe3o"}, {"S\xe3o"}}, 1000000},
      {"a log at the cap starts afresh", {{big}, {big}, {big}, {"after"}}, 700},
      {"the cap judged before the breaks are split", {{big + "\r" + big}, {"B"}, {"C"}}, 605},
      {"generations move up and the oldest goes",
       {{big}, {big + "1"}, {big}, {big + "2"}, {big}, {big + "3"}, {big}, {"last"}}, 500, 2},
      {"no generations kept", {{big}, {big}, {big}, {"after"}}, 500, 0},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(std::string("row ") + std::to_string(i) + " " + rows[i].name);
    kvtest::TempDir dir;
    auto file = MakeLog(dir / "log.txt", rows[i].cap);
    file->generations = rows[i].generations;
    kvtest::MemoryLog memory(FixedClock(kT1), rows[i].cap, rows[i].generations);
    for (const auto& e : rows[i].entries) {
      file->make(e.text, e.newLine);
      memory.make(e.text, e.newLine);
      file->flush();
      EXPECT_EQ(Repr(memory.Text()), Repr(kvtest::ReadFile(dir / "log.txt")));
      const auto& kept = memory.Generations();
      for (size_t g = 0; g < kept.size(); ++g)
        EXPECT_EQ(Repr(kept[g]), Repr(kvtest::ReadFile(dir / ("log." + std::to_string(g + 1) + ".txt"))));
      EXPECT_FALSE(kvtest::FileExists(dir / ("log." + std::to_string(kept.size() + 1) + ".txt")));
    }
    ASSERT_EQ(memory.Texts().size(), rows[i].entries.size());
    EXPECT_EQ(memory.Texts().back(), rows[i].entries.back().text);
  }
}

}  // namespace
