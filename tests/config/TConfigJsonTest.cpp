#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "config/TConfigJson.hpp"
#include "support/TestSupport.hpp"
#include "util/Encoding.hpp"

using kvtest::Repr;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

// Writes the files (when given) into a fresh folder and loads; the error text
// is returned instead of thrown.
struct Loaded {
  TConfigJson config;
  std::string error;
  std::string folder;  // ends with "/"
};

std::unique_ptr<Loaded> LoadFiles(const std::optional<std::string>& database,
                                  const std::optional<std::string>& main) {
  static int n = 0;
  auto out = std::make_unique<Loaded>();
  static TempDir dir;  // one folder per call below it
  out->folder = dir / ("c" + std::to_string(++n)) + "/";
  std::filesystem::create_directories(out->folder);
  if (database) WriteFile(out->folder + "database.json", *database);
  if (main) WriteFile(out->folder + "kv_redurozozi.json", *main);
  try {
    out->config.Load(out->folder + "kv_redurozozi.json");
  } catch (const TConfigError& e) {
    out->error = e.what();
  }
  return out;
}

TEST(TConfigJsonLoad, DefaultsAndPrecedence) {
  struct Row {
    std::string name;
    std::optional<std::string> database, main;
    bool loaded;
    int porta;
    std::string pasta;  // "<dir>" stands for the configuration's folder
    bool debug, usar;
    TMyDBInfo db;
  };
  const std::string noAnalyzers = R"({"analisadores": []})";
  const std::vector<Row> rows = {
      {"no files at all", {}, {}, false, 0, "", false, false, {"", "", "", ""}},
      {"only database.json, empty server kept", R"({"server": "", "database": "d"})", {}, false, 0, "", false,
       false, {"", "d", "sysdba", "velkortan"}},
      {"only database.json, not JSON", "{oops", {}, false, 0, "", false, false, {"", "", "sysdba", "velkortan"}},
      {"main file with only analisadores", {}, noAnalyzers, true, 6000, "<dir>", false, false,
       {"", "", "sysdba", "velkortan"}},
      {"nulls take the defaults", {},
       R"({"porta": null, "pastaSaida": null, "debug": null, "usarCaracteresControle": null,
           "server": null, "analisadores": []})",
       true, 6000, "<dir>", false, false, {"", "", "sysdba", "velkortan"}},
      {"every top-level key", {},
       R"({"porta": 7001, "pastaSaida": "/srv/saida", "debug": true, "usarCaracteresControle": true,
           "server": "lis", "database": "/db/lis.fdb", "user": "u", "password": "p", "analisadores": []})",
       true, 7001, "/srv/saida", true, true, {"lis", "/db/lis.fdb", "u", "p"}},
      {"pastaSaida taken exactly as written", {}, R"({"pastaSaida": "rel\\x", "analisadores": []})", true, 6000,
       "rel\\x", false, false, {"", "", "sysdba", "velkortan"}},
      {"database.json with empty server: all four from the main file", R"({"server": "", "user": "dbuser"})",
       R"({"server": "srv", "user": "mainuser", "analisadores": []})", true, 6000, "<dir>", false, false,
       {"srv", "", "mainuser", "velkortan"}},
      {"database.json with empty server: main file defaults", R"({"server": "", "user": "dbuser"})",
       noAnalyzers, true, 6000, "<dir>", false, false, {"", "", "sysdba", "velkortan"}},
      {"database.json with a server wins", R"({"server": "dbhost", "database": "/db/a.fdb"})",
       R"({"server": "x", "password": "p", "user": "m", "analisadores": []})", true, 6000, "<dir>", false, false,
       {"dbhost", "/db/a.fdb", "sysdba", "velkortan"}},
      {"database.json not JSON: main file", "not json", R"({"server": "m", "analisadores": []})", true, 6000,
       "<dir>", false, false, {"m", "", "sysdba", "velkortan"}},
      {"numbers and booleans written as text", {},
       R"({"porta": "6001", "debug": "true", "usarCaracteresControle": "False", "analisadores": []})", true, 6001,
       "<dir>", true, false, {"", "", "sysdba", "velkortan"}},
      {"whole number written with a fraction", {}, R"({"porta": 6002.0, "analisadores": []})", true, 6002,
       "<dir>", false, false, {"", "", "sysdba", "velkortan"}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    const auto got = LoadFiles(r.database, r.main);
    const auto& c = got->config;
    const std::string where = "row " + std::to_string(i) + " (" + r.name + ")";
    EXPECT_EQ(got->error, "") << where;
    EXPECT_EQ(c.loaded, r.loaded) << where;
    EXPECT_EQ(c.IsOK(), r.loaded) << where;
    EXPECT_EQ(c.portaServico, r.porta) << where;
    EXPECT_EQ(c.pastaSaida, r.pasta == "<dir>" ? got->folder : r.pasta) << where;
    EXPECT_EQ(c.debug, r.debug) << where;
    EXPECT_EQ(c.usarCaracteresControle, r.usar) << where;
    EXPECT_EQ(c.myDBInfo.server, r.db.server) << where;
    EXPECT_EQ(c.myDBInfo.database, r.db.database) << where;
    EXPECT_EQ(c.myDBInfo.user, r.db.user) << where;
    EXPECT_EQ(c.myDBInfo.password, r.db.password) << where;
    EXPECT_TRUE(c.analisadores.empty()) << where;
  }
}

