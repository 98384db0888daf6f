#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <random>

#include "log/LogTestUtil.hpp"
#include "log/TLog.hpp"
#include "support/TestSupport.hpp"

using kvtest::ReadFile;
using kvtest::Repr;
using kvtest::TempDir;
using kvtest::WaitFor;
using kvtest::WriteFile;
using namespace logtest;
using namespace std::chrono_literals;

namespace {

// The plain algorithm, one entry at a time, straight on the file: read all
// lines (split at CR, LF, CR LF), drop them at the cap, put the entry on top,
// write every line followed by CR LF. A file at the cap is first kept as
// generation 1 (file.1), older ones moving up to `generations`. The oracle
// for the coalescing writer.
void ReferenceMake(const std::string& file, int64_t cap, const std::string& txt, int generations = 5) {
  std::vector<std::string> lines;
  const std::string text = ReadFile(file);
  if (!text.empty() && static_cast<int64_t>(text.size()) >= cap) {
    for (int k = generations - 1; k >= 1; --k)
      if (kvtest::FileExists(file + "." + std::to_string(k)))
        WriteFile(file + "." + std::to_string(k + 1), ReadFile(file + "." + std::to_string(k)));
    if (generations > 0) WriteFile(file + ".1", text);
  }
  if (static_cast<int64_t>(text.size()) < cap) {
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r' || text[i] == '\n') {
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
      }
    }
    if (start < text.size()) lines.push_back(text.substr(start));
  }
  lines.insert(lines.begin(), txt.empty() ? "" : kStamp1 + txt);
  std::string out;
  for (const auto& l : lines) out += l + "\r\n";
  WriteFile(file, out);
}

TEST(TLogWriter, BurstsEndExactlyAsEntryByEntryWriting) {
  // Random bursts with blank entries, CR and LF inside entries, and a small
  // cap crossed many times; compared after every burst with the oracle.
  std::mt19937 rng(12345);
  const int32_t caps[] = {300, 2000, 100000};
  for (const int32_t cap : caps) {
    TempDir dir;
    const std::string file = dir / "log.txt";
    const std::string oracle = dir / "oracle";
    WriteFile(file, "old\nlines\r\nx");
    WriteFile(oracle, "old\nlines\r\nx");
    auto log = MakeLog(file, cap);
    for (int burst = 0; burst < 40; ++burst) {
      const int n = 1 + static_cast<int>(rng() % 12);
      for (int k = 0; k < n; ++k) {
        std::string txt;
        switch (rng() % 6) {
          case 0: txt = ""; break;
          case 1: txt = "erro\rSQL: select " + std::to_string(rng() % 1000); break;
          case 2: txt = "a\nb\r"; break;
          default: txt = "entry " + std::to_string(burst) + "." + std::to_string(k) + std::string(rng() % 40, 'z');
        }
        log->make(txt);
        ReferenceMake(oracle, cap, txt);
      }
      log->flush();
      ASSERT_EQ(Repr(ReadFile(file)), Repr(ReadFile(oracle))) << "cap " << cap << " burst " << burst;
      for (int g = 1; g <= 6; ++g) {
        const std::string kept = dir / ("log." + std::to_string(g) + ".txt");
        const std::string want = oracle + "." + std::to_string(g);
        ASSERT_EQ(kvtest::FileExists(kept), kvtest::FileExists(want)) << "cap " << cap << " generation " << g;
        if (kvtest::FileExists(want)) {
          ASSERT_EQ(Repr(ReadFile(kept)), Repr(ReadFile(want))) << "cap " << cap << " generation " << g;
        }
      }
    }
  }
}

TEST(TLogWriter, EntriesReachTheFileWithoutAFlushCall) {
  TempDir dir;
  const std::string file = dir / "log.txt";
  auto log = MakeLog(file);
  for (int i = 0; i < 50; ++i) log->make("burst " + std::to_string(i));
  // The background writer gets there by itself (it is designed for 100 ms; the
  // benchmark measures it, the test only waits for it).
  EXPECT_TRUE(WaitFor([&] { return ReadFile(file).rfind(kStamp1 + "burst 49\r\n", 0) == 0; }, 5000ms));
  std::string expected;
  for (int i = 49; i >= 0; --i) expected += kStamp1 + "burst " + std::to_string(i) + "\r\n";
  EXPECT_EQ(ReadFile(file), expected);
  log->make("later");
  EXPECT_TRUE(WaitFor([&] { return ReadFile(file) == kStamp1 + "later\r\n" + expected; }, 5000ms));
}

TEST(TLogWriter, DestructorWritesWhatIsPending) {
  TempDir dir;
  const std::string file = dir / "log.txt";
  {
    auto log = MakeLog(file);
    log->make("a");
    log->make("b");
  }
  EXPECT_EQ(Repr(ReadFile(file)), Repr(kStamp1 + "b\r\n" + kStamp1 + "a\r\n"));
}

