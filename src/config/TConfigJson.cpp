#include "config/TConfigJson.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "util/Encoding.hpp"
#include "util/FileSystem.hpp"
#include "util/TString.hpp"

using json = nlohmann::json;

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of(fsys::PATH_SEPARATORS);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of(fsys::PATH_SEPARATORS);
  return slash == std::string::npos ? path : path.substr(slash + 1);
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

// Reads typed values and raises errors that name the file and the key.
class Reader {
 public:
  explicit Reader(std::string fileName) : file_(BaseName(fileName)) {}

  [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
    throw TConfigError(file_ + ": " + (where.empty() ? what : where + " " + what));
  }

  static std::string Key(const std::string& parent, const std::string& key) {
    return (parent.empty() ? "" : parent + ".") + "\"" + key + "\"";
  }
  static std::string Index(const std::string& parent, size_t i) {
    return parent + "[" + std::to_string(i) + "]";
  }

  // The value of key, or null when absent.
  static const json& Get(const json& obj, const std::string& key) {
    static const json null;
    const auto it = obj.find(key);
    return it == obj.end() ? null : *it;
  }

  int32_t Int(const json& obj, const std::string& parent, const std::string& key, int32_t def) const {
    const json& v = Get(obj, key);
    if (v.is_null()) return def;
    const auto n = AsInt(v);
    if (!n) Fail(Key(parent, key), "is not an integer: " + Shown(v));
    return *n;
  }

  bool Bool(const json& obj, const std::string& parent, const std::string& key, bool def) const {
    const json& v = Get(obj, key);
    if (v.is_null()) return def;
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_string()) {
      const std::string s = TString::LowerCase(TString::Trim(v.get<std::string>()));
      if (s == "true") return true;
      if (s == "false") return false;
    }
    Fail(Key(parent, key), "is not a boolean: " + Shown(v));
  }

  std::string Text(const json& obj, const std::string& parent, const std::string& key,
                   const std::string& def) const {
    const json& v = Get(obj, key);
    if (v.is_null()) return def;
    const auto s = AsText(v);
    if (!s) Fail(Key(parent, key), "is not a text: " + Shown(v));
    return *s;
  }

  std::string RequiredText(const json& obj, const std::string& parent, const std::string& key) const {
    if (Get(obj, key).is_null()) Fail(Key(parent, key), "is missing");
    return Text(obj, parent, key, "");
  }

  const json& RequiredArray(const json& obj, const std::string& parent, const std::string& key) const {
    const json& v = Get(obj, key);
    if (v.is_null()) Fail(Key(parent, key), "is missing");
    if (!v.is_array()) Fail(Key(parent, key), "is not an array: " + Shown(v));
    return v;
  }

  // Strings as they are (in Windows-1252), numbers and booleans as their text.
  static std::optional<std::string> AsText(const json& v) {
    if (v.is_string()) return Utf8ToCp1252(v.get<std::string>());
    if (v.is_number() || v.is_boolean()) return v.dump();
    return std::nullopt;
  }

 private:
  // Whole numbers, also when written as 6000.0 or "6000".
  static std::optional<int32_t> AsInt(const json& v) {
    constexpr auto lo = std::numeric_limits<int32_t>::min();
    constexpr auto hi = std::numeric_limits<int32_t>::max();
    if (v.is_number_unsigned()) {
      const auto n = v.get<uint64_t>();
      if (n <= static_cast<uint64_t>(hi)) return static_cast<int32_t>(n);
    } else if (v.is_number_integer()) {
      const auto n = v.get<int64_t>();
      if (n >= lo && n <= hi) return static_cast<int32_t>(n);
    } else if (v.is_number_float()) {
      const double d = v.get<double>();
      if (std::isfinite(d) && d == std::floor(d) && d >= lo && d <= hi) return static_cast<int32_t>(d);
    } else if (v.is_string()) {
      const std::string s = TString::Trim(v.get<std::string>());
      if (const auto n = TString::ToInt64(s); n && *n >= lo && *n <= hi) return static_cast<int32_t>(*n);
    }
    return std::nullopt;
  }

  static std::string Shown(const json& v) {
    std::string s = Utf8ToCp1252(v.dump());
    if (s.size() > 60) s = s.substr(0, 57) + "...";
    return s;
  }

  std::string file_;
};