TEST(TConfigJsonLoad, LinkAndReplyKeys) {
  struct Row {
    std::string main;
    bool verificar, semCrLf;
    int32_t pausa, recepcao, resposta;
  } rows[] = {
      {R"({"analisadores": []})", true, false, 5, 30, 15},
      {R"({"analisadores": [], "verificarChecksum": null, "pausaRespostaMs": null})", true, false, 5, 30, 15},
      {R"({"analisadores": [], "verificarChecksum": false, "controleSemCRLF": true, "pausaRespostaMs": 0,
           "timeoutRecepcaoSegundos": 1, "timeoutRespostaSegundos": 2})",
       false, true, 0, 1, 2},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto got = LoadFiles(std::nullopt, rows[i].main);
    ASSERT_EQ(got->error, "") << "row " << i;
    EXPECT_EQ(got->config.verificarChecksum, rows[i].verificar) << "row " << i;
    EXPECT_EQ(got->config.controleSemCRLF, rows[i].semCrLf) << "row " << i;
    EXPECT_EQ(got->config.pausaRespostaMs, rows[i].pausa) << "row " << i;
    EXPECT_EQ(got->config.timeoutRecepcaoSegundos, rows[i].recepcao) << "row " << i;
    EXPECT_EQ(got->config.timeoutRespostaSegundos, rows[i].resposta) << "row " << i;
  }
  const auto bad = LoadFiles(std::nullopt, R"({"analisadores": [], "controleSemCRLF": "sim"})");
  EXPECT_NE(bad->error.find("\"controleSemCRLF\" is not a boolean"), std::string::npos) << bad->error;
}

TEST(TConfigJsonLoad, AnalyzersAndExams) {
  const auto got = LoadFiles({}, R"({
    "analisadores": [
      {"aplicacao": "LIS2", "modelo": "CL-1000i", "nomeTevarin": "IMUNO", "usarCaracteresControle": true,
       "exames": [
         {"codigo": 5, "nome": "TSH", "atributos": ["TSH", 101, true]},
         {"nome": "sem codigo"},
         {"codigo": 12, "atributos": []}
       ]},
      {"aplicacao": "X", "modelo": "CL-1000i", "exames": []},
      {"aplicacao": "Y", "modelo": "BC", "nomeTevarin": {"not": "text"}, "exames": [], "usarCaracteresControle": null},
      {"aplicacao": 3, "modelo": "N", "nomeTevarin": 42, "exames": []}
    ]})");
  ASSERT_EQ(got->error, "");
  const auto& list = got->config.analisadores;
  ASSERT_EQ(list.size(), 4u);
  const TAnalisador& a = *list[0];
  EXPECT_EQ(a.aplicacao, "LIS2");
  EXPECT_EQ(a.modelo, "CL-1000i");
  EXPECT_EQ(a.nomeTevarin, "IMUNO");
  EXPECT_TRUE(a.usandoVTFS);
  EXPECT_FALSE(a.usandoSTXETX);
  EXPECT_EQ(a.protocolo.id, PROTOCOLO_NAO_INDENTIFICADO);
  ASSERT_EQ(a.exames.size(), 3u);
  EXPECT_EQ(a.exames.GetCodigos(), "5, 0, 12");
  EXPECT_EQ(a.exames[0]->nome, "TSH");
  EXPECT_EQ(a.exames[0]->atributos, (std::vector<std::string>{"TSH", "101", "true"}));
  EXPECT_EQ(a.exames[1]->nome, "sem codigo");
  EXPECT_TRUE(a.exames[1]->atributos.empty());
  EXPECT_EQ(a.exames[2]->nome, "");
  // Same modelo twice: both kept in file order; look-ups take the first.
  EXPECT_EQ(list[1]->aplicacao, "X");
  EXPECT_EQ(got->config.GetAnalisador("CL-1000i"), list[0].get());
  EXPECT_EQ(list[1]->nomeTevarin, "");
  EXPECT_FALSE(list[1]->usandoVTFS);
  EXPECT_EQ(list[2]->nomeTevarin, "");  // unreadable as text: empty, no failure
  EXPECT_EQ(list[3]->aplicacao, "3");
  EXPECT_EQ(list[3]->nomeTevarin, "42");
}

