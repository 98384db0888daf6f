// The key tables drive the load: every row is read through a real file the
// way the row says (default when absent or null, its type, its check), and a
// new configuration holds the values the rows give it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <type_traits>
#include <variant>

#include "config/ConfigKeys.hpp"
#include "config/ConfigReader.hpp"
#include "config/TConfigJson.hpp"
#include "support/TestSupport.hpp"

using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

struct Loaded {
  TConfigJson config;
  std::string error;
  std::string folder;  // ends with "/"
};

std::unique_ptr<Loaded> LoadMain(const std::string& main) {
  static TempDir dir;
  static int n = 0;
  auto out = std::make_unique<Loaded>();
  out->folder = dir / ("k" + std::to_string(++n)) + "/";
  std::filesystem::create_directories(out->folder);
  WriteFile(out->folder + "kv_redurozozi.json", main);
  try {
    out->config.Load(out->folder + "kv_redurozozi.json");
  } catch (const TConfigError& e) {
    out->error = e.what();
  }
  return out;
}

// Where one table's keys stand in kv_redurozozi.json and how their object is reached.
template <class T>
struct Place {
  std::string path;  // the object in error texts ("" for the top level)
  // The main file whose object holds `entry` (`"key": value, `, or "" to leave the key out).
  std::function<std::string(const std::string& key, const std::string& entry)> file;
  std::function<const T&(const TConfigJson&)> object;
};

// Keys that a value other than their default needs company for.
const std::map<std::string, std::string> ALONG_WITH = {
    {"enderecoStatus", R"("tokenStatus": "t", )"},  // any address beyond loopback needs a token
};

template <class T>
std::string Along(const TConfigKey<T>& k) {
  const auto it = ALONG_WITH.find(k.key);
  return it == ALONG_WITH.end() ? "" : it->second;
}

// The default a row promises, as the field holds it.
template <class V, class T>
V Promised(const TConfigKey<T>& k, const std::string& folder) {
  if (const auto* top = std::get_if<TTopLevel>(&k.def)) {
    for (const auto& row : MainFileKeys())
      if (std::string(row.key) == top->key) return Promised<V>(row, folder);
    ADD_FAILURE() << k.key << ": no top-level key " << top->key;
    return V{};
  }
  if constexpr (std::is_same_v<V, std::string>) {
    if (std::holds_alternative<TConfigFolder>(k.def)) return folder;
    return std::get<const char*>(k.def);
  } else {
    return std::get<V>(k.def);
  }
}

template <class T>
class RowCheck {
 public:
  RowCheck(const TConfigKey<T>& k, const Place<T>& place) : k_(k), place_(place) {}

  void operator()(int32_t T::*field) const {
    const auto read = [&](const Loaded& l) { return place_.object(l.config).*field; };
    Defaults<int32_t>(read);
    const int32_t def = Promised<int32_t>(k_, "");
    const TKeyCheck& c = k_.check;
    for (const int64_t v : {int64_t{def} + 1, int64_t{def} - 1, int64_t{c.min}, int64_t{c.max}}) {
      if (v == def || v < c.min || v > c.max) continue;
      Accepts(std::to_string(v), static_cast<int32_t>(v), read);
      Accepts("\"" + std::to_string(v) + "\"", static_cast<int32_t>(v), read);  // written as text
      break;
    }
    Refuses("[]", "is not an integer: []");
    Refuses("1.5", "is not an integer: 1.5");
    constexpr auto lo = std::numeric_limits<int32_t>::min();
    constexpr auto hi = std::numeric_limits<int32_t>::max();
    if (c.min != lo) {
      Accepts(std::to_string(c.min), c.min, read);
      RefusesBeyond(int64_t{c.min} - 1);
    }
    if (c.max != hi) {
      Accepts(std::to_string(c.max), c.max, read);
      RefusesBeyond(int64_t{c.max} + 1);
    }
  }

  void operator()(bool T::*field) const {
    const auto read = [&](const Loaded& l) { return place_.object(l.config).*field; };
    Defaults<bool>(read);
    const bool other = !Promised<bool>(k_, "");
    Accepts(other ? "true" : "false", other, read);
    Accepts(other ? "\" TRUE\"" : "\"False \"", other, read);  // written as text
    Refuses("1", "is not a boolean: 1");
  }

  void operator()(std::string T::*field) const {
    const auto read = [&](const Loaded& l) { return place_.object(l.config).*field; };
    Defaults<std::string>(read);
    if (k_.check.values.empty()) {
      Accepts("\"valor \xC3\xA7\"", "valor \xE7", read);  // held as Windows-1252
      Accepts("7", "7", read);                           // a number as its text
    } else {
      for (const char* v : k_.check.values) Accepts("\"" + std::string(v) + "\"", v, read);
      Refuses("\"outro\"", "must be one of ");
    }
    if (!k_.unreadableIsDefault) return Refuses("{}", "is not a text: {}");
    const auto l = Load("{}");
    ASSERT_EQ(l->error, "") << k_.key;
    EXPECT_EQ(read(*l), Promised<std::string>(k_, l->folder)) << k_.key << " unreadable";
  }

