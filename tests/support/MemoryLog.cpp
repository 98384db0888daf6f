#include "support/MemoryLog.hpp"

#include "log/LogEntry.hpp"

namespace kvtest {

namespace {

// Cut at CR, LF and CR LF; a break at the very end opens no empty last line.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      out.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) out.push_back(text.substr(start));
  return out;
}

}  // namespace

MemoryLog::MemoryLog(TClock clock, int64_t maxSize, int generations)
    : clock_(std::move(clock)), maxSize_(maxSize), maxGenerations_(generations) {}

void MemoryLog::make(const std::string& txt, bool newLine) {
  texts_.push_back(txt);
  if (size_ >= maxSize_) {
    if (size_ > 0 && maxGenerations_ > 0) {
      generations_.push_front(Text());
      while (static_cast<int>(generations_.size()) > maxGenerations_) generations_.pop_back();
    }
    lines_.clear();
    size_ = 0;
  }
  // The newest entry went to the file as one line; read back, its inner breaks split it.
  if (!lines_.empty() && lines_.front().find_first_of("\r\n") != std::string::npos) {
    const auto parts = SplitLines(lines_.front() + "\r\n");
    size_ -= static_cast<int64_t>(lines_.front().size() + 2);
    lines_.pop_front();
    for (const auto& p : parts) size_ += static_cast<int64_t>(p.size() + 2);
    lines_.insert(lines_.begin(), parts.begin(), parts.end());
  }
  std::string entry = txt.empty() ? std::string() : LogEntryText(clock_ ? clock_() : SystemNow(), txt);
  if (newLine || lines_.empty()) {
    size_ += static_cast<int64_t>(entry.size() + 2);
    lines_.push_front(std::move(entry));
  } else {
    size_ += static_cast<int64_t>(entry.size());
    lines_.front() += entry;
  }
}

std::string MemoryLog::Text() const {
  std::string text;
  for (const auto& l : lines_) text += l + "\r\n";
  return text;
}

}  // namespace kvtest
