#pragma once
#include <string>
#include <vector>

namespace fbapi {

// Cuts an SQL script into statements: each ends with ";" outside quotes;
// "--" and "/* */" comments are dropped; blank statements are skipped.
std::vector<std::string> SplitSqlScript(const std::string& script);

}  // namespace fbapi
