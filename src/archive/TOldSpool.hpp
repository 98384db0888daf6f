#pragma once
#include <string>
#include <utility>
#include <vector>

#include "archive/TArchiveEntry.hpp"

// The spool of earlier versions, one file per message in the spool folder
// ("<sequence>.entry"): read at a start so that what waited there is
// delivered, and each file removed once its message is in the output folder.
// Its text form of a message is the one the journal keeps too. A file that
// cannot be read becomes "<name>.ilegivel"; an unfinished "*.tmp" is removed.
class TOldSpool {
 public:
  // folder: the spool folder, ending with the separator (file-system bytes).
  explicit TOldSpool(std::string folder);

  // Every waiting message with its file's name, oldest first; what cannot be
  // read is set aside (never deleted) and described in *problems.
  std::vector<std::pair<std::string, TArchiveEntry>> Load(std::vector<std::string>* problems);
  // Removes a message's file (and flushes the folder); throws std::runtime_error when it cannot.
  void Remove(const std::string& key);

  // A message as text, and back (false when the text is not one).
  static std::string Encode(const TArchiveEntry& entry);
  static bool Decode(const std::string& text, TArchiveEntry& entry);

 private:
  std::string folder_;
};
