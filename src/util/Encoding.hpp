#pragma once
#include <string>

// The service keeps text as Windows-1252 bytes; configuration files, JSON
// documents and Linux paths are UTF-8. These convert at those borders.

// UTF-8 to Windows-1252. Characters that Windows-1252 cannot hold become '?'.
// Invalid UTF-8 bytes are taken as Windows-1252 already (so no byte is lost).
std::string Utf8ToCp1252(const std::string& utf8);

// Windows-1252 to UTF-8. The five undefined code points map to U+0081 etc.
std::string Cp1252ToUtf8(const std::string& cp1252);

// UTF-16 (little or big endian, no byte-order mark) to UTF-8.
std::string Utf16ToUtf8(const std::string& bytes, bool bigEndian);

// UTF-8 to UTF-16 bytes (no byte-order mark).
std::string Utf8ToUtf16(const std::string& utf8, bool bigEndian);