  void operator()(const TListField<T>&) const {
    if (std::holds_alternative<TRequired>(k_.def)) {
      Refuses("", "is missing");
      Refuses("null", "is missing");
    }
    Refuses("5", "is not an array: 5");
  }

 private:
  // Absent and null both give the promised default.
  template <class V, class Read>
  void Defaults(const Read& read) const {
    if (std::holds_alternative<TRequired>(k_.def)) {
      Refuses("", "is missing");
      Refuses("null", "is missing");
      return;
    }
    for (const std::string value : {"", "null"}) {
      const auto l = Load(value);
      ASSERT_EQ(l->error, "") << k_.key << " = " << value;
      EXPECT_EQ(read(*l), Promised<V>(k_, l->folder)) << k_.key << " = " << (value.empty() ? "absent" : value);
    }
  }

  template <class V, class Read>
  void Accepts(const std::string& value, const V& expected, const Read& read) const {
    const auto l = Load(value);
    ASSERT_EQ(l->error, "") << k_.key << " = " << value;
    EXPECT_EQ(read(*l), expected) << k_.key << " = " << value;
  }

  // The failure names the file, the key (where it stands) and what is wrong.
  void Refuses(const std::string& value, const std::string& why) const {
    const auto l = Load(value);
    const std::string key = (place_.path.empty() ? "" : place_.path + ".") + "\"" + k_.key + "\"";
    EXPECT_EQ(l->error.substr(0, l->error.find(why)), "kv_redurozozi.json: " + key + " ")
        << k_.key << " = " << value << ": " << l->error;
    EXPECT_NE(l->error.find(why), std::string::npos) << k_.key << " = " << value << ": " << l->error;
    EXPECT_FALSE(l->config.loaded) << k_.key << " = " << value;
  }

  void RefusesBeyond(int64_t v) const {
    const std::string text = std::to_string(v);
    const auto l = Load(text);
    EXPECT_NE(l->error.find("\"" + std::string(k_.key) + "\" "), std::string::npos) << text << ": " << l->error;
    const std::string tail = ": " + text;  // the value comes last
    EXPECT_TRUE(l->error.size() > tail.size() && l->error.ends_with(tail)) << l->error;
  }

  std::unique_ptr<Loaded> Load(const std::string& value) const {
    const std::string entry = value.empty() ? "" : "\"" + std::string(k_.key) + "\": " + value + ", ";
    return LoadMain(place_.file(k_.key, Along(k_) + entry));
  }

  const TConfigKey<T>& k_;
  const Place<T>& place_;
};

template <class T>
void CheckEveryRow(std::span<const TConfigKey<T>> keys, const Place<T>& place) {
  for (const auto& k : keys) std::visit(RowCheck<T>(k, place), k.field);
}

TEST(ConfigKeys, MainFileRowsReadAsTheySay) {
  CheckEveryRow<TConfigJson>(MainFileKeys(),
                             {"",
                              [](const std::string& key, const std::string& e) {
                                const std::string list = key == "analisadores" ? "" : R"("analisadores": [], )";
                                return "{" + e + list + R"("fim": 0})";
                              },
                              [](const TConfigJson& c) -> const TConfigJson& { return c; }});
}

TEST(ConfigKeys, AnalyzerRowsReadAsTheySay) {
  CheckEveryRow<TAnalisador>(AnalyzerKeys(),
                             {"\"analisadores\"[0]",
                              [](const std::string& key, const std::string& e) {
                                // The required keys, but for the one under test.
                                std::string filler;
                                for (const auto& [k, v] : {std::pair{"aplicacao", "\"A\""}, {"modelo", "\"M\""},
                                                           {"exames", "[]"}})
                                  if (key != k) filler += "\"" + std::string(k) + "\": " + v + ", ";
                                return R"({"analisadores": [{)" + e + filler + R"("fim": 0}]})";
                              },
                              [](const TConfigJson& c) -> const TAnalisador& {
                                static const TAnalisador none;
                                return c.analisadores.empty() ? none : *c.analisadores[0];
                              }});
}

TEST(ConfigKeys, ExamRowsReadAsTheySay) {
  CheckEveryRow<TExame>(ExamKeys(), {"\"analisadores\"[0].\"exames\"[0]",
                                     [](const std::string&, const std::string& e) {
                                       return R"({"analisadores": [{"aplicacao": "A", "modelo": "M", "exames": [{)" +
                                              e + R"("fim": 0}]}]})";
                                     },
                                     [](const TConfigJson& c) -> const TExame& {
                                       static const TExame none;
                                       return c.analisadores.empty() || c.analisadores[0]->exames.empty()
                                                  ? none
                                                  : *c.analisadores[0]->exames[0];
                                     }});
}

