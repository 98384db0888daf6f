#pragma once
#include <string>
#include <utility>
#include <vector>

#include "archive/TArchiveEntry.hpp"

// Where complete result messages wait, on disk, until they are in the output
// folder. Keys order the entries: a later Put gets a greater key.
class TSpoolStore {
 public:
  virtual ~TSpoolStore() = default;
  // Keeps the entry durably (flushed to disk, its name too) and answers its key;
  // throws std::runtime_error with the reason when it cannot (nothing is kept then).
  virtual std::string Put(const TArchiveEntry& entry) = 0;
  // Forgets the entry for good; throws std::runtime_error when it cannot.
  virtual void Remove(const std::string& key) = 0;
  // Every waiting entry, oldest first. An entry that cannot be read is set
  // aside (never deleted) and described in *problems.
  virtual std::vector<std::pair<std::string, TArchiveEntry>> Load(std::vector<std::string>* problems) = 0;
};

// The spool as one file per entry in a folder of its own: "<sequence>.entry",
// written as "<sequence>.entry.XXXXXX.tmp", flushed, renamed without replacing,
// and the folder flushed. An entry that cannot be read becomes "<name>.ilegivel".
class TFileSpoolStore : public TSpoolStore {
 public:
  // folder: the spool folder, ending with "/" (file-system bytes).
  explicit TFileSpoolStore(std::string folder);
  const std::string& Folder() const { return folder_; }

  std::string Put(const TArchiveEntry& entry) override;
  void Remove(const std::string& key) override;
  std::vector<std::pair<std::string, TArchiveEntry>> Load(std::vector<std::string>* problems) override;

  // The file text of an entry, and back (nullopt-like: false when it is not one).
  static std::string Encode(const TArchiveEntry& entry);
  static bool Decode(const std::string& text, TArchiveEntry& entry);

 private:
  void ScanSequence();
  std::string folder_;
  unsigned long long next_ = 0;
  bool scanned_ = false;
};
