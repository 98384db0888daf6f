#include "lis/LisStatements.hpp"

#include "util/TString.hpp"

namespace lis {

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

const std::string CODE_COLUMN_TYPE =
    "select f.rdb$field_type from rdb$relation_fields rf join rdb$fields f on f.rdb$field_name = rf.rdb$field_source "
    "where rf.rdb$relation_name = 'PED_PEDIDOS' and rf.rdb$field_name = 'PED_COD_VIS'";

CodeColumn CodeColumnOf(int64_t fieldType) {
  // 14 CHAR, 37 VARCHAR; every other type the column may have is a number.
  return fieldType == 14 || fieldType == 37 ? CodeColumn::Text : CodeColumn::Number;
}

std::optional<Statement> OrderStatement(const std::string& deviceName, const std::vector<int32_t>& configuredExams,
                                        const std::string& orderCode, CodeColumn column) {
  // The code once stood unquoted in the text, a number literal: only a whole
  // number can match, and it compares as a number (leading zeros, 2240801237).
  std::optional<int64_t> code = TString::ToInt64(orderCode);
  if (!code) return std::nullopt;
  Statement st;
  if (configuredExams.empty()) {
    st.sql = FillPlaces(O1, {"?"});
    st.params.push_back(deviceName);
  }
  if (column == CodeColumn::Number) {
    st.sql += FillPlaces(O2, {"?"});
    st.params.push_back(*code);
  } else {
    // A text column compared with a number would convert every row, and one
    // code that is not a number ('SAMPLE123') would fail every lookup. Both
    // sides lose their leading zeros instead, so 19, 019 and 0019 are one code.
    st.sql += FillPlaces(O2, {"?"});
    const std::string marker = "ped.ped_cod_vis = ?";
    st.sql.replace(st.sql.rfind(marker), marker.size(), "trim(leading '0' from ped.ped_cod_vis) = ?");
    // (The column's '0' trims to nothing, and so does the code 0.)
    st.params.push_back(*code == 0 ? std::string() : std::to_string(*code));
  }
  if (configuredExams.empty()) {
    st.sql += O3;
  } else {
    st.sql += FillPlaces(O4, {Markers(configuredExams.size(), ", ")});
    for (int32_t c : configuredExams) st.params.push_back(static_cast<int64_t>(c));
  }
  return st;
}

std::optional<Statement> ExamNamesStatement(int32_t pedCod, int32_t deviceCode,
                                            const std::vector<std::string>& deviceExams) {
  // An empty "in ()" is a syntax error; no exams simply means no tests.
  if (deviceExams.empty()) return std::nullopt;
  Statement st;
  st.sql = FillPlaces(E1, {"?", Markers(deviceExams.size(), ",")}) + E1_DEVICE;
  st.params.push_back(static_cast<int64_t>(pedCod));
  for (const auto& e : deviceExams) {
    if (auto n = TString::ToInt64(e))
      st.params.push_back(*n);
    else
      st.params.push_back(e);
  }
  st.params.push_back(static_cast<int64_t>(deviceCode));
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