TEST(ConfigKeys, ConnectionRowsReadAsTheySay) {
  // From the main file (no database.json), where all four are read when no server came before.
  CheckEveryRow<TMyDBInfo>(DatabaseKeys(), {"",
                                            [](const std::string&, const std::string& e) {
                                              return "{" + e + R"("analisadores": []})";
                                            },
                                            [](const TConfigJson& c) -> const TMyDBInfo& { return c.myDBInfo; }});
}

// What a field of each row holds in a configuration no file was read into.
template <class T>
void ExpectInitial(std::span<const TConfigKey<T>> keys, const T& object, const char* what) {
  for (const auto& k : keys) {
    const bool zero = k.withoutFile == TWithoutFile::Zero;
    std::visit(
        [&](auto field) {
          if constexpr (!std::is_member_object_pointer_v<decltype(field)>) {
            EXPECT_TRUE(zero) << what << " " << k.key << ": a list holds nothing before a file is read";
          } else {
            using V = std::remove_cvref_t<decltype(object.*field)>;
            EXPECT_EQ(object.*field, zero ? V{} : Promised<V>(k, "")) << what << " " << k.key;
          }
        },
        k.field);
  }
}

TEST(ConfigKeys, InitialValuesComeFromTheRows) {
  const TConfigJson fresh;
  ExpectInitial(MainFileKeys(), fresh, "new");
  ExpectInitial(DatabaseKeys(), fresh.myDBInfo, "new");
  ExpectInitial(MainFileKeys(), TConfigJson::Initial(), "Initial()");
  EXPECT_FALSE(fresh.loaded);
  EXPECT_TRUE(fresh.analisadores.empty());
  // No file at all: the load ends early and every value stays as it was.
  TempDir dir;
  TConfigJson none;
  none.Load(dir / "kv_redurozozi.json");
  ExpectInitial(MainFileKeys(), none, "no file");
  ExpectInitial(DatabaseKeys(), none.myDBInfo, "no file");
}

// Rows a key cannot be read by are caught here rather than at a lab.
// withoutFile: the table's object exists before its file is read (the configuration and its connection
// settings do; analyzers and exams only come from a file).
template <class T>
void ExpectSoundRows(std::span<const TConfigKey<T>> keys, const char* table, bool withoutFile) {
  std::set<std::string> seen;
  for (const auto& k : keys) {
    const std::string where = std::string(table) + " " + k.key;
    EXPECT_TRUE(seen.insert(k.key).second) << where << ": twice";
    EXPECT_FALSE(k.unreadableIsDefault && std::holds_alternative<TRequired>(k.def)) << where;
    std::visit(
        [&](auto field) {
          using F = decltype(field);
          const bool valueDefault = std::holds_alternative<int32_t>(k.def) || std::holds_alternative<bool>(k.def) ||
                                    std::holds_alternative<const char*>(k.def);
          if (withoutFile && k.withoutFile == TWithoutFile::Default) {
            EXPECT_TRUE(valueDefault) << where << ": no value without a file";
          }
          if constexpr (std::is_same_v<F, int32_t T::*>) {
            if (const auto* d = std::get_if<int32_t>(&k.def)) {
              EXPECT_TRUE(*d >= k.check.min && *d <= k.check.max) << where << ": default out of range";
            } else {
              EXPECT_TRUE(std::holds_alternative<TTopLevel>(k.def) || std::holds_alternative<TRequired>(k.def))
                  << where << ": an integer key with a default of another type";
            }
          } else if constexpr (std::is_same_v<F, bool T::*>) {
            EXPECT_TRUE(std::holds_alternative<bool>(k.def) || std::holds_alternative<TTopLevel>(k.def)) << where;
          } else if constexpr (std::is_same_v<F, std::string T::*>) {
            EXPECT_FALSE(std::holds_alternative<int32_t>(k.def) || std::holds_alternative<bool>(k.def) ||
                         std::holds_alternative<TNoElements>(k.def))
                << where;
            if (const auto* d = std::get_if<const char*>(&k.def)) {
              for (const char* p = *d; *p; ++p) EXPECT_LT(static_cast<unsigned char>(*p), 0x80) << where << ": ASCII";
              if (!k.check.values.empty()) {
                bool listed = false;
                for (const char* v : k.check.values) listed = listed || std::string(v) == *d;
                EXPECT_TRUE(listed) << where << ": default not among the values";
              }
            }
          } else {
            EXPECT_TRUE(std::holds_alternative<TRequired>(k.def) || std::holds_alternative<TNoElements>(k.def))
                << where;
          }
        },
        k.field);
  }
}

