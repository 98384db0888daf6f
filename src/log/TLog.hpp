#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log/TLogSink.hpp"
#include "util/TDateTime.hpp"

// Log file with the newest entry on top and a size cap: a file at or above
// the cap is kept whole as generation 1 ("Redurozozi.1.txt", older ones move
// up to `generations`) and a new file starts with the next entry. Entries may
// be coalesced in memory, but each reaches the file within 100 ms and the
// files always end up exactly as entry-by-entry writing would leave them.
// A rewrite that fails (a full disk) leaves the file as it was; its entries
// stay queued in memory and are written with the next flush (tried again
// every second). Never throws.
class TLog : public TLogSink {
 public:
  TLog(const std::string& filename, int32_t maxFileSize);
  ~TLog() override;  // flushes what is pending
  TLog(const TLog&) = delete;
  TLog& operator=(const TLog&) = delete;

  void setFile(const std::string& filename);
  // Size in bytes of the named file, -1 when it does not exist.
  static int64_t FileSize(const std::string& fileName);
  // Writes one entry: "dd/mm/yyyy hh:nn:ss" TAB txt (an empty txt is a blank line).
  void make(const std::string& txt, bool newLine = true) override;
  // Writes anything pending to the file now.
  void flush();
  // How often a full file was set aside and a new one started.
  uint64_t Restarts() const;
  // The last RECENT_ERRORS entries whose text holds "Erro", as written, oldest first.
  std::vector<std::string> RecentErrors() const;
  static constexpr size_t RECENT_ERRORS = 20;

  std::string file_name;
  int32_t max_file_size;
  int32_t generations = 5;  // kept full files; 0 keeps none
  TClock now = SystemNow;  // the clock seam

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
