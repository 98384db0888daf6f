#pragma once
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <variant>

#include "config/TAnalisador.hpp"
#include "db/TMyDBInfo.hpp"

class TConfigJson;
struct TListRead;

// The keys of the configuration files, one row per key: the name as written
// in the file, the field it fills, its default and its check. The loader reads
// by these rows, a new TConfigJson takes its initial values from them, and the
// README's key tables are tested against them. Adding a key is one row here
// (and its field) plus its line in the README.

// No default: the load fails when the key is absent or null.
struct TRequired {};
// The folder of the main configuration file (the executable's), with the separator at the end.
struct TConfigFolder {};
// A list that may be left out: no elements then.
struct TNoElements {};
// The value of the top-level key of that name: an analyzer's own setting of it.
struct TTopLevel {
  const char* key;
};
// What a key takes when it is absent or null. Texts are ASCII (fields hold Windows-1252).
using TKeyDefault = std::variant<int32_t, bool, const char*, TRequired, TConfigFolder, TNoElements, TTopLevel>;

// What a value read must satisfy: integers a range, texts a list of values.
struct TKeyCheck {
  int32_t min = std::numeric_limits<int32_t>::min();
  int32_t max = std::numeric_limits<int32_t>::max();
  // Refused as "is not <noun> (min to max)" rather than "must be from min to max".
  const char* noun = nullptr;
  // The texts allowed, exactly as written; empty allows any.
  std::span<const char* const> values = {};
};

inline constexpr TKeyCheck NOT_NEGATIVE{.min = 0};
inline constexpr TKeyCheck AT_LEAST_1{.min = 1};
inline constexpr TKeyCheck PORT{.min = 0, .max = 65535, .noun = "a port"};

// A key whose value is a JSON array: what its elements are (for the README's
// "array of ...") and how they are read into the object.
template <class T>
struct TListField {
  const char* of;
  void (*read)(const TListRead& list, T& into);
};

template <class T>
using TKeyField = std::variant<int32_t T::*, bool T::*, std::string T::*, TListField<T>>;

// What a main-file key holds while no main file has been read.
enum class TWithoutFile {
  Default,  // its default
  Zero,     // 0, false or empty: the design's own keys, and the status page stays off
};

template <class T>
struct TConfigKey {
  const char* key;
  TKeyField<T> field;
  TKeyDefault def;
  TKeyCheck check = {};
  TWithoutFile withoutFile = TWithoutFile::Default;
  // A value that cannot be read as the key's type gives the default instead of failing the load.
  bool unreadableIsDefault = false;
  // A rule over this key and those read before it: why the object is refused, or "".
  std::string (*rule)(const T& read) = nullptr;
};

// kv_redurozozi.json's top level, in reading order.
std::span<const TConfigKey<TConfigJson>> MainFileKeys();
// An element of "analisadores".
std::span<const TConfigKey<TAnalisador>> AnalyzerKeys();
// An element of an analyzer's "exames".
std::span<const TConfigKey<TExame>> ExamKeys();
// database.json, and the main file's connection keys when it gives no server.
std::span<const TConfigKey<TMyDBInfo>> DatabaseKeys();
