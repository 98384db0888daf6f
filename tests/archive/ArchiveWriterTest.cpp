// The memory archive of the handler tests keeps the rules of the file-system
// writer: the same operations give the same answers, the same failures (with
// the same messages) and the same files on both.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>

#include "archive/TArchiveWriter.hpp"
#include "support/MemoryArchive.hpp"
#include "support/TestSupport.hpp"

using kvtest::Repr;

namespace {

struct Op {
  enum Kind { SetUpFolder, SetUpFile, CreateFolder, Save, IsDirectory, IsTakenByFile } kind;
  std::string path;  // below the root
  std::string text = {};
};

// Runs the operations and describes each answer ("ok", "true", "false" or the error).
std::vector<std::string> Apply(TArchiveWriter& w, const std::string& root, const std::vector<Op>& ops,
                             const std::function<void(const Op&)>& setUp) {
  std::vector<std::string> out;
  for (const Op& op : ops) {
    const std::string path = root + "/" + op.path;
    switch (op.kind) {
      case Op::SetUpFolder:
      case Op::SetUpFile:
        setUp(op);
        out.push_back("set up");
        break;
      case Op::CreateFolder:
        w.CreateFolder(path);
        out.push_back("ok");
        break;
      case Op::Save:
        try {
          w.Save(path, op.text);
          out.push_back("ok");
        } catch (const std::runtime_error& e) {
          out.push_back(e.what());
        }
        break;
      case Op::IsDirectory:
        out.push_back(w.IsDirectory(path) ? "true" : "false");
        break;
      case Op::IsTakenByFile:
        out.push_back(w.IsTakenByFile(path) ? "true" : "false");
        break;
    }
  }
  return out;
}

TEST(MemoryArchive, SameAnswersAsTheFileSystemWriter) {
  struct Row {
    const char* name;
    std::vector<Op> ops;
  };
  const std::vector<Row> rows = {
      {"a new file, then the same name again",
       {{Op::Save, "S1.astm", "first\r\n"}, {Op::Save, "S1.astm", "second\r\n"}, {Op::IsTakenByFile, "S1.astm"}}},
      {"an existing file is never replaced",
       {{Op::SetUpFile, "M/S1.astm", "older\r\n"}, {Op::Save, "M/S1.astm", "new"}, {Op::Save, "M/S2.astm", "new"}}},
      {"a missing folder", {{Op::Save, "missing/S1.astm", "x"}, {Op::IsDirectory, "missing"}}},
      {"a file where the folder should be",
       {{Op::SetUpFile, "blocked", "x"}, {Op::Save, "blocked/M/S1.astm", "y"}, {Op::CreateFolder, "blocked/M"},
        {Op::IsDirectory, "blocked/M/"}, {Op::Save, "blocked/S1.astm", "y"}}},
      {"a folder holds the name", {{Op::SetUpFolder, "M/D1.astm"}, {Op::Save, "M/D1.astm", "x"},
                                   {Op::IsTakenByFile, "M/D1.astm"}, {Op::IsDirectory, "M/D1.astm"}}},
      {"folders are made one level at a time",
       {{Op::CreateFolder, "a/b/"}, {Op::IsDirectory, "a/b/"}, {Op::CreateFolder, "a/"}, {Op::CreateFolder, "a/b/"},
        {Op::IsDirectory, "a/b"}, {Op::IsDirectory, "a"}, {Op::Save, "a/b/S1.astm", "x"}}},
      {"a folder on an existing name changes nothing",
       {{Op::SetUpFile, "f", "x"}, {Op::CreateFolder, "f/"}, {Op::IsTakenByFile, "f"}, {Op::IsDirectory, "f"},
        {Op::CreateFolder, "M/"}, {Op::CreateFolder, "M/"}, {Op::IsDirectory, "M/"}}},
      {"empty text and Windows-1252 bytes",
       {{Op::Save, "empty.txt", ""}, {Op::Save, "S\xe3o.astm", "Glic\xe9mia\r\n"}, {Op::IsTakenByFile, "none"}}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(std::string("row ") + std::to_string(i) + " " + rows[i].name);
    kvtest::TempDir dir;
    const std::string root = dir.path();

    TFileArchiveWriter real;
    const auto realAnswers = Apply(real, root, rows[i].ops, [&](const Op& op) {
      if (op.kind == Op::SetUpFolder)
        std::filesystem::create_directories(root + "/" + op.path);
      else
        kvtest::WriteFile(root + "/" + op.path, op.text);
    });
    kvtest::MemoryArchive memory;
    memory.AddFolder(root);
    const auto memoryAnswers = Apply(memory, root, rows[i].ops, [&](const Op& op) {
      if (op.kind == Op::SetUpFolder)
        memory.AddFolder(root + "/" + op.path);
      else
        memory.AddFile(root + "/" + op.path, op.text);
    });

    EXPECT_EQ(memoryAnswers, realAnswers);
    const auto files = kvtest::ListFiles(root);
    EXPECT_EQ(memory.Files(root), files);
    for (const auto& f : files) EXPECT_EQ(Repr(memory.Read(root + "/" + f)), Repr(kvtest::ReadFile(root + "/" + f))) << f;
  }
}

TEST(MemoryArchive, RemoveForgetsTheFolderAndWhatIsBelow) {
  kvtest::MemoryArchive a;
  a.AddFile("/s/M/S1.astm", "1");
  a.AddFile("/s/M2/S2.astm", "2");
  a.AddFile("/s/MX.astm", "3");
  a.Remove("/s/M/");
  EXPECT_FALSE(a.IsDirectory("/s/M"));
  EXPECT_TRUE(a.IsDirectory("/s/M2"));
  EXPECT_EQ(a.Files("/s/"), (std::vector<std::string>{"M2/S2.astm", "MX.astm"}));
  EXPECT_EQ(a.Files("/"), (std::vector<std::string>{"s/M2/S2.astm", "s/MX.astm"}));
  EXPECT_EQ(a.Read("/s/M/S1.astm"), "");
}

}  // namespace
