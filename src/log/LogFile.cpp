#include "log/LogFile.hpp"

#include "util/Encoding.hpp"
#include "util/FileSystem.hpp"

namespace logfile {

namespace {

const std::string kBomUtf8 = "\xEF\xBB\xBF";
const std::string kBomUtf16LE = "\xFF\xFE";
const std::string kBomUtf16BE = "\xFE\xFF";

}  // namespace

bool IsUtf16(FileEncoding e) { return e == FileEncoding::Utf16LE || e == FileEncoding::Utf16BE; }

const std::string& Bom(FileEncoding e) {
  static const std::string none;
  switch (e) {
    case FileEncoding::Utf8: return kBomUtf8;
    case FileEncoding::Utf16LE: return kBomUtf16LE;
    case FileEncoding::Utf16BE: return kBomUtf16BE;
    default: return none;
  }
}

FileEncoding EncodingOf(const std::string& text) {
  if (text.compare(0, 3, kBomUtf8) == 0) return FileEncoding::Utf8;
  if (text.compare(0, 2, kBomUtf16LE) == 0) return FileEncoding::Utf16LE;
  if (text.compare(0, 2, kBomUtf16BE) == 0) return FileEncoding::Utf16BE;
  return FileEncoding::Ansi;
}

std::string Encode(const std::string& cp1252, FileEncoding e) {
  switch (e) {
    case FileEncoding::Utf8: return Cp1252ToUtf8(cp1252);
    case FileEncoding::Utf16LE: return Utf8ToUtf16(Cp1252ToUtf8(cp1252), false);
    case FileEncoding::Utf16BE: return Utf8ToUtf16(Cp1252ToUtf8(cp1252), true);
    default: return cp1252;
  }
}

const std::string& LineBreak(FileEncoding e) {
  static const std::string crlf = "\r\n";
  static const std::string le = std::string("\r\0\n\0", 4);
  static const std::string be = std::string("\0\r\0\n", 4);
  return e == FileEncoding::Utf16LE ? le : e == FileEncoding::Utf16BE ? be : crlf;
}

void SplitLines(const std::string& text, FileEncoding e, std::vector<std::string>& out) {
  const size_t unit = IsUtf16(e) ? 2 : 1;
  const size_t n = text.size() / unit * unit;  // a dangling odd byte is no character
  auto at = [&](size_t i) -> unsigned {
    if (unit == 1) return static_cast<unsigned char>(text[i]);
    const auto a = static_cast<unsigned char>(text[i]);
    const auto b = static_cast<unsigned char>(text[i + 1]);
    return e == FileEncoding::Utf16BE ? (a << 8 | b) : (b << 8 | a);
  };
  size_t start = 0;
  for (size_t i = 0; i < n; i += unit) {
    const unsigned c = at(i);
    if (c == '\r' || c == '\n') {
      out.push_back(text.substr(start, i - start));
      if (c == '\r' && i + unit < n && at(i + unit) == '\n') i += unit;
      start = i + unit;
    }
  }
  if (start < n) out.push_back(text.substr(start, n - start));
}

bool HasLineBreak(const std::string& line, FileEncoding e) {
  if (!IsUtf16(e)) return line.find_first_of("\r\n") != std::string::npos;
  for (size_t i = 0; i + 1 < line.size(); i += 2) {
    const char hi = e == FileEncoding::Utf16BE ? line[i] : line[i + 1];
    const char lo = e == FileEncoding::Utf16BE ? line[i + 1] : line[i];
    if (hi == 0 && (lo == '\r' || lo == '\n')) return true;
  }
  return false;
}

bool WriteFileBytes(const std::string& file, const std::string& data, int& err) {
  return fsys::ReplaceFileContent(file, data, err);
}

std::string GenerationName(const std::string& file, int n) {
  const size_t slash = file.find_last_of(fsys::PATH_SEPARATORS);
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = file.rfind('.');
  std::string number(1, '.');
  number += std::to_string(n);
  // A leading dot (".log") is part of the name, not an extension.
  if (dot == std::string::npos || dot <= nameStart) return file + number;
  return file.substr(0, dot) + number + file.substr(dot);
}

bool RotateFile(const std::string& file, int generations, int& err) {
  if (generations <= 0) return true;
  fsys::FileInfo info;
  if (!fsys::Stat(file, info, false, err)) return fsys::NotFound(err);
  // Only the unbroken run .1, .2 ... moves up; a gap takes the shift.
  int run = 0;
  fsys::FileInfo gen;
  int ignored = 0;
  while (run < generations - 1 && fsys::Stat(GenerationName(file, run + 1), gen, false, ignored)) ++run;
  for (int k = run; k >= 1; --k)
    if (!fsys::RenameFile(GenerationName(file, k), GenerationName(file, k + 1), err)) return false;
  const std::string first = GenerationName(file, 1);
  if (!info.isLink) return fsys::RenameFile(file, first, err);
  // A symbolic link was set up on purpose: it stays, and its target's text is copied.
  std::string text;
  if (!fsys::ReadWholeFile(file, text, err)) return fsys::NotFound(err);  // a dangling link holds nothing
  return WriteFileBytes(first, text, err);
}

}  // namespace logfile
