#pragma once
#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>

#include "config/ConfigKeys.hpp"
#include "config/TConfigJson.hpp"

// Reads the objects of one configuration file by the key tables. Every
// failure is a TConfigError whose text names the file, the key and the value.
class TConfigReader {
 public:
  using json = nlohmann::json;

  // fileName: the file read (its name alone goes into errors); configFolder:
  // what "pastaSaida" defaults to (Windows-1252); topLevel: the settings read
  // so far, for analyzer keys whose default is the top-level value.
  explicit TConfigReader(const std::string& fileName, std::string configFolder = {},
                         const TConfigJson* topLevel = nullptr);

  [[noreturn]] void Fail(const std::string& where, const std::string& what) const;
  // "\"analisadores\"[0].\"modelo\"": a key of the object at `parent` ("" for the top level).
  static std::string Key(const std::string& parent, const std::string& key);
  static std::string Index(const std::string& parent, size_t i);

  // Reads every key of `keys` from `obj` into `into`, in table order; `where`
  // names the object in errors ("" for the top level).
  template <class T>
  void ReadObject(const json& obj, const std::string& where, std::span<const TConfigKey<T>> keys, T& into) const;

  // Strings as they are (in Windows-1252), numbers and booleans as their text.
  static std::optional<std::string> AsText(const json& v);
  // A value as an error shows it: its JSON, cut after 60 characters.
  static std::string Shown(const json& v);

 private:
  template <class T>
  void ReadKey(const json& obj, const std::string& where, const TConfigKey<T>& k, T& into) const;
  template <class V, class T>
  V Default(const TConfigKey<T>& k) const;

  std::string file_;
  std::string configFolder_;
  const TConfigJson* topLevel_;
};

// A list key's array as the loader meets it, handed to the row's reader.
struct TListRead {
  const nlohmann::json& array;
  std::string where;  // the key as errors name it
  const TConfigReader& reader;
};

// The values a new configuration holds: each main-file key's default, or zero
// where the row says so.
void SetInitialValues(TConfigJson& c);