std::string ReadBytes(const std::string& path, const Reader& r) {
  std::ifstream in(fsys::PathOf(path), std::ios::binary);
  if (!in) r.Fail("", std::string("cannot be read: ") + std::strerror(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) r.Fail("", "cannot be read");
  return bytes;
}

void ReadConnection(const json& obj, const Reader& r, TMyDBInfo& info) {
  info.server = r.Text(obj, "", "server", "");
  info.database = r.Text(obj, "", "database", "");
  info.user = r.Text(obj, "", "user", "sysdba");
  info.password = r.Text(obj, "", "password", "velkortan");
}

std::unique_ptr<TExame> ReadExame(const json& obj, const Reader& r, const std::string& where) {
  if (!obj.is_object()) r.Fail(where, "is not an object");
  auto exame = std::make_unique<TExame>();
  exame->codigo = r.Int(obj, where, "codigo", 0);
  exame->nome = r.Text(obj, where, "nome", "");
  const json& atributos = Reader::Get(obj, "atributos");
  if (!atributos.is_null()) {
    const std::string key = Reader::Key(where, "atributos");
    if (!atributos.is_array()) r.Fail(key, "is not an array");
    for (size_t i = 0; i < atributos.size(); ++i) {
      const auto text = Reader::AsText(atributos[i]);
      if (!text) r.Fail(Reader::Index(key, i), "is not a text");
      exame->AddAtributo(*text);
    }
  }
  return exame;
}

std::unique_ptr<TAnalisador> ReadAnalisador(const json& obj, const Reader& r, const std::string& where) {
  if (!obj.is_object()) r.Fail(where, "is not an object");
  auto analisador = std::make_unique<TAnalisador>();
  analisador->aplicacao = r.RequiredText(obj, where, "aplicacao");
  analisador->modelo = r.RequiredText(obj, where, "modelo");
  // A name that cannot be read leaves the analyzer without a LIS name rather than failing.
  analisador->nomeTevarin = Reader::AsText(Reader::Get(obj, "nomeTevarin")).value_or("");
  const std::string examesKey = Reader::Key(where, "exames");
  const json& exames = r.RequiredArray(obj, where, "exames");
  for (size_t i = 0; i < exames.size(); ++i)
    analisador->AddExame(ReadExame(exames[i], r, Reader::Index(examesKey, i)));
  analisador->usandoVTFS = r.Bool(obj, where, "usarCaracteresControle", false);
  analisador->alertaSilencioMinutos = r.Int(obj, where, "alertaSilencioMinutos", 0);
  if (analisador->alertaSilencioMinutos < 0)
    r.Fail(Reader::Key(where, "alertaSilencioMinutos"),
           "must not be negative: " + std::to_string(analisador->alertaSilencioMinutos));
  return analisador;
}

void ReadStatusKeys(const json& doc, const Reader& r, TConfigJson& c) {
  c.portaStatus = r.Int(doc, "", "portaStatus", 6080);
  if (c.portaStatus < 0 || c.portaStatus > 65535)
    r.Fail(Reader::Key("", "portaStatus"), "is not a port (0 to 65535): " + std::to_string(c.portaStatus));
  c.enderecoStatus = r.Text(doc, "", "enderecoStatus", "127.0.0.1");
  c.tokenStatus = r.Text(doc, "", "tokenStatus", "");
  // The page names analyzers, hosts and archive files: beyond this machine only with a token.
  if (c.portaStatus != 0 && !IsLoopbackAddress(c.enderecoStatus) && c.tokenStatus.empty())
    r.Fail(Reader::Key("", "tokenStatus"), "is required when \"enderecoStatus\" is not loopback (" +
                                               c.enderecoStatus + ")");
  c.alertaImportacaoMinutos = r.Int(doc, "", "alertaImportacaoMinutos", 30);
  if (c.alertaImportacaoMinutos < 0)
    r.Fail(Reader::Key("", "alertaImportacaoMinutos"),
           "must not be negative: " + std::to_string(c.alertaImportacaoMinutos));
}

}  // namespace

