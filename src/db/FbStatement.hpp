#pragma once
#include <firebird/Interface.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db/TResultTable.hpp"

namespace fbapi {

// A statement parameter: a plain value, or the content of a blob column
// (isBlob; no content binds null).
struct Param {
  TDbValue value;
  bool isBlob = false;
  std::optional<std::string> blob;
};

// Prepares and runs `sql` ("?" markers bound from params in order) in `tra`.
// When `out` is given, it receives the column definitions and every row;
// a row that cannot be copied is reported to onRowError and left out.
// Throws std::runtime_error with the database's error text on any failure.
void Run(Firebird::IAttachment* att, Firebird::ITransaction* tra, const std::string& sql,
         const std::vector<Param>& params, TResultTable* out,
         const std::function<void(const std::string&)>& onRowError = {});

// Values as "?" parameters (no blobs).
std::vector<Param> ToParams(const std::vector<TDbValue>& values);

}  // namespace fbapi
