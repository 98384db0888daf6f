#include <gtest/gtest.h>

#include "log/LogTestUtil.hpp"
#include "log/TLog.hpp"
#include "support/TestSupport.hpp"
#include "util/Encoding.hpp"

using kvtest::ReadFile;
using kvtest::Repr;
using kvtest::TempDir;
using kvtest::WriteFile;
using namespace logtest;

namespace {

TEST(TLogFormat, EntriesNewestFirstWithTimestamp) {
  struct Row {
    std::string name;
    std::string before;  // file content first ("<none>": no file)
    std::vector<std::string> entries;
    std::string after;
  };
  const std::vector<Row> rows = {
      {"missing file", "<none>", {"abc"}, kStamp1 + "abc\r\n"},
      {"three entries", "<none>", {"A", "B", "C"}, kStamp1 + "C\r\n" + kStamp1 + "B\r\n" + kStamp1 + "A\r\n"},
      {"empty text is a blank line", "old\r\n", {""}, "\r\nold\r\n"},
      {"empty file", "", {"x"}, kStamp1 + "x\r\n"},
      {"existing lines follow unchanged", "l1\r\nl2\r\n", {"n"}, kStamp1 + "n\r\nl1\r\nl2\r\n"},
      {"lines split at CR, LF and CR LF", "a\rb\nc\r\nd", {"n"}, kStamp1 + "n\r\na\r\nb\r\nc\r\nd\r\n"},
      {"blank lines kept", "a\r\n\r\n\nb\r\n", {"n"}, kStamp1 + "n\r\na\r\n\r\n\r\nb\r\n"},
      {"Windows-1252 text kept as bytes", "S\xE3o\r\n", {"a\xE7\xE3o"}, kStamp1 + "a\xE7\xE3o\r\nS\xE3o\r\n"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    TempDir dir;
    const std::string file = dir / "log.txt";
    if (r.before != "<none>") WriteFile(file, r.before);
    auto log = MakeLog(file);
    for (const auto& e : r.entries) log->make(e, true);
    log->flush();
    EXPECT_EQ(Repr(ReadFile(file)), Repr(r.after)) << "row " << i << " (" << r.name << ")";
  }
}

TEST(TLogFormat, TimestampPattern) {
  TempDir dir;
  auto log = MakeLog(dir / "log.txt");
  log->now = FixedClock(TDateTime{1999, 12, 31, 23, 59, 58, 999});
  log->make("x");
  log->now = FixedClock(TDateTime{2026, 1, 2, 0, 0, 0, 0});
  log->make("y");
  log->flush();
  EXPECT_EQ(Repr(ReadFile(dir / "log.txt")), Repr("02/01/2026 00:00:00\ty\r\n31/12/1999 23:59:58\tx\r\n"));
}

TEST(TLogFormat, CarriageReturnInsideAnEntryBecomesTwoLinesAtTheNextRewrite) {
  TempDir dir;
  const std::string file = dir / "log.txt";
  auto log = MakeLog(file);
  log->make("x\rSQL: y");
  log->flush();
  EXPECT_EQ(Repr(ReadFile(file)), Repr(kStamp1 + "x\rSQL: y\r\n"));
  log->make("next");
  log->flush();
  EXPECT_EQ(Repr(ReadFile(file)), Repr(kStamp1 + "next\r\n" + kStamp1 + "x\r\nSQL: y\r\n"));
  // The same holds when both entries are written in one burst.
  TempDir dir2;
  auto burst = MakeLog(dir2 / "log.txt");
  burst->make("x\rSQL: y");
  burst->make("e\r");
  burst->make("next");
  burst->flush();
  EXPECT_EQ(Repr(ReadFile(dir2 / "log.txt")),
            Repr(kStamp1 + "next\r\n" + kStamp1 + "e\r\n\r\n" + kStamp1 + "x\r\nSQL: y\r\n"));
}

TEST(TLogFormat, AppendingToTheFirstLine) {
  TempDir dir;
  const std::string file = dir / "log.txt";
  WriteFile(file, "top\r\nrest\r\n");
  auto log = MakeLog(file);
  log->make("more", false);
  log->make("", false);
  log->flush();
  EXPECT_EQ(Repr(ReadFile(file)), Repr("top" + kStamp1 + "more\r\nrest\r\n"));
  // On an empty file the entry becomes the first line.
  TempDir dir2;
  auto other = MakeLog(dir2 / "log.txt");
  other->make("alone", false);
  other->flush();
  EXPECT_EQ(Repr(ReadFile(dir2 / "log.txt")), Repr(kStamp1 + "alone\r\n"));
}

TEST(TLogCap, FileAtOrAboveTheCapStartsAfresh) {
  const int32_t cap = 1000;
  struct Row {
    std::string name;
    size_t size;
    bool kept;
  };
  const std::vector<Row> rows = {
      {"exactly at the cap", cap, false},
      {"above the cap", cap + 500, false},
      {"one byte below the cap", cap - 1, true},
      {"far below", 10, true},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TempDir dir;
    const std::string file = dir / "log.txt";
    // Lines of "y" ending CR LF, padded to the exact size.
    std::string before;
    while (before.size() + 10 <= rows[i].size) before += "yyyyyyyy\r\n";
    before.insert(0, std::string(rows[i].size - before.size(), 'z'));
    ASSERT_EQ(before.size(), rows[i].size);
    WriteFile(file, before);
    auto log = MakeLog(file, cap);
    log->make("new");
    log->flush();
    const std::string expected = kStamp1 + "new\r\n" + (rows[i].kept ? before : "");
    EXPECT_EQ(Repr(ReadFile(file)), Repr(expected)) << "row " << i << " (" << rows[i].name << ")";
    // What the new file no longer holds is kept whole beside it.
    EXPECT_EQ(kvtest::FileExists(dir / "log.1.txt"), !rows[i].kept) << "row " << i;
    if (!rows[i].kept) {
      EXPECT_EQ(Repr(ReadFile(dir / "log.1.txt")), Repr(before)) << "row " << i;
    }
  }
}

TEST(TLogCap, FileMayPassTheCapOnceThenResets) {
  const int32_t cap = 100;
  TempDir dir;
  const std::string file = dir / "log.txt";
  WriteFile(file, std::string(97, 'a') + "\r\n");  // 99 bytes, below the cap
  auto log = MakeLog(file, cap);
  log->make("one");
  log->flush();
  EXPECT_EQ(ReadFile(file).size(), kStamp1.size() + 5 + 99);
  log->make("two");
  log->flush();
  EXPECT_EQ(Repr(ReadFile(file)), Repr(kStamp1 + "two\r\n"));
  // Within one burst the rule is judged before every entry.
  for (int i = 0; i < 10; ++i) log->make(std::string(20, static_cast<char>('0' + i)));
  log->flush();
  // Each entry is 20 + 20 + 2 = 42 bytes: 25 -> 67 -> 109, at the cap, so entry 2 starts
  // afresh: 42 -> 84 -> 126, entry 5 afresh ... entry 8 afresh, entry 9 on top of it.
  const std::string e = kStamp1;
  auto line = [&](int i) { return e + std::string(20, static_cast<char>('0' + i)) + "\r\n"; };
  EXPECT_EQ(Repr(ReadFile(file)), Repr(line(9) + line(8)));
}

TEST(TLogEncoding, ByteOrderMarksAreKept) {
  struct Row {
    std::string name;
    std::string before;  // file bytes
    std::string after;
  };
  const std::string entryCp = "a\xE7\xE3o";  // ação
  const std::string entryUtf8 = Cp1252ToUtf8(kStamp1 + entryCp);
  auto le = [](const std::string& utf8) { return Utf8ToUtf16(utf8, false); };
  auto be = [](const std::string& utf8) { return Utf8ToUtf16(utf8, true); };
  const std::vector<Row> rows = {
      {"UTF-8 with mark", "\xEF\xBB\xBF" "S\xC3\xA3o\r\n", "\xEF\xBB\xBF" + entryUtf8 + "\r\nS\xC3\xA3o\r\n"},
      {"UTF-8 mark only", "\xEF\xBB\xBF", "\xEF\xBB\xBF" + entryUtf8 + "\r\n"},
      {"UTF-16 LE", "\xFF\xFE" + le("S\xC3\xA3o\r\n\xE4\xB8\xAD\n"),
       "\xFF\xFE" + le(entryUtf8 + "\r\nS\xC3\xA3o\r\n\xE4\xB8\xAD\r\n")},
      {"UTF-16 BE", "\xFE\xFF" + be("S\xC3\xA3o\rx"), "\xFE\xFF" + be(entryUtf8 + "\r\nS\xC3\xA3o\r\nx\r\n")},
      {"no mark: Windows-1252", "S\xE3o\r\n", Utf8ToCp1252(entryUtf8) + "\r\nS\xE3o\r\n"},
      {"UTF-8 without mark is taken as 8-bit bytes", "S\xC3\xA3o\r\n", kStamp1 + entryCp + "\r\nS\xC3\xA3o\r\n"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TempDir dir;
    const std::string file = dir / "log.txt";
    WriteFile(file, rows[i].before);
    auto log = MakeLog(file);
    log->make(entryCp);
    log->flush();
    EXPECT_EQ(Repr(ReadFile(file)), Repr(rows[i].after)) << "row " << i << " (" << rows[i].name << ")";
  }
}

TEST(TLogEncoding, CapRestartWritesAnsi) {
  TempDir dir;
  const std::string file = dir / "log.txt";
  WriteFile(file, "\xEF\xBB\xBF" + std::string(200, 'x') + "\r\n");
  auto log = MakeLog(file, 100);
  log->make("\xE7");
  log->flush();
  EXPECT_EQ(Repr(ReadFile(file)), Repr(kStamp1 + "\xE7\r\n"));
}

TEST(TLogEncoding, Utf16EntryWithCarriageReturnSplitsLater) {
  TempDir dir;
  const std::string file = dir / "log.txt";
  WriteFile(file, "\xFF\xFE");
  auto log = MakeLog(file);
  log->make("x\rSQL: y");
  log->flush();
  log->make("z");
  log->flush();
  EXPECT_EQ(Repr(ReadFile(file)),
            Repr("\xFF\xFE" + Utf8ToUtf16(kStamp1 + "z\r\n" + kStamp1 + "x\r\nSQL: y\r\n", false)));
}

}  // namespace