TEST(ConfigKeys, RowsAreSound) {
  ExpectSoundRows(MainFileKeys(), "kv_redurozozi.json", true);
  ExpectSoundRows(AnalyzerKeys(), "analyzer", false);
  ExpectSoundRows(ExamKeys(), "exam", false);
  ExpectSoundRows(DatabaseKeys(), "database.json", true);
}

TEST(ConfigKeys, RefusalTexts) {
  struct Row {
    std::string keys;   // put before "analisadores"
    std::string error;  // the whole text after "kv_redurozozi.json: "
  };
  const std::vector<Row> rows = {
      {R"("intervaloReenvioSegundos": 0)", R"("intervaloReenvioSegundos" must be at least 1: 0)"},
      {R"("threadsLis": 0)", R"("threadsLis" must be from 1 to 32: 0)"},
      {R"("threadsLis": 33)", R"("threadsLis" must be from 1 to 32: 33)"},
      {R"("timeoutLisSegundos": -2)", R"("timeoutLisSegundos" must be at least 1: -2)"},
      {R"("geracoesLog": -1)", R"("geracoesLog" must not be negative: -1)"},
      {R"("portaStatus": 65536)", R"("portaStatus" is not a port (0 to 65535): 65536)"},
      {R"("alertaImportacaoMinutos": -1)", R"("alertaImportacaoMinutos" must not be negative: -1)"},
      {R"("enderecoStatus": "10.0.0.1")",
       R"("tokenStatus" is required when "enderecoStatus" is not loopback (10.0.0.1))"},
      {R"("porta": {"n": 1})", R"("porta" is not an integer: {"n":1})"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto l = LoadMain("{" + rows[i].keys + R"(, "analisadores": []})");
    EXPECT_EQ(l->error, "kv_redurozozi.json: " + rows[i].error) << "row " << i;
  }
}

// Rows of the kinds later keys need (a text from a list, an integer from a
// small range, an analyzer's key that defaults to the top-level value), read
// by the same reader; the fields are stand-ins borrowed from the analyzer.
TEST(ConfigReader, RowsOfTheKindsStillToCome) {
  static constexpr const char* PARIDADES[] = {"nenhuma", "par", "impar"};
  static constexpr TConfigKey<TAnalisador> KEYS[] = {
      {.key = "paridade", .field = &TAnalisador::nomeTevarin, .def = "nenhuma", .check = {.values = PARIDADES}},
      {.key = "bitsDados", .field = &TAnalisador::alertaSilencioMinutos, .def = 8, .check = {.min = 7, .max = 8}},
      {.key = "controleSemCRLF", .field = &TAnalisador::usandoSTXETX, .def = TTopLevel{"controleSemCRLF"}},
  };
  struct Row {
    bool topLevel;
    std::string object;
    std::string paridade;
    int32_t bits;
    bool semCrLf;
    std::string error;
  };
  const std::string at = R"(kv_redurozozi.json: "analisadores"[0].)";
  const std::vector<Row> rows = {
      {true, "{}", "nenhuma", 8, true, ""},
      {false, "{}", "nenhuma", 8, false, ""},
      {true, R"({"paridade": "impar", "bitsDados": "7", "controleSemCRLF": false})", "impar", 7, false, ""},
      {false, R"({"paridade": null, "controleSemCRLF": true})", "nenhuma", 8, true, ""},
      {true, R"({"paridade": "PAR"})", "", 0, false,
       at + R"("paridade" must be one of "nenhuma", "par", "impar": "PAR")"},
      {true, R"({"bitsDados": 9})", "", 0, false, at + R"("bitsDados" must be from 7 to 8: 9)"},
      {true, R"({"controleSemCRLF": "sim"})", "", 0, false, at + R"("controleSemCRLF" is not a boolean: "sim")"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TConfigJson top;
    top.controleSemCRLF = rows[i].topLevel;
    const TConfigReader reader("/etc/kv/kv_redurozozi.json", "", &top);
    TAnalisador a;
    std::string error;
    try {
      reader.ReadObject(nlohmann::json::parse(rows[i].object), "\"analisadores\"[0]",
                        std::span<const TConfigKey<TAnalisador>>(KEYS), a);
    } catch (const TConfigError& e) {
      error = e.what();
    }
    EXPECT_EQ(error, rows[i].error) << "row " << i;
    if (!rows[i].error.empty()) continue;
    EXPECT_EQ(a.nomeTevarin, rows[i].paridade) << "row " << i;
    EXPECT_EQ(a.alertaSilencioMinutos, rows[i].bits) << "row " << i;
    EXPECT_EQ(a.usandoSTXETX, rows[i].semCrLf) << "row " << i;
  }
}

}  // namespace
