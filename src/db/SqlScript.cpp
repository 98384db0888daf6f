#include "db/SqlScript.hpp"

#include <utility>

#include "util/TString.hpp"

namespace fbapi {

size_t QuotedEnd(const std::string& s, size_t i) {
  const char quote = s[i];
  const size_t n = s.size();
  size_t j = i + 1;
  while (j < n) {
    if (s[j] == quote) {
      if (j + 1 < n && s[j + 1] == quote) {
        j += 2;
        continue;
      }
      break;
    }
    ++j;
  }
  return j < n ? j + 1 : n;
}

std::vector<std::string> SplitSqlScript(const std::string& script) {
  std::vector<std::string> out;
  std::string cur;
  auto finish = [&] {
    std::string stmt = TString::Trim(cur);
    if (!stmt.empty()) out.push_back(std::move(stmt));
    cur.clear();
  };
  size_t i = 0;
  const size_t n = script.size();
  while (i < n) {
    char c = script[i];
    if (c == '\'' || c == '"') {
      const size_t end = QuotedEnd(script, i);
      cur.append(script, i, end - i);
      i = end;
    } else if (c == '-' && i + 1 < n && script[i + 1] == '-') {
      while (i < n && script[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < n && script[i + 1] == '*') {
      size_t j = script.find("*/", i + 2);
      i = j == std::string::npos ? n : j + 2;
      cur += ' ';
    } else if (c == ';') {
      finish();
      ++i;
    } else {
      cur += c;
      ++i;
    }
  }
  finish();
  return out;
}

}  // namespace fbapi
