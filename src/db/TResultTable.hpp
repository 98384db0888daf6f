#pragma once
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "util/TDateTime.hpp"

// A value of a result column or a statement parameter.
using TDbValue = std::variant<std::monostate, int64_t, double, std::string, TDateTime>;

// In-memory copy of a query's rows; the cursor stands on the first row.
class TResultTable {
 public:
  struct Column {
    std::string name;  // as the database describes it (upper case for unquoted names)
    unsigned type = 0; // Firebird SQL type code
  };

  std::vector<Column> columns;
  std::vector<std::vector<TDbValue>> rows;

  int RecordCount() const { return static_cast<int>(rows.size()); }
  bool Eof() const { return cursor_ >= rows.size(); }
  void First() { cursor_ = 0; }
  void Next() { if (cursor_ < rows.size()) ++cursor_; }
  int RecNo() const { return static_cast<int>(cursor_) + 1; }

  // Column look-up ignores letter case. An unknown column throws std::out_of_range.
  bool IsNull(const std::string& column) const;
  int64_t AsInteger(const std::string& column) const;     // null -> 0
  std::string AsString(const std::string& column) const;  // null -> ""
  TDateTime AsDateTime(const std::string& column) const;  // null -> 30/12/1899 00:00:00

 private:
  const TDbValue& Value(const std::string& column) const;
  size_t cursor_ = 0;
};
