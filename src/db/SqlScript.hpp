#pragma once
#include <string>
#include <vector>

namespace fbapi {

// Position just after the quoted text or identifier that opens at s[i] (a ' or
// a "); a doubled quote stays inside. An unclosed one runs to the end of s.
size_t QuotedEnd(const std::string& s, size_t i);

// Cuts an SQL script into statements: each ends with ";" outside quotes;
// "--" and "/* */" comments are dropped; blank statements are skipped.
std::vector<std::string> SplitSqlScript(const std::string& script);

}  // namespace fbapi
