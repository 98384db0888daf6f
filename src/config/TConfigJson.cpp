#include "config/TConfigJson.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <vector>

#include "config/ConfigKeys.hpp"
#include "config/ConfigReader.hpp"
#include "util/Encoding.hpp"
#include "util/FileSystem.hpp"

using json = nlohmann::json;

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of(fsys::PATH_SEPARATORS);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsFile(const std::string& path) { return fsys::IsRegularFile(path); }

// The file's text as UTF-8: a byte-order mark selects UTF-8 or UTF-16, and
// bytes that are not UTF-8 (a file saved in the 8-bit code page) are read as
// Windows-1252 rather than making the whole file unreadable.
std::string DecodeConfigText(const std::string& bytes) {
  std::string utf8;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
    utf8 = bytes.substr(3);
  else if (bytes.compare(0, 2, "\xFF\xFE") == 0)
    utf8 = Utf16ToUtf8(bytes.substr(2), false);
  else if (bytes.compare(0, 2, "\xFE\xFF") == 0)
    utf8 = Utf16ToUtf8(bytes.substr(2), true);
  else
    utf8 = bytes;
  // Values end up in Windows-1252 anyway, so this round trip loses nothing they keep.
  return Cp1252ToUtf8(Utf8ToCp1252(utf8));
}

std::string ReadBytes(const std::string& path, const TConfigReader& r) {
  std::ifstream in(fsys::PathOf(path), std::ios::binary);
  if (!in) r.Fail("", std::string("cannot be read: ") + std::strerror(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) r.Fail("", "cannot be read");
  return bytes;
}

// The value of a group of 1 to `digits` digits in `base`; -1 when it is not one.
long GroupValue(const std::string& g, int base, size_t digits) {
  if (g.empty() || g.size() > digits) return -1;
  long v = 0;
  for (char c : g) {
    const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                  : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                      ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                      : -1;
    if (d < 0) return -1;
    v = v * base + d;
  }
  return v;
}

std::vector<std::string> SplitAt(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = s.find(sep, from)) != std::string::npos; from = at + 1) parts.push_back(s.substr(from, at - from));
  parts.push_back(s.substr(from));
  return parts;
}

// 127.x.y.z, written as four decimal numbers.
bool IsIpv4Loopback(const std::string& a) {
  const std::vector<std::string> parts = SplitAt(a, '.');
  if (parts.size() != 4) return false;
  for (const std::string& p : parts)
    if (GroupValue(p, 10, 3) < 0 || GroupValue(p, 10, 3) > 255) return false;
  return GroupValue(parts[0], 10, 3) == 127;
}

// ::1 in any of its spellings (0:0:0:0:0:0:0:1, ::0:1 ...).
bool IsIpv6Loopback(const std::string& a) {
  const size_t gap = a.find("::");
  if (gap != std::string::npos && a.find("::", gap + 1) != std::string::npos) return false;
  std::vector<std::string> groups;
  auto add = [&](const std::string& part) {
    if (part.empty()) return true;
    for (const std::string& g : SplitAt(part, ':')) {
      if (GroupValue(g, 16, 4) < 0) return false;
      groups.push_back(g);
    }
    return true;
  };
  if (gap == std::string::npos) {
    if (!add(a) || groups.size() != 8) return false;
  } else if (!add(a.substr(0, gap)) || !add(a.substr(gap + 2)) || groups.size() > 7 || a.size() <= gap + 2) {
    return false;  // (a trailing "::" leaves the last group zero)
  }
  for (size_t i = 0; i + 1 < groups.size(); ++i)
    if (GroupValue(groups[i], 16, 4) != 0) return false;
  return GroupValue(groups.back(), 16, 4) == 1;
}

}  // namespace

bool IsLoopbackAddress(const std::string& address) {
  return address == "localhost" || IsIpv4Loopback(address) || IsIpv6Loopback(address);
}

TConfigJson::TConfigJson() { SetInitialValues(*this); }

const TConfigJson& TConfigJson::Initial() {
  static const TConfigJson initial;
  return initial;
}

void TConfigJson::Load(const std::string& pFileName) {
  const std::string dbFileName = FolderOf(pFileName) + "database.json";
  if (IsFile(dbFileName)) {
    const TConfigReader r(dbFileName);
    const json doc = json::parse(DecodeConfigText(ReadBytes(dbFileName, r)), nullptr, false);
    // An unreadable settings file is not fatal: all four take their defaults.
    r.ReadObject(doc.is_discarded() ? json::object() : doc, "", DatabaseKeys(), myDBInfo);
  }

  if (!IsFile(pFileName)) return;

  const TConfigReader r(pFileName, Utf8ToCp1252(FolderOf(pFileName)), this);
  json doc;
  try {
    doc = json::parse(DecodeConfigText(ReadBytes(pFileName, r)));
  } catch (const json::exception& e) {
    // "[json.exception.parse_error.101] parse error at line 3, column 5: ..." -> from "parse error";
    // a number too large for any type ("out_of_range.406 number overflow ...") is bad JSON too.
    std::string detail = e.what();
    const size_t from = detail.find("] ");
    if (from != std::string::npos) detail = detail.substr(from + 2);
    r.Fail("", "is not valid JSON: " + Utf8ToCp1252(detail));
  }
  r.ReadObject(doc, "", MainFileKeys(), *this);
  // A database settings file without a server leaves all four to this file.
  if (myDBInfo.server.empty()) r.ReadObject(doc, "", DatabaseKeys(), myDBInfo);

  loaded = true;
}

const TAnalisador* TConfigJson::GetAnalisador(const std::string& pModelo) const {
  for (const auto& a : analisadores)
    if (a->modelo == pModelo) return a.get();
  return nullptr;
}
