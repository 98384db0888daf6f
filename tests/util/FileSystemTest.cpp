// The host file-system seam (util/FileSystem) on real files in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TestSupport.hpp"
#include "util/FileSystem.hpp"

using kvtest::ReadFile;
using kvtest::TempDir;

namespace {

std::vector<std::string> Names(const std::string& folder) { return fsys::ListFolder(folder); }

TEST(FileSystem, WriteNewFileNeverReplacesAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string file = dir / "1001.astm";
  int err = 0;
  ASSERT_EQ(fsys::WriteNewFile(file, "first\r\n", true, err), fsys::NewFileStep::None);
  EXPECT_EQ(ReadFile(file), "first\r\n");

  err = 0;
  EXPECT_EQ(fsys::WriteNewFile(file, "second\r\n", true, err), fsys::NewFileStep::Rename);
  EXPECT_TRUE(fsys::AlreadyExists(err)) << fsys::ErrorText(err);
  EXPECT_EQ(ReadFile(file), "first\r\n");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"1001.astm"});  // the temporary file is gone

  EXPECT_EQ(fsys::WriteNewFile(dir / "missing/x.astm", "x", true, err), fsys::NewFileStep::Create);
  EXPECT_TRUE(fsys::NotFound(err)) << fsys::ErrorText(err);
}

TEST(FileSystem, ATemporaryFileGetsItsNameOnlyWhenTheNameIsFree) {
  TempDir dir;
  std::string temp;
  int err = 0;
  ASSERT_EQ(fsys::WriteTempFile(dir / "a.hl7", "one\r\n", true, temp, err), fsys::NewFileStep::None);
  EXPECT_EQ(temp.rfind(dir / "a.hl7.", 0), 0u) << temp;
  EXPECT_EQ(temp.substr(temp.size() - 4), ".tmp");
  EXPECT_EQ(ReadFile(temp), "one\r\n");
  ASSERT_TRUE(fsys::RenameNew(temp, dir / "a.hl7", err));
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"a.hl7"});

  // A taken name: the temporary file stays for its owner to discard.
  ASSERT_EQ(fsys::WriteTempFile(dir / "a.hl7", "two\r\n", true, temp, err), fsys::NewFileStep::None);
  EXPECT_FALSE(fsys::RenameNew(temp, dir / "a.hl7", err));
  EXPECT_TRUE(fsys::AlreadyExists(err));
  EXPECT_EQ(ReadFile(dir / "a.hl7"), "one\r\n");
  EXPECT_EQ(ReadFile(temp), "two\r\n");

  EXPECT_EQ(fsys::WriteTempFile(dir / "missing/b.hl7", "x", true, temp, err), fsys::NewFileStep::Create);
  EXPECT_TRUE(temp.empty());
}

TEST(FileSystem, AnAppendFileAppendsReadsBackAndCuts) {
  TempDir dir;
  const std::string path = dir / "j";
  fsys::AppendFile f;
  int err = 0;
  ASSERT_TRUE(f.Open(path, true, err)) << fsys::ErrorText(err);
  EXPECT_FALSE(fsys::AppendFile().Open(path, true, err));  // a new one only where none is
  EXPECT_TRUE(fsys::AlreadyExists(err));
  ASSERT_TRUE(f.Append("hello ", err));
  ASSERT_TRUE(f.Append(std::string("wor\0ld", 6), err));
  ASSERT_TRUE(f.Flush(err));
  EXPECT_EQ(f.Size(), 12);
  std::string out;
  ASSERT_TRUE(f.ReadAt(6, 6, out, err));
  EXPECT_EQ(out, std::string("wor\0ld", 6));
  EXPECT_FALSE(f.ReadAt(10, 5, out, err));  // past the end
  ASSERT_TRUE(f.Truncate(5, err));
  ASSERT_TRUE(f.Append("!", err));
  f.Close();
  EXPECT_EQ(ReadFile(path), "hello!");
  fsys::AppendFile again;
  ASSERT_TRUE(again.Open(path, false, err));
  ASSERT_TRUE(again.Append("?", err));
  again.Close();
  EXPECT_EQ(ReadFile(path), "hello!?");
  EXPECT_FALSE(again.Open(dir / "none", false, err));
  EXPECT_TRUE(fsys::NotFound(err));
}