TEST(TConfigJsonLoad, FailuresNameTheFileAndTheKey) {
  struct Row {
    std::optional<std::string> database;
    std::string main;
    std::string error;  // a trailing "*" matches any rest
  };
  const std::string m = "kv_redurozozi.json: ";
  auto an = [](const std::string& analyzer) { return R"({"analisadores": [)" + analyzer + "]}"; };
  const std::vector<Row> rows = {
      {{}, R"({"porta": 6001})", m + R"("analisadores" is missing)"},
      {{}, R"({"analisadores": null})", m + R"("analisadores" is missing)"},
      {{}, R"({"analisadores": {}})", m + R"("analisadores" is not an array: {})"},
      {{}, an("1"), m + R"("analisadores"[0] is not an object)"},
      {{}, an(R"({"modelo": "M", "exames": []})"), m + R"("analisadores"[0]."aplicacao" is missing)"},
      {{}, an(R"({"aplicacao": "A", "exames": []})"), m + R"("analisadores"[0]."modelo" is missing)"},
      {{}, an(R"({"aplicacao": "A", "modelo": "M", "exames": []}, {"aplicacao": "A", "modelo": "M"})"),
       m + R"("analisadores"[1]."exames" is missing)"},
      {{}, an(R"({"aplicacao": "A", "modelo": "M", "exames": "x"})"),
       m + R"("analisadores"[0]."exames" is not an array: "x")"},
      {{}, an(R"({"aplicacao": "A", "modelo": "M", "exames": [{}, 7]})"),
       m + R"("analisadores"[0]."exames"[1] is not an object)"},
      {{}, an(R"({"aplicacao": "A", "modelo": "M", "exames": [{"codigo": "x"}]})"),
       m + R"("analisadores"[0]."exames"[0]."codigo" is not an integer: "x")"},
      {{}, an(R"({"aplicacao": "A", "modelo": "M", "exames": [{"codigo": 1.5}]})"),
       m + R"("analisadores"[0]."exames"[0]."codigo" is not an integer: 1.5)"},
      // One link of its own per analyzer: the line names the analyzer and both keys.
      {{}, an(R"({"aplicacao": "A", "modelo": "XN-550", "exames": [], "portaSerial": "/dev/ttyUSB0",
               "conectarEm": "10.0.0.5:4001"})"),
       m + R"("analisadores"[0]."conectarEm" and "portaSerial" are both given for the analyzer "XN-550": )"
           R"(one link per analyzer)"},
      {{}, an(R"({"aplicacao": "A", "modelo": "M", "exames": [{"nome": []}]})"),
       m + R"("analisadores"[0]."exames"[0]."nome" is not a text: [])"},
      {{}, an(R"({"aplicacao": "A", "modelo": "M", "exames": [{"atributos": "TSH"}]})"),
       m + R"("analisadores"[0]."exames"[0]."atributos" is not an array: "TSH")"},
      {{}, an(R"({"aplicacao": "A", "modelo": "M", "exames": [{"atributos": ["a", {}]}]})"),
       m + R"("analisadores"[0]."exames"[0]."atributos"[1] is not a text)"},
      {{}, an(R"({"aplicacao": "A", "modelo": "M", "exames": [], "usarCaracteresControle": 1})"),
       m + R"("analisadores"[0]."usarCaracteresControle" is not a boolean: 1)"},
      {{}, an(R"({"aplicacao": ["A"], "modelo": "M", "exames": []})"),
       m + R"("analisadores"[0]."aplicacao" is not a text: ["A"])"},
      {{}, R"({"porta": "abc", "analisadores": []})", m + R"("porta" is not an integer: "abc")"},
      {{}, R"({"porta": 99999999999, "analisadores": []})", m + R"("porta" is not an integer: 99999999999)"},
      {{}, R"({"debug": "yes", "analisadores": []})", m + R"("debug" is not a boolean: "yes")"},
      {{}, R"({"pastaSaida": {}, "analisadores": []})", m + R"("pastaSaida" is not a text: {})"},
      {{}, R"({"usarCaracteresControle": [], "analisadores": []})",
       m + R"("usarCaracteresControle" is not a boolean: [])"},
      {{}, R"({"server": {}, "analisadores": []})", m + R"("server" is not a text: {})"},
      {{}, R"([])", m + "is not a JSON object"},
      {{}, R"("text")", m + "is not a JSON object"},
      {{}, R"({"analisadores": [] )" "\n" R"(, })", m + "is not valid JSON: parse error at line 2*"},
      {{}, "", m + "is not valid JSON: *"},
      // Found by the fuzz target: a number beyond any type was not reported as the file's fault.
      {{}, R"({"analisadores": [], "porta": 5555559205E12707566704})",
       m + "is not valid JSON: number overflow parsing '5555559205E12707566704'"},
      {R"([1, 2])", R"({"analisadores": []})", "database.json: is not a JSON object"},
      {R"({"server": "s", "user": []})", R"({"analisadores": []})", R"(database.json: "user" is not a text: [])"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto got = LoadFiles(rows[i].database, rows[i].main);
    const std::string& want = rows[i].error;
    if (!want.empty() && want.back() == '*')
      EXPECT_EQ(got->error.substr(0, want.size() - 1), want.substr(0, want.size() - 1)) << "row " << i;
    else
      EXPECT_EQ(got->error, want) << "row " << i;
    EXPECT_FALSE(got->config.loaded) << "row " << i;
  }
}

