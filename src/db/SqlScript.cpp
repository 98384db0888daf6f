#include "db/SqlScript.hpp"

namespace fbapi {

namespace {

bool IsBlank(const std::string& s) {
  for (unsigned char c : s)
    if (c > ' ') return false;
  return true;
}

std::string Trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

}  // namespace

std::vector<std::string> SplitSqlScript(const std::string& script) {
  std::vector<std::string> out;
  std::string cur;
  auto finish = [&] {
    if (!IsBlank(cur)) out.push_back(Trimmed(cur));
    cur.clear();
  };
  size_t i = 0;
  const size_t n = script.size();
  while (i < n) {
    char c = script[i];
    if (c == '\'' || c == '"') {
      // Quoted text or identifier; a doubled quote stays inside.
      size_t j = i + 1;
      while (j < n) {
        if (script[j] == c) {
          if (j + 1 < n && script[j + 1] == c) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      size_t end = j < n ? j + 1 : n;
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