TEST(TLogWriter, ExternalChangesAreNoticed) {
  struct Row {
    std::string name;
    std::function<void(const std::string&)> change;
    std::string after;  // the file after the change and one more entry
  };
  const std::vector<Row> rows = {
      {"deleted", [](const std::string& f) { std::remove(f.c_str()); }, kStamp1 + "after\r\n"},
      {"truncated", [](const std::string& f) { WriteFile(f, ""); }, kStamp1 + "after\r\n"},
      {"replaced", [](const std::string& f) { WriteFile(f, "operator note\r\n"); },
       kStamp1 + "after\r\noperator note\r\n"},
      {"rewritten with the same size",
       [](const std::string& f) {
         std::string s = ReadFile(f);
         for (char& c : s)
           if (c == 'b') c = 'B';
         WriteFile(f, s);
         // Make sure the time stamp differs even on a coarse clock.
         struct timespec ts[2] = {{1, 0}, {1, 0}};
         utimensat(AT_FDCWD, f.c_str(), ts, 0);
       },
       kStamp1 + "after\r\n" + kStamp1 + "B\r\n" + kStamp1 + "a\r\n"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TempDir dir;
    const std::string file = dir / "log.txt";
    auto log = MakeLog(file);
    log->make("a");
    log->make("b");
    log->flush();
    rows[i].change(file);
    log->make("after");
    log->flush();
    EXPECT_EQ(Repr(ReadFile(file)), Repr(rows[i].after)) << "row " << i << " (" << rows[i].name << ")";
  }
}

TEST(TLogWriter, UnwritableFileDoesNotStopTheCaller) {
  TempDir dir;
  WriteFile(dir / "plainfile", "x");
  const std::vector<std::string> files = {
      dir / "missing/folder/log.txt",
      dir / "plainfile/log.txt",  // a file where a folder should be
      dir.path(),                 // a folder where the file should be
  };
  for (size_t i = 0; i < files.size(); ++i) {
    auto log = MakeLog(files[i]);
    for (int k = 0; k < 3; ++k) log->make("entry");
    log->flush();
    log->make("again");
  }  // destructors flush again without failing
  EXPECT_EQ(ReadFile(dir / "plainfile"), "x");
  // Once the folder appears, logging resumes.
  const std::string late = dir / "late/log.txt";
  auto log = MakeLog(late);
  log->make("waiting");
  log->flush();
  ASSERT_EQ(mkdir((dir / "late").c_str(), 0755), 0);
  log->make("kept");
  log->flush();
  // The entry that could not be written waited for the next rewrite.
  EXPECT_EQ(Repr(ReadFile(late)), Repr(kStamp1 + "kept\r\n" + kStamp1 + "waiting\r\n"));
}

TEST(TLogWriter, ReplacesTheFileWholeAndKeepsLinksAndMode) {
  TempDir dir;
  // A log file that is a symbolic link stays one; the target gets the entries.
  WriteFile(dir / "target.txt", "old\r\n");
  ASSERT_EQ(symlink((dir / "target.txt").c_str(), (dir / "link.txt").c_str()), 0);
  auto linked = MakeLog(dir / "link.txt");
  linked->make("via link");
  linked->flush();
  struct stat st{};
  ASSERT_EQ(lstat((dir / "link.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(dir / "target.txt"), kStamp1 + "via link\r\nold\r\n");
  // The file's permissions survive the rewrite, and no temporary file is left.
  WriteFile(dir / "mode.txt", "x\r\n");
  ASSERT_EQ(chmod((dir / "mode.txt").c_str(), 0600), 0);
  auto log = MakeLog(dir / "mode.txt");
  log->make("y");
  log->flush();
  ASSERT_EQ(stat((dir / "mode.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(kvtest::FileExists(dir / "mode.txt.kvtmp"));
  EXPECT_FALSE(kvtest::FileExists(dir / "link.txt.kvtmp"));
  EXPECT_EQ(kvtest::ListFiles(dir.path()).size(), 3u);
}

TEST(TLogWriter, ForkedChildLeavesTheLogAlone) {
  TempDir dir;
  const std::string file = dir / "log.txt";
  auto log = MakeLog(file);
  log->make("parent");
  log->flush();
  const pid_t pid = fork();
  if (pid == 0) {
    log.reset();  // must neither hang on the parent's writer thread nor touch the file
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  int status = -1;
  const bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000ms);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  log->make("after");
  log->flush();
  EXPECT_EQ(Repr(ReadFile(file)), Repr(kStamp1 + "after\r\n" + kStamp1 + "parent\r\n"));
}

TEST(TLogWriter, SetFileAndFileSize) {
  TempDir dir;
  auto log = MakeLog(dir / "one.txt");
  log->make("1");
  log->setFile(dir / "two.txt");
  log->make("2");
  log->flush();
  EXPECT_EQ(ReadFile(dir / "one.txt"), kStamp1 + "1\r\n");
  EXPECT_EQ(ReadFile(dir / "two.txt"), kStamp1 + "2\r\n");
  EXPECT_EQ(TLog::FileSize(dir / "one.txt"), static_cast<int64_t>(kStamp1.size() + 3));
  EXPECT_EQ(TLog::FileSize(dir / "none.txt"), -1);
  WriteFile(dir / "empty.txt", "");
  EXPECT_EQ(TLog::FileSize(dir / "empty.txt"), 0);
}

}  // namespace
