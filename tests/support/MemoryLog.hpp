#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "log/TLogSink.hpp"
#include "util/TDateTime.hpp"

namespace kvtest {

// A log sink that keeps its entries in memory and renders them as the
// service log file would hold them (TLog, 8-bit code page): newest entry
// first, CR LF after each line, and a CR or LF inside an entry's text becomes
// a line break of its own once a newer entry is written above it. A log at or
// above the cap is kept as generation 1 (older ones move up, at most
// `generations` are kept) and starts afresh with the next entry, as the file does.
class MemoryLog : public TLogSink {
 public:
  explicit MemoryLog(TClock clock = SystemNow, int64_t maxSize = 1000000, int generations = 5);

  void make(const std::string& txt, bool newLine = true) override;

  // The texts handed to make(), oldest first, without time stamps.
  const std::vector<std::string>& Texts() const { return texts_; }
  // What the log file would hold now.
  std::string Text() const;
  // What the kept generation files would hold: [0] is generation 1, the newest.
  const std::deque<std::string>& Generations() const { return generations_; }

 private:
  TClock clock_;
  int64_t maxSize_;
  int maxGenerations_;
  std::deque<std::string> generations_;
  std::vector<std::string> texts_;
  std::deque<std::string> lines_;  // newest first, without their line breaks
  int64_t size_ = 0;               // bytes of Text()
};

}  // namespace kvtest
