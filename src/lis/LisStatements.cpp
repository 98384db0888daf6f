#include "lis/LisStatements.hpp"

#include <cerrno>
#include <cstdlib>

#include "util/TString.hpp"

namespace lis {

std::optional<int64_t> WholeNumber(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  size_t i = b;
  if (i < e && (s[i] == '+' || s[i] == '-')) ++i;
  if (i == e) return std::nullopt;
  for (size_t k = i; k < e; ++k)
    if (s[k] < '0' || s[k] > '9') return std::nullopt;
  std::string digits = s.substr(b, e - b);
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(digits.c_str(), &end, 10);
  if (errno == ERANGE || !end || *end != '\0') return std::nullopt;
  return static_cast<int64_t>(v);
}

std::string FillPlaces(const std::string& text, const std::vector<std::string>& fills) {
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < text.size();) {
    size_t len = 0;
    if (text.compare(i, 4, "'%s'") == 0)
      len = 4;
    else if (text.compare(i, 2, "%s") == 0 || text.compare(i, 2, "%d") == 0)
      len = 2;
    if (len && next < fills.size()) {
      out += fills[next++];
      i += len;
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string Markers(size_t n, const std::string& separator) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += (i ? separator : "") + std::string("?");
  return s;
}

std::string DeviceName(const TAnalisador& a) { return TString::Coalesce({a.nomeTevarin, a.modelo}); }

Statement DeviceStatement(const std::string& deviceName, bool buscarExames) {
  return {FillPlaces(buscarExames ? D1 : D2, {"?"}), {TDbValue(deviceName)}};
}

std::optional<Statement> OrderStatement(const std::string& deviceName, const std::vector<int32_t>& configuredExams,
                                        const std::string& orderCode) {
  // The code once stood unquoted in the text, a number literal: only a whole
  // number can match, and it compares as a number (leading zeros, 2240801237).
  std::optional<int64_t> code = WholeNumber(orderCode);
  if (!code) return std::nullopt;
  Statement st;
  if (configuredExams.empty()) {
    st.sql = FillPlaces(O1, {"?"});
    st.params.push_back(deviceName);
  }
  st.sql += FillPlaces(O2, {"?"});
  st.params.push_back(*code);
  if (configuredExams.empty()) {
    st.sql += O3;
  } else {
    st.sql += FillPlaces(O4, {Markers(configuredExams.size(), ", ")});
    for (int32_t c : configuredExams) st.params.push_back(static_cast<int64_t>(c));
  }
  return st;
}

std::optional<Statement> ExamNamesStatement(int32_t pedCod, const std::vector<std::string>& deviceExams) {
  // An empty "in ()" is a syntax error; no exams simply means no tests.
  if (deviceExams.empty()) return std::nullopt;
  Statement st;
  st.sql = FillPlaces(E1, {"?", Markers(deviceExams.size(), ",")});
  st.params.push_back(static_cast<int64_t>(pedCod));
  for (const auto& e : deviceExams) {
    if (auto n = WholeNumber(e))
      st.params.push_back(*n);
    else
      st.params.push_back(e);
  }
  return st;
}

std::string DescribeParams(const std::vector<TDbValue>& params) {
  std::string s = "Par\xE2metros: ";
  for (size_t i = 0; i < params.size(); ++i) {
    if (i) s += ", ";
    if (auto n = std::get_if<int64_t>(&params[i]))
      s += std::to_string(*n);
    else if (auto t = std::get_if<std::string>(&params[i]))
      s += "'" + *t + "'";
    else
      s += "null";
  }
  return s;
}

}  // namespace lis
