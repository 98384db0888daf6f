#pragma once
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/TestSupport.hpp"

namespace hl7test {

// Fills the "%s" and "%d" places of a reply format in order (the texts the
// replies are specified with), so expectations are written independently of
// the builders under test.
inline std::string Fmt(const std::string& formato, std::initializer_list<std::string> valores) {
  std::string out;
  auto it = valores.begin();
  for (size_t i = 0; i < formato.size(); ++i) {
    if (formato[i] == '%' && i + 1 < formato.size() && (formato[i + 1] == 's' || formato[i + 1] == 'd')) {
      out += it != valores.end() ? *it++ : std::string("<missing>");
      ++i;
    } else {
      out += formato[i];
    }
  }
  return out;
}

// Readable lines ("<VT>MSH|...") expanded to bytes.
inline std::vector<std::string> Lines(std::initializer_list<std::string> readable) {
  std::vector<std::string> out;
  for (const auto& r : readable) out.push_back(kvtest::Expand(r));
  return out;
}

inline std::deque<std::string> Buffer(std::initializer_list<std::string> readable) {
  std::deque<std::string> out;
  for (const auto& r : readable) out.push_back(kvtest::Expand(r));
  return out;
}

template <typename C>
std::string ReprLines(const C& linhas) {
  std::string s = "[";
  for (const auto& l : linhas) {
    s += '"';
    s += kvtest::Repr(l);
    s += "\" ";
  }
  return s + "]";
}

}  // namespace hl7test
