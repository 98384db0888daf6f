#pragma once
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

// What the status page shows of the folders.
struct TFolderFacts {
  bool outputWritable = false;
  bool freeKnown = false;
  uint64_t freeBytes = 0;
  bool spoolWritable = false;
  std::time_t oldestWaitingFile = 0;  // oldest archive file not yet imported (0: none)
};

// Looks at the output folder (Windows-1252) and the spool folder (UTF-8) now.
TFolderFacts ScanFolders(const std::string& outputFolder, const std::string& spoolFolder);

// The folders looked at every few seconds on a thread of its own: an output
// folder on a network share that stops answering holds up that thread only,
// and Busy() tells for how long. A stuck thread is left behind at the end.
class TFolderWatch {
 public:
  TFolderWatch(std::string outputFolder, std::string spoolFolder, std::chrono::seconds every);
  ~TFolderWatch();
  TFolderWatch(const TFolderWatch&) = delete;
  TFolderWatch& operator=(const TFolderWatch&) = delete;

  void Start();
  // The facts of the last look that finished; false before the first.
  bool Latest(TFolderFacts& facts) const;
  // Waits at most `most` for the first look to finish; false if it has not.
  bool WaitFirst(std::chrono::milliseconds most) const;
  // How long the look now running has been at it (zero between looks).
  std::chrono::milliseconds Busy() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};
