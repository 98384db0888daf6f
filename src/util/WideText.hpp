#pragma once
#include <string>

#include "util/Encoding.hpp"

// UTF-8 text as the UTF-16 strings of the Windows API, and back (Windows files only).
inline std::wstring WideOf(const std::string& utf8) {
  const std::string bytes = Utf8ToUtf16(utf8, false);
  std::wstring w(bytes.size() / 2, L'\0');
  for (size_t i = 0; i < w.size(); ++i)
    w[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  return w;
}

inline std::string Utf8Of(const std::wstring& wide) {
  std::string bytes;
  bytes.reserve(wide.size() * 2);
  for (wchar_t c : wide) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return Utf16ToUtf8(bytes, false);
}