TEST(TConfigJsonLoad, GeracoesLog) {
  struct Row {
    std::string main;
    int32_t geracoes;
    std::string error;
  };
  const std::string m = "kv_redurozozi.json: ";
  const std::vector<Row> rows = {
      {R"({"analisadores": []})", 5, ""},
      {R"({"geracoesLog": null, "analisadores": []})", 5, ""},
      {R"({"geracoesLog": 0, "analisadores": []})", 0, ""},
      {R"({"geracoesLog": 12, "analisadores": []})", 12, ""},
      {R"({"geracoesLog": "3", "analisadores": []})", 3, ""},
      {R"({"geracoesLog": -1, "analisadores": []})", 5, m + R"("geracoesLog" must not be negative: -1)"},
      {R"({"geracoesLog": "x", "analisadores": []})", 5, m + R"("geracoesLog" is not an integer: "x")"},
      {R"({"geracoesLog": 2.5, "analisadores": []})", 5, m + R"("geracoesLog" is not an integer: 2.5)"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto got = LoadFiles({}, rows[i].main);
    EXPECT_EQ(got->error, rows[i].error) << "row " << i;
    EXPECT_EQ(got->config.loaded, rows[i].error.empty()) << "row " << i;
    if (rows[i].error.empty()) {
      EXPECT_EQ(got->config.geracoesLog, rows[i].geracoes) << "row " << i;
    }
  }
}

TEST(TConfigJsonLoad, WhatWasReadBeforeAFailureStays) {
  const auto got = LoadFiles(R"({"server": "db"})", R"({"porta": 7001, "debug": true,
      "analisadores": [{"aplicacao": "A", "modelo": "M", "exames": []}, {"modelo": "N"}]})");
  EXPECT_EQ(got->error, R"(kv_redurozozi.json: "analisadores"[1]."aplicacao" is missing)");
  EXPECT_FALSE(got->config.loaded);
  EXPECT_EQ(got->config.portaServico, 7001);
  EXPECT_TRUE(got->config.debug);
  EXPECT_EQ(got->config.analisadores.size(), 1u);
  EXPECT_EQ(got->config.myDBInfo.server, "db");
}