namespace {

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

void TConfigJson::Load(const std::string& pFileName) {
  const std::string dbFileName = FolderOf(pFileName) + "database.json";
  if (IsFile(dbFileName)) {
    const Reader r(dbFileName);
    const json doc = json::parse(DecodeConfigText(ReadBytes(dbFileName, r)), nullptr, false);
    if (doc.is_discarded()) {
      // An unreadable settings file is not fatal: the main file or the defaults apply.
      myDBInfo = TMyDBInfo{"", "", "sysdba", "velkortan"};
    } else {
      if (!doc.is_object()) r.Fail("", "is not a JSON object");
      ReadConnection(doc, r, myDBInfo);
    }
  }

  if (!IsFile(pFileName)) return;

  const Reader r(pFileName);
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
  if (!doc.is_object()) r.Fail("", "is not a JSON object");

  portaServico = r.Int(doc, "", "porta", 6000);
  pastaSaida = r.Text(doc, "", "pastaSaida", Utf8ToCp1252(FolderOf(pFileName)));
  debug = r.Bool(doc, "", "debug", false);
  verificarChecksum = r.Bool(doc, "", "verificarChecksum", true);
  controleSemCRLF = r.Bool(doc, "", "controleSemCRLF", false);
  pausaRespostaMs = r.Int(doc, "", "pausaRespostaMs", 5);
  timeoutRecepcaoSegundos = r.Int(doc, "", "timeoutRecepcaoSegundos", 30);
  timeoutRespostaSegundos = r.Int(doc, "", "timeoutRespostaSegundos", 15);
  intervaloReenvioSegundos = r.Int(doc, "", "intervaloReenvioSegundos", 30);
  // Zero or less would retry without a pause, over and over.
  if (intervaloReenvioSegundos < 1)
    r.Fail(Reader::Key("", "intervaloReenvioSegundos"),
           "must be at least 1: " + std::to_string(intervaloReenvioSegundos));
  threadsLis = r.Int(doc, "", "threadsLis", 2);
  if (threadsLis < 1 || threadsLis > 32)
    r.Fail(Reader::Key("", "threadsLis"), "must be from 1 to 32: " + std::to_string(threadsLis));
  // Without a deadline a hung LIS would hold a query's analyzer for ever.
  timeoutLisSegundos = r.Int(doc, "", "timeoutLisSegundos", 5);
  if (timeoutLisSegundos < 1)
    r.Fail(Reader::Key("", "timeoutLisSegundos"), "must be at least 1: " + std::to_string(timeoutLisSegundos));
  geracoesLog = r.Int(doc, "", "geracoesLog", 5);
  if (geracoesLog < 0) r.Fail(Reader::Key("", "geracoesLog"), "must not be negative: " + std::to_string(geracoesLog));

  ReadStatusKeys(doc, r, *this);
  const json& lista = r.RequiredArray(doc, "", "analisadores");
  for (size_t i = 0; i < lista.size(); ++i)
    analisadores.push_back(ReadAnalisador(lista[i], r, Reader::Index("\"analisadores\"", i)));

  usarCaracteresControle = r.Bool(doc, "", "usarCaracteresControle", false);

  if (myDBInfo.server.empty()) ReadConnection(doc, r, myDBInfo);

  loaded = true;
}

const TAnalisador* TConfigJson::GetAnalisador(const std::string& pModelo) const {
  for (const auto& a : analisadores)
    if (a->modelo == pModelo) return a.get();
  return nullptr;
}
