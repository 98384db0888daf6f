#include "config/ConfigReader.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include "util/Encoding.hpp"
#include "util/FileSystem.hpp"
#include "util/TString.hpp"

namespace {

using json = nlohmann::json;

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;  // (clang 14 does not deduce it for aggregates)

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of(fsys::PATH_SEPARATORS);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The value of key, or null when absent.
const json& Get(const json& obj, const char* key) {
  static const json null;
  const auto it = obj.find(key);
  return it == obj.end() ? null : *it;
}

// Whole numbers, also when written as 6000.0 or "6000".
std::optional<int32_t> AsInteger(const json& v) {
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

// true and false, also written as text in any letter case.
std::optional<bool> AsBoolean(const json& v) {
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_string()) {
    const std::string s = TString::LowerCase(TString::Trim(v.get<std::string>()));
    if (s == "true") return true;
    if (s == "false") return false;
  }
  return std::nullopt;
}

// Why an integer is refused by its check, or "".
std::string RangeRefusal(const TKeyCheck& c, int32_t n) {
  if (n >= c.min && n <= c.max) return {};
  const std::string value = std::to_string(n);
  if (c.noun)
    return "is not " + std::string(c.noun) + " (" + std::to_string(c.min) + " to " + std::to_string(c.max) +
           "): " + value;
  if (c.max == std::numeric_limits<int32_t>::max())
    return c.min == 0 ? "must not be negative: " + value : "must be at least " + std::to_string(c.min) + ": " + value;
  return "must be from " + std::to_string(c.min) + " to " + std::to_string(c.max) + ": " + value;
}

// Why a text is refused by its check, or "".
std::string ValueRefusal(const TKeyCheck& c, const std::string& s) {
  if (c.values.empty()) return {};
  std::string allowed;
  for (const char* v : c.values) {
    if (s == v) return {};
    allowed += (allowed.empty() ? "\"" : ", \"") + std::string(v) + "\"";
  }
  return "must be one of " + allowed + ": \"" + s + "\"";
}

}  // namespace

TConfigReader::TConfigReader(const std::string& fileName, std::string configFolder, const TConfigJson* topLevel)
    : file_(BaseName(fileName)), configFolder_(std::move(configFolder)), topLevel_(topLevel) {}

void TConfigReader::Fail(const std::string& where, const std::string& what) const {
  throw TConfigError(file_ + ": " + (where.empty() ? what : where + " " + what));
}

std::string TConfigReader::Key(const std::string& parent, const std::string& key) {
  return (parent.empty() ? "" : parent + ".") + "\"" + key + "\"";
}

std::string TConfigReader::Index(const std::string& parent, size_t i) {
  return parent + "[" + std::to_string(i) + "]";
}

std::optional<std::string> TConfigReader::AsText(const json& v) {
  if (v.is_string()) return Utf8ToCp1252(v.get<std::string>());
  if (v.is_number() || v.is_boolean()) return v.dump();
  return std::nullopt;
}

std::string TConfigReader::Shown(const json& v) {
  std::string s = Utf8ToCp1252(v.dump());
  if (s.size() > 60) s = s.substr(0, 57) + "...";
  return s;
}

template <class V, class T>
V TConfigReader::Default(const TConfigKey<T>& k) const {
  if (const auto* top = std::get_if<TTopLevel>(&k.def)) {
    if (!topLevel_) throw std::logic_error(std::string("no top-level settings for \"") + top->key + "\"");
    for (const auto& row : MainFileKeys())
      if (std::strcmp(row.key, top->key) == 0) return topLevel_->*std::get<V TConfigJson::*>(row.field);
    throw std::logic_error(std::string("no top-level key \"") + top->key + "\"");
  }
  if constexpr (std::is_same_v<V, std::string>) {
    if (std::holds_alternative<TConfigFolder>(k.def)) return configFolder_;
    return std::get<const char*>(k.def);
  } else {
    return std::get<V>(k.def);
  }
}

template <class T>
void TConfigReader::ReadKey(const json& obj, const std::string& where, const TConfigKey<T>& k, T& into) const {
  const json& v = Get(obj, k.key);
  const std::string name = Key(where, k.key);
  if (v.is_null() && std::holds_alternative<TRequired>(k.def)) Fail(name, "is missing");
  // Absent or null takes the default; a value that is not of the key's type fails (or, where the row
  // says so, takes the default too); then the row's check.
  auto value = [&]<class V>(const std::optional<V>& read, const char* typeName) -> V {
    if (v.is_null()) return Default<V>(k);
    if (read) return *read;
    if (!k.unreadableIsDefault) Fail(name, std::string("is not ") + typeName + ": " + Shown(v));
    return Default<V>(k);
  };
  std::visit(Overloaded{
                 [&](int32_t T::*field) {
                   into.*field = value(AsInteger(v), "an integer");
                   if (const std::string why = RangeRefusal(k.check, into.*field); !why.empty()) Fail(name, why);
                 },
                 [&](bool T::*field) { into.*field = value(AsBoolean(v), "a boolean"); },
                 [&](std::string T::*field) {
                   into.*field = value(AsText(v), "a text");
                   if (const std::string why = ValueRefusal(k.check, into.*field); !why.empty()) Fail(name, why);
                 },
                 [&](const TListField<T>& list) {
                   if (v.is_null()) return;
                   if (!v.is_array()) Fail(name, "is not an array: " + Shown(v));
                   list.read(TListRead{v, name, *this}, into);
                 },
             },
             k.field);
  if (k.rule)
    if (const std::string why = k.rule(into); !why.empty()) Fail(name, why);
}

template <class T>
void TConfigReader::ReadObject(const json& obj, const std::string& where, std::span<const TConfigKey<T>> keys,
                               T& into) const {
  if (!obj.is_object()) Fail(where, where.empty() ? "is not a JSON object" : "is not an object");
  for (const auto& k : keys) ReadKey(obj, where, k, into);
}

template void TConfigReader::ReadObject(const json&, const std::string&, std::span<const TConfigKey<TConfigJson>>,
                                        TConfigJson&) const;
template void TConfigReader::ReadObject(const json&, const std::string&, std::span<const TConfigKey<TAnalisador>>,
                                        TAnalisador&) const;
template void TConfigReader::ReadObject(const json&, const std::string&, std::span<const TConfigKey<TExame>>,
                                        TExame&) const;
template void TConfigReader::ReadObject(const json&, const std::string&, std::span<const TConfigKey<TMyDBInfo>>,
                                        TMyDBInfo&) const;

void SetInitialValues(TConfigJson& c) {
  for (const auto& k : MainFileKeys()) {
    if (k.withoutFile != TWithoutFile::Default) continue;
    std::visit(Overloaded{
                   [&](int32_t TConfigJson::*field) { c.*field = std::get<int32_t>(k.def); },
                   [&](bool TConfigJson::*field) { c.*field = std::get<bool>(k.def); },
                   [&](std::string TConfigJson::*field) { c.*field = std::get<const char*>(k.def); },
                   [](const TListField<TConfigJson>&) {},
               },
               k.field);
  }
}
