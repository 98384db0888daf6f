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

  // Save in steps, for a group of files that are all written and flushed
  // before any gets its name, and whose folder is flushed once after.
  struct TStaged {
    std::string path;  // the name it is to get
    std::string temp;  // where it was written (the writer's own)
    std::string text;  // kept by writers that write nothing before Publish
  };
  // Writes the file under a temporary name, flushed; throws std::runtime_error as Save does.
  virtual TStaged Stage(const std::string& path, const std::string& text);
  // Gives a staged file its name; false when a file took the name (the staged
  // file stays for Discard); throws std::runtime_error on other failures.
  virtual bool Publish(const TStaged& staged);
  // Removes a staged file that will not get its name.
  virtual void Discard(const TStaged& staged);
  // Removes a temporary file left by a run that ended before its rename.
  virtual void DiscardTemp(const std::string& temp);
  // Makes the names given in the folder durable.
  virtual void FlushFolder(const std::string& folder);
  // True when the file at path holds exactly text (a delivery that was done
  // before a crash is told by this).
  virtual bool HoldsExactly(const std::string& path, const std::string& text);
};

// The archive writer over the host's file system.
class TFileArchiveWriter : public TArchiveWriter {
 public:
  bool IsDirectory(const std::string& path) override;
  bool IsTakenByFile(const std::string& path) override;
  void CreateFolder(const std::string& path) override;
  void Save(const std::string& path, const std::string& text) override;  TStaged Stage(const std::string& path, const std::string& text) override;
  bool Publish(const TStaged& staged) override;
  void Discard(const TStaged& staged) override;
  void DiscardTemp(const std::string& temp) override;
  void FlushFolder(const std::string& folder) override;
  bool HoldsExactly(const std::string& path, const std::string& text) override;
};
