#pragma once
#include <string>

// The archive folder as a client record sees it: what exists there, and the
// atomic write of a new file. Paths are Windows-1252 text, as the names are formed.
class TArchiveWriter {
 public:
  virtual ~TArchiveWriter() = default;
  // True for an existing directory (links followed).
  virtual bool IsDirectory(const std::string& path) = 0;
  // True when the name is taken by anything but a directory (a dangling link included).
  virtual bool IsTakenByFile(const std::string& path) = 0;
  // Makes one folder level; a failure shows when a file is written into it.
  virtual void CreateFolder(const std::string& path) = 0;
  // Writes a new file with `text` atomically (under a temporary name, flushed,
  // then given its name, never replacing a file); throws std::runtime_error
  // with the reason when it cannot.
  virtual void Save(const std::string& path, const std::string& text) = 0;
};

// The archive writer over the host's file system.
class TFileArchiveWriter : public TArchiveWriter {
 public:
  bool IsDirectory(const std::string& path) override;
  bool IsTakenByFile(const std::string& path) override;
  void CreateFolder(const std::string& path) override;
  void Save(const std::string& path, const std::string& text) override;
};
