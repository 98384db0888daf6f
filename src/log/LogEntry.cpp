#include "log/LogEntry.hpp"

#include <cstdio>

std::string LogEntryText(const TDateTime& t, const std::string& txt) {
  if (txt.empty()) return {};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d", t.day, t.month, t.year, t.hour, t.minute,
                t.second);
  return buf + std::string("\t") + txt;
}
