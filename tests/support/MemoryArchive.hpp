#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/TArchiveWriter.hpp"

namespace kvtest {

// An archive folder tree in memory with the rules of the file-system writer:
// a folder is made one level at a time and only inside an existing folder;
// Save needs an existing folder, never replaces a taken name (file or folder)
// and throws std::runtime_error with the same wording as the real writer.
// Paths are absolute ("/..."); "/" always exists. Like the real writer it
// takes Windows-1252 paths and keeps the names in UTF-8, as the disk holds
// them: set-up, Files() and Read() speak the disk's names, as
// kvtest::WriteFile, ListFiles and ReadFile do.
class MemoryArchive : public TArchiveWriter {
 public:
  bool IsDirectory(const std::string& path) override;
  bool IsTakenByFile(const std::string& path) override;
  void CreateFolder(const std::string& path) override;
  void Save(const std::string& path, const std::string& text) override;
  bool HoldsExactly(const std::string& path, const std::string& text) override;

  // Test set-up: a folder with every folder above it, a file already there.
  void AddFolder(const std::string& path);
  void AddFile(const std::string& path, const std::string& text);
  // Forgets the folder, everything below it included.
  void Remove(const std::string& path);

  // When not empty every Save fails with this reason (a file system gone
  // read-only or full), as the real writer words it: "... <path>: <reason>".
  std::string failWith;

  // Files below the folder, relative to it, sorted (as kvtest::ListFiles).
  std::vector<std::string> Files(const std::string& folder) const;
  // The file's text; "" when there is none.
  std::string Read(const std::string& path) const;

 private:
  bool Folder(const std::string& disk) const;
  bool File(const std::string& disk) const;

  std::set<std::string> folders_;             // without the final "/"
  std::map<std::string, std::string> files_;  // path -> text
};

}  // namespace kvtest
