// A log at its cap is kept as generation files, and a rewrite that cannot
// complete (a full disk) leaves the log as it was and writes its entries later.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "log/LogFile.hpp"
#include "log/LogTestUtil.hpp"
#include "log/TLog.hpp"
#include "support/MemoryLog.hpp"
#include "support/TestSupport.hpp"
#include "util/Encoding.hpp"

using kvtest::FileExists;
using kvtest::ReadFile;
using kvtest::Repr;
using kvtest::TempDir;
using kvtest::WaitFor;
using kvtest::WriteFile;
using namespace logtest;
using namespace std::chrono_literals;

namespace {

std::string Gen(const std::string& file, int n) { return logfile::GenerationName(file, n); }

std::unique_ptr<TLog> MakeLogKeeping(const std::string& file, int32_t cap, int32_t generations) {
  auto log = MakeLog(file, cap);
  log->generations = generations;
  return log;
}

TEST(LogGenerationName, NumberBeforeTheExtension) {
  struct Row {
    std::string file;
    int n;
    std::string name;
  };
  const std::vector<Row> rows = {
      {"Logs/Redurozozi.txt", 1, "Logs/Redurozozi.1.txt"},
      {"/opt/kv/Logs/Redurozozi.txt", 12, "/opt/kv/Logs/Redurozozi.12.txt"},
      {"log", 2, "log.2"},
      {"a.b/log", 3, "a.b/log.3"},  // a dot in the folder is no extension
      {"dir/.log", 1, "dir/.log.1"},
      {"x.tar.gz", 1, "x.tar.1.gz"},
  };
  for (const auto& r : rows) EXPECT_EQ(Gen(r.file, r.n), r.name) << r.file;
}

TEST(TLogGenerations, TheFullFileIsKeptByteForByte) {
  // Whatever the file held at the cap (breaks of every kind, a byte-order mark) is kept unchanged.
  const std::vector<std::string> befores = {
      std::string(120, 'a') + "\r\n",
      "a\nb\rc\r\n" + std::string(120, 'z'),
      "\xFF\xFE" + Utf8ToUtf16(std::string(70, 'u') + "\r\n", false),
      "\xEF\xBB\xBF" + std::string(150, 'y'),
  };
  for (size_t i = 0; i < befores.size(); ++i) {
    TempDir dir;
    const std::string file = dir / "Redurozozi.txt";
    WriteFile(file, befores[i]);
    auto log = MakeLog(file, 100);
    log->make("new");
    log->flush();
    EXPECT_EQ(Repr(ReadFile(file)), Repr(kStamp1 + "new\r\n")) << "row " << i;
    EXPECT_EQ(Repr(ReadFile(dir / "Redurozozi.1.txt")), Repr(befores[i])) << "row " << i;
    EXPECT_FALSE(FileExists(dir / "Redurozozi.2.txt")) << "row " << i;
  }
}

TEST(TLogGenerations, OlderGenerationsMoveUpAndTheOldestGoes) {
  struct Row {
    int32_t generations;
    std::vector<std::string> before;  // generations 1.. before the entry ("" = no file)
    std::vector<std::string> after;   // generations 1.. after it ("" = no file, "M" = the full log)
  };
  const std::vector<Row> rows = {
      {5, {"g1", "g2", "g3"}, {"M", "g1", "g2", "g3", ""}},
      {3, {"g1", "g2", "g3"}, {"M", "g1", "g2", ""}},
      {1, {"g1", "g2"}, {"M", "g2", ""}},  // beyond the number: left alone
      {0, {"g1"}, {"g1", ""}},            // none kept: starts afresh as before
      {3, {"", "g2"}, {"M", "g2", ""}},    // a gap absorbs the shift
      {2, {}, {"M", ""}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    TempDir dir;
    const std::string file = dir / "log.txt";
    const std::string main = "M" + std::string(200, '.');
    WriteFile(file, main);
    for (size_t k = 0; k < r.before.size(); ++k)
      if (!r.before[k].empty()) WriteFile(Gen(file, static_cast<int>(k + 1)), r.before[k]);
    auto log = MakeLogKeeping(file, 100, r.generations);
    log->make("entry");
    log->flush();
    EXPECT_EQ(Repr(ReadFile(file)), Repr(kStamp1 + "entry\r\n")) << "row " << i;
    for (size_t k = 0; k < r.after.size(); ++k) {
      const std::string g = Gen(file, static_cast<int>(k + 1));
      const std::string want = r.after[k] == "M" ? main : r.after[k];
      if (want.empty())
        EXPECT_FALSE(FileExists(g)) << "row " << i << " generation " << k + 1;
      else
        EXPECT_EQ(ReadFile(g), want) << "row " << i << " generation " << k + 1;
    }
  }
}

TEST(TLogGenerations, AnEntryBiggerThanTheCapKeepsThePreviousGenerations) {
  TempDir dir;
  const std::string file = dir / "log.txt";
  WriteFile(Gen(file, 1), "g1");
  WriteFile(Gen(file, 2), "g2");
  WriteFile(file, "small\r\n");
  auto log = MakeLogKeeping(file, 1000, 3);
  const std::string huge(5000, 'H');
  log->make(huge);
  log->flush();
  // The file passes the cap once; nothing was kept yet and nothing was pushed out.
  EXPECT_EQ(ReadFile(file), kStamp1 + huge + "\r\nsmall\r\n");
  EXPECT_EQ(ReadFile(Gen(file, 1)), "g1");
  EXPECT_EQ(ReadFile(Gen(file, 2)), "g2");
  EXPECT_FALSE(FileExists(Gen(file, 3)));
  log->make("next");
  log->flush();
  EXPECT_EQ(ReadFile(file), kStamp1 + "next\r\n");
  EXPECT_EQ(ReadFile(Gen(file, 1)), kStamp1 + huge + "\r\nsmall\r\n");
  EXPECT_EQ(ReadFile(Gen(file, 2)), "g1");
  EXPECT_EQ(ReadFile(Gen(file, 3)), "g2");
  // Two huge entries in one burst: each is kept whole in its own generation.
  log->make(huge + "1");
  log->make(huge + "2");
  log->flush();
  EXPECT_EQ(ReadFile(file), kStamp1 + huge + "2\r\n");
  EXPECT_EQ(ReadFile(Gen(file, 1)), kStamp1 + huge + "1\r\n" + kStamp1 + "next\r\n");
  EXPECT_EQ(ReadFile(Gen(file, 2)), kStamp1 + huge + "\r\nsmall\r\n");
  EXPECT_EQ(ReadFile(Gen(file, 3)), "g1");
  EXPECT_FALSE(FileExists(Gen(file, 4)));
}

TEST(TLogGenerations, ASymbolicLinkStaysALink) {
  TempDir dir;
  WriteFile(dir / "target.txt", std::string(150, 't'));
  ASSERT_EQ(symlink((dir / "target.txt").c_str(), (dir / "log.txt").c_str()), 0);
  auto log = MakeLog(dir / "log.txt", 100);
  log->make("after");
  log->flush();
  struct stat st{};
  ASSERT_EQ(lstat((dir / "log.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(dir / "target.txt"), kStamp1 + "after\r\n");
  EXPECT_EQ(ReadFile(dir / "log.1.txt"), std::string(150, 't'));
}

// A tmpfs of a few pages mounted on a fresh folder, unmounted at the end.
class TinyDisk {
 public:
  explicit TinyDisk(const std::string& where) : where_(where) {
    if (::mount("tmpfs", where.c_str(), "tmpfs", 0, "size=128k") == 0)
      mounted_ = true;
    else
      error_ = std::strerror(errno);
  }
  ~TinyDisk() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  // Takes every free byte with a filler file; true when the disk is then full.
  bool Fill() {
    const int fd = ::open((where_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const std::string chunk(4096, 'f');
    while (::write(fd, chunk.data(), chunk.size()) > 0) {
    }
    const bool full = errno == ENOSPC;
    ::close(fd);
    return full;
  }
  void Free() { ::unlink((where_ + "/filler").c_str()); }

 private:
  std::string where_;
  bool mounted_ = false;
  std::string error_;
};

TEST(TLogDiskFull, TheLogIsNeverShortenedAndItsEntriesComeLater) {
  struct Row {
    std::string name;
    int32_t cap;
    std::function<void(const std::string& dir)> setup;  // before the disk fills
    std::string file;                                   // the log, relative to the disk
    std::string data;                                   // the real file holding the text
  };
  const std::vector<Row> rows = {
      {"a plain rewrite", 1000000, nullptr, "log.txt", "log.txt"},
      {"through a symbolic link", 1000000,
       [](const std::string& d) { ASSERT_EQ(symlink((d + "/real.txt").c_str(), (d + "/log.txt").c_str()), 0); },
       "log.txt", "real.txt"},
      {"in place (no file can be made beside it)", 1000000,
       [](const std::string& d) { ASSERT_EQ(mkdir((d + "/log.txt.kvtmp").c_str(), 0755), 0); }, "log.txt",
       "log.txt"},
      {"at the cap", 10000, nullptr, "log.txt", "log.txt"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    SCOPED_TRACE("row " + std::to_string(i) + " (" + r.name + ")");
    TempDir dir;
    TinyDisk disk(dir.path());
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.error();
    // Exactly five pages, so that any growth needs room the disk no longer has.
    std::string old;
    for (int k = 0; old.size() < 20000; ++k) old += "07/03/2024 09:05:04\tlinha antiga " + std::to_string(k) + "\r\n";
    old += std::string(20478 - old.size(), '.') + "\r\n";
    if (r.setup) r.setup(dir.path());
    WriteFile(dir / r.data, old);
    const std::string file = dir / r.file;
    auto log = MakeLog(file, r.cap);
    ASSERT_TRUE(disk.Fill());

    log->make("durante");
    log->flush();
    const bool atCap = r.cap <= static_cast<int32_t>(old.size());
    if (atCap) {
      // Renaming needs no room: the full log is kept, the new one waits for space.
      EXPECT_TRUE(ReadFile(Gen(file, 1)) == old);
      EXPECT_FALSE(FileExists(file));
    } else {
      EXPECT_TRUE(ReadFile(dir / r.data) == old) << Repr(ReadFile(dir / r.data).substr(0, 80));
    }
    if (r.name.rfind("in place", 0) != 0) {
      EXPECT_FALSE(FileExists(dir / (r.data + ".kvtmp")));
    }

    // Once there is room again the entry arrives by itself (the writer tries again).
    disk.Free();
    const std::string kept = atCap ? "" : old;
    EXPECT_TRUE(WaitFor([&] { return ReadFile(dir / r.data) == kStamp1 + "durante\r\n" + kept; }, 5000ms))
        << Repr(ReadFile(dir / r.data).substr(0, 80));
    log->make("depois");
    log->flush();
    EXPECT_TRUE(ReadFile(dir / r.data) == kStamp1 + "depois\r\n" + kStamp1 + "durante\r\n" + kept)
        << Repr(ReadFile(dir / r.data).substr(0, 80));
    if (atCap) {
      EXPECT_TRUE(ReadFile(Gen(file, 1)) == old);
    }
    log.reset();
  }
}

TEST(TLogDiskFull, WriteFileBytesLeavesTheFileAsItWas) {
  TempDir dir;
  TinyDisk disk(dir.path());
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.error();
  const std::string file = dir / "f.txt";
  const std::string old(8192, 'o');  // two whole pages
  WriteFile(file, old);
  ASSERT_TRUE(disk.Fill());
  int err = 0;
  EXPECT_FALSE(logfile::WriteFileBytes(file, std::string(20000, 'n'), err));
  EXPECT_EQ(err, ENOSPC);
  EXPECT_TRUE(ReadFile(file) == old);
  EXPECT_FALSE(FileExists(file + ".kvtmp"));
  // A shorter content in place needs no new room and completes.
  ASSERT_EQ(mkdir((file + ".kvtmp").c_str(), 0755), 0);
  EXPECT_FALSE(logfile::WriteFileBytes(file, std::string(20000, 'n'), err));
  EXPECT_EQ(err, ENOSPC);
  EXPECT_TRUE(ReadFile(file) == old);
  EXPECT_TRUE(logfile::WriteFileBytes(file, "short", err));
  EXPECT_EQ(ReadFile(file), "short");
}

}  // namespace
