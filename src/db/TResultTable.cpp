#include "db/TResultTable.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// dd/mm/yyyy, with " hh:nn:ss" when the value carries a time of day.
std::string DateTimeText(const TDateTime& d) {
  char buf[48];
  if (d.hour || d.minute || d.second || d.msec)
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d", d.day, d.month, d.year, d.hour, d.minute,
                  d.second);
  else
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", d.day, d.month, d.year);
  return buf;
}

std::string NumberText(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

}  // namespace

const TDbValue& TResultTable::Value(const std::string& column) const {
  if (Eof()) throw std::out_of_range("no current row (column " + column + ")");
  for (size_t i = 0; i < columns.size(); ++i)
    if (SameIgnoringCase(columns[i].name, column)) return rows[cursor_].at(i);
  throw std::out_of_range("column not found: " + column);
}

bool TResultTable::IsNull(const std::string& column) const {
  return std::holds_alternative<std::monostate>(Value(column));
}

int64_t TResultTable::AsInteger(const std::string& column) const {
  const TDbValue& v = Value(column);
  if (std::holds_alternative<std::monostate>(v)) return 0;
  if (auto p = std::get_if<int64_t>(&v)) return *p;
  if (auto p = std::get_if<double>(&v)) {
    if (!std::isfinite(*p) || std::fabs(*p) > 9.2e18) throw std::range_error("value out of range: " + column);
    return std::llround(*p);
  }
  if (auto p = std::get_if<std::string>(&v)) {
    // Delphi-like: surrounding blanks allowed, anything else is a conversion error.
    const char* s = p->c_str();
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(s, &end, 10);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (end == s || !end || *end != '\0' || errno == ERANGE)
      throw std::invalid_argument("'" + *p + "' is not a valid integer value (" + column + ")");
    return n;
  }
  throw std::invalid_argument("date-time value read as integer (" + column + ")");
}

std::string TResultTable::AsString(const std::string& column) const {
  const TDbValue& v = Value(column);
  if (std::holds_alternative<std::monostate>(v)) return {};
  if (auto p = std::get_if<int64_t>(&v)) return std::to_string(*p);
  if (auto p = std::get_if<double>(&v)) return NumberText(*p);
  if (auto p = std::get_if<std::string>(&v)) return *p;
  return DateTimeText(std::get<TDateTime>(v));
}

TDateTime TResultTable::AsDateTime(const std::string& column) const {
  const TDbValue& v = Value(column);
  if (std::holds_alternative<std::monostate>(v)) return TDateTime{};
  if (auto p = std::get_if<TDateTime>(&v)) return *p;
  throw std::invalid_argument("value is not a date-time (" + column + ")");
}