TEST(TConfigJsonEncoding, MarksAndNonAsciiText) {
  // UTF-8 text of the file; every row stores it differently.
  const std::string utf8 =
      "{\"pastaSaida\": \"/srv/laborat\xC3\xB3rio/\", \"analisadores\": [{\"aplicacao\": \"A\", "
      "\"modelo\": \"M\", \"nomeTevarin\": \"BIOQU\xC3\x8DMICA \\u00e7 \xE2\x82\xAC \xE4\xB8\xAD\", "
      "\"exames\": [{\"nome\": \"Gli\xC3\xA7ose\", \"atributos\": [\"\xC3\x87" "A\"]}]}]}";
  const std::string cp1252 = Utf8ToCp1252(utf8);
  struct Row {
    std::string name, bytes;
    std::string nome;  // expected nomeTevarin
  };
  const std::string full = "BIOQU\xCDMICA \xE7 \x80 ?";
  const std::vector<Row> rows = {
      {"UTF-8 without mark", utf8, full},
      {"UTF-8 with mark", "\xEF\xBB\xBF" + utf8, full},
      {"UTF-16 LE with mark", "\xFF\xFE" + Utf8ToUtf16(utf8, false), full},
      {"UTF-16 BE with mark", "\xFE\xFF" + Utf8ToUtf16(utf8, true), full},
      // A file saved in the 8-bit code page reads as that code page (the CJK
      // character had already become "?" when it was saved).
      {"Windows-1252 file", cp1252, full},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto got = LoadFiles({}, rows[i].bytes);
    const std::string where = "row " + std::to_string(i) + " (" + rows[i].name + ")";
    ASSERT_EQ(got->error, "") << where;
    ASSERT_EQ(got->config.analisadores.size(), 1u) << where;
    const auto& a = *got->config.analisadores[0];
    EXPECT_EQ(Repr(a.nomeTevarin), Repr(rows[i].nome)) << where;
    EXPECT_EQ(Repr(got->config.pastaSaida), Repr("/srv/laborat\xF3rio/")) << where;
    EXPECT_EQ(Repr(a.exames[0]->nome), Repr("Gli\xE7ose")) << where;
    EXPECT_EQ(Repr(a.exames[0]->atributos.at(0)), Repr("\xC7" "A")) << where;
  }
  // database.json with a UTF-16 mark.
  const auto got = LoadFiles("\xFF\xFE" + Utf8ToUtf16(R"({"server": "h", "password": "s\u00e9nha"})", false),
                             R"({"analisadores": []})");
  EXPECT_EQ(got->error, "");
  EXPECT_EQ(got->config.myDBInfo.server, "h");
  EXPECT_EQ(Repr(got->config.myDBInfo.password), Repr("s\xE9nha"));
}

}  // namespace

namespace {

TEST(TConfigJsonLoad, IntervaloReenvioSegundos) {
  struct Row {
    std::string value;  // "" leaves the key out
    int32_t expected;   // 0: refused
  };
  const std::vector<Row> rows = {{"", 30}, {"null", 30}, {"1", 1}, {"45", 45}, {"\"7\"", 7},
                                 {"0", 0}, {"-3", 0},  {"1.5", 0}, {"\"x\"", 0}};
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string key = rows[i].value.empty() ? "" : R"("intervaloReenvioSegundos": )" + rows[i].value + ", ";
    const auto l = LoadFiles(std::nullopt, "{" + key + R"("analisadores": []})");
    if (rows[i].expected == 0) {
      EXPECT_NE(l->error.find("\"intervaloReenvioSegundos\""), std::string::npos) << "row " << i << ": " << l->error;
    } else {
      EXPECT_EQ(l->error, "") << "row " << i;
      EXPECT_EQ(l->config.intervaloReenvioSegundos, rows[i].expected) << "row " << i;
    }
  }
}

}  // namespace

TEST(TConfigJsonLoad, LisWorkerKeys) {
  struct Row {
    std::string keys;
    int32_t threads, timeout;  // -1: refused
    const char* refusedKey;
  } rows[] = {
      {"", 2, 5, nullptr},
      {R"("threadsLis": null, "timeoutLisSegundos": null, )", 2, 5, nullptr},
      {R"("threadsLis": 1, "timeoutLisSegundos": 1, )", 1, 1, nullptr},
      {R"("threadsLis": "4", "timeoutLisSegundos": 30, )", 4, 30, nullptr},
      {R"("threadsLis": 0, )", -1, -1, "threadsLis"},
      {R"("threadsLis": 33, )", -1, -1, "threadsLis"},
      {R"("timeoutLisSegundos": 0, )", -1, -1, "timeoutLisSegundos"},
      {R"("timeoutLisSegundos": -5, )", -1, -1, "timeoutLisSegundos"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto got = LoadFiles(std::nullopt, "{" + rows[i].keys + R"("analisadores": []})");
    if (rows[i].refusedKey) {
      EXPECT_NE(got->error.find("\"" + std::string(rows[i].refusedKey) + "\""), std::string::npos)
          << "row " << i << ": " << got->error;
      continue;
    }
    ASSERT_EQ(got->error, "") << "row " << i;
    EXPECT_EQ(got->config.threadsLis, rows[i].threads) << "row " << i;
    EXPECT_EQ(got->config.timeoutLisSegundos, rows[i].timeout) << "row " << i;
  }
}