TEST(FileSystem, WriteNewFileModes) {
  // An archive file gets an ordinary file's mode; a spool entry stays its owner's.
  TempDir dir;
  const mode_t mask = ::umask(022);
  ::umask(mask);
  int err = 0;
  ASSERT_EQ(fsys::WriteNewFile(dir / "a", "a", true, err), fsys::NewFileStep::None);
  ASSERT_EQ(fsys::WriteNewFile(dir / "b", "b", false, err), fsys::NewFileStep::None);
  struct stat a{}, b{};
  ASSERT_EQ(::stat((dir / "a").c_str(), &a), 0);
  ASSERT_EQ(::stat((dir / "b").c_str(), &b), 0);
  EXPECT_EQ(a.st_mode & 0777, 0666 & ~mask);
  EXPECT_EQ(b.st_mode & 0777, 0600u);
}

TEST(FileSystem, ReplaceFileContentKeepsTheModeAndChangesTheStamp) {
  TempDir dir;
  const std::string file = dir / "Redurozozi.txt";
  int err = 0;
  ASSERT_TRUE(fsys::ReplaceFileContent(file, "one\r\n", err)) << fsys::ErrorText(err);
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  fsys::FileInfo before, after;
  ASSERT_TRUE(fsys::Stat(file, before, true, err));
  ASSERT_TRUE(fsys::ReplaceFileContent(file, "two\r\none\r\n", err)) << fsys::ErrorText(err);
  ASSERT_TRUE(fsys::Stat(file, after, true, err));
  EXPECT_EQ(ReadFile(file), "two\r\none\r\n");
  EXPECT_FALSE(before.stamp == after.stamp);
  EXPECT_EQ(after.size, 10);
  EXPECT_TRUE(after.isRegular);
  struct stat st{};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"Redurozozi.txt"});
}

TEST(FileSystem, FoldersNamesAndErrors) {
  TempDir dir;
  int err = 0;
  ASSERT_TRUE(fsys::MakeFolder(dir / "spool", 0755, err));
  EXPECT_FALSE(fsys::MakeFolder(dir / "spool", 0755, err));
  EXPECT_TRUE(fsys::AlreadyExists(err));
  EXPECT_TRUE(fsys::IsDirectory(dir / "spool"));
  EXPECT_FALSE(fsys::IsRegularFile(dir / "spool"));
  for (const char* n : {"b.entry", "a.entry", "c"})
    ASSERT_EQ(fsys::WriteNewFile(dir / "spool/" + n, n, false, err), fsys::NewFileStep::None);
  EXPECT_EQ(Names(dir / "spool"), (std::vector<std::string>{"a.entry", "b.entry", "c"}));
  EXPECT_TRUE(Names(dir / "none").empty());

  ASSERT_TRUE(fsys::RenameFile(dir / "spool/c", dir / "spool/a.entry", err));  // replaces
  EXPECT_EQ(ReadFile(dir / "spool/a.entry"), "c");
  ASSERT_TRUE(fsys::RemoveFile(dir / "spool/a.entry", err));
  EXPECT_FALSE(fsys::RemoveFile(dir / "spool/a.entry", err));
  EXPECT_TRUE(fsys::NotFound(err));
  std::string text;
  EXPECT_FALSE(fsys::ReadWholeFile(dir / "spool/a.entry", text, err));
  EXPECT_TRUE(fsys::NotFound(err));
  ASSERT_TRUE(fsys::ReadWholeFile(dir / "spool/b.entry", text, err));
  EXPECT_EQ(text, "b.entry");
  EXPECT_TRUE(fsys::FlushFolder(dir / "spool", err));
  EXPECT_FALSE(fsys::FlushFolder(dir / "none", err));
  EXPECT_EQ(fsys::PATH_SEPARATOR, '/');
}

TEST(FileSystem, PathOfKeepsUtf8Bytes) {
  TempDir dir;
  const std::string name = dir / "A\xC3\xA7\xC3\xA3o";  // "Ação" in UTF-8
  std::error_code ec;
  ASSERT_TRUE(std::filesystem::create_directory(fsys::PathOf(name), ec)) << ec.message();
  EXPECT_TRUE(fsys::IsDirectory(name));
}

}  // namespace

// Names Windows keeps for devices: a sample called CON would never become a
// file there, so the archive name gives way to the time stamp on that host.
TEST(FileSystem, WindowsDeviceNames) {
  for (const char* n : {"CON", "con", "Nul", "AUX", "PRN", "COM1", "com9", "LPT0", "CON.astm", "nul.hl7", "COM3 "})
    EXPECT_TRUE(fsys::IsWindowsDeviceName(n)) << n;
  for (const char* n : {"CONS", "CO", "1001", "COM", "COM10", "LPTX", "XCON", "ACON.astm", "", "NUL-01"})
    EXPECT_FALSE(fsys::IsWindowsDeviceName(n)) << n;
  EXPECT_FALSE(fsys::IsReservedName("CON"));  // on this (POSIX) host any of them is a file name
}
