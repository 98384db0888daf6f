// Placeholder until this concern is built; replaced wholesale by its owner.
#include "util/Encoding.hpp"
std::string Utf8ToCp1252(const std::string& s) { return s; }
std::string Cp1252ToUtf8(const std::string& s) { return s; }
std::string Utf16ToUtf8(const std::string&, bool) { return {}; }
std::string Utf8ToUtf16(const std::string&, bool) { return {}; }
