#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "service/TGlobal.hpp"
#include "db/TMyDB.hpp"
#include "support/TestSupport.hpp"

using kvtest::ReadFile;
using kvtest::Repr;
using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

bool IsDir(const std::string& p) {
  struct stat st{};
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Resets `global` at the end of every test, also when an assertion fails.
struct GlobalGuard {
  ~GlobalGuard() { global.reset(); }
};

TEST(TGlobalPaths, FromTheExecutablePath) {
  TempDir dir;
  struct Row {
    std::string folder;  // under dir
    std::string exe;
    std::string config;  // under dir
    std::string configNew;
  };
  const std::vector<Row> rows = {
      {"Svc", "kv_redurozozi", "Svc/kv_redurozozi.json", "Svc/kv_redurozozi.new"},
      {"Svc2", "KV_Redurozozi.exe", "Svc2/kv_redurozozi.json", "Svc2/kv_redurozozi.new"},
      // the folder keeps its case and its ".exe"
      {"My.EXE.Dir", "KV_Redurozozi", "My.EXE.Dir/kv_redurozozi.json", "My.EXE.Dir/kv_redurozozi.new"},
      {"a.exe", "Tool.EXE", "a.exe/tool.json", "a.exe/tool.new"},
      {"x", "name.exe.bak", "x/name.exe.bak.json", "x/name.exe.bak.new"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    std::filesystem::create_directories(dir / r.folder);
    const std::string exe = dir / r.folder + "/" + r.exe;
    TGlobal g(exe);
    const std::string base = dir / r.folder + "/";
    const std::string where = "row " + std::to_string(i);
    EXPECT_EQ(g.service_file_name, exe) << where;
    EXPECT_EQ(g.service_file_name_new, dir / r.configNew) << where;
    EXPECT_EQ(g.path, base) << where;
    EXPECT_EQ(g.temp_path, base + "temp/") << where;
    EXPECT_EQ(g.log_file_name, base + "Logs/Redurozozi.txt") << where;
    EXPECT_EQ(g.db_log_file_name, base + "Logs/myDB.txt") << where;
    EXPECT_EQ(g.config_file_name, dir / r.config) << where;
    ASSERT_NE(g.log_, nullptr) << where;
    EXPECT_EQ(g.log_->file_name, g.log_file_name) << where;
    EXPECT_EQ(g.log_->max_file_size, 1000000) << where;
    EXPECT_NE(g.clients, nullptr) << where;
    EXPECT_EQ(g.config, nullptr) << where;
    EXPECT_EQ(g.myDB, nullptr) << where;
    EXPECT_FALSE(g.reiniciar_monitor) << where;
    // A fresh install gets its Logs and temp folders.
    EXPECT_TRUE(IsDir(base + "Logs")) << where;
    EXPECT_TRUE(IsDir(base + "temp")) << where;
  }
}

TEST(TGlobalPaths, MissingFoldersDoNotStopTheConstructor) {
  TempDir dir;
  // The executable's folder does not exist: nothing can be created, nothing fails.
  GlobalGuard guard;
  global = std::make_unique<TGlobal>(dir / "gone/kv_redurozozi");
  doLog("nowhere to go");
  global->log_->flush();
  EXPECT_FALSE(IsDir(dir / "gone"));
}

TEST(TGlobalPaths, ExecutablePathIsThisProcess) {
  const std::string p = ExecutablePath();
  EXPECT_EQ(p, std::filesystem::canonical("/proc/self/exe").string());
  EXPECT_NE(p.find("test_config"), std::string::npos);
}

TEST(TGlobalLog, DoLogWritesThroughTheServiceLog) {
  doLog("before global exists");  // nothing happens, nothing fails
  TempDir dir;
  GlobalGuard guard;
  global = std::make_unique<TGlobal>(dir / "kv_redurozozi");
  global->clock = FixedClock(TDateTime{2025, 11, 30, 18, 1, 2, 0});
  doLog("primeira");
  doLog("", true);
  doLog("terceira", false);  // newLine has no effect: always a new line on top
  global->log_->flush();
  EXPECT_EQ(Repr(ReadFile(dir / "Logs/Redurozozi.txt")),
            Repr("30/11/2025 18:01:02\tterceira\r\n\r\n30/11/2025 18:01:02\tprimeira\r\n"));
  global->log_.reset();
  doLog("no writer");  // nothing happens
}

TEST(TGlobalLoadConfig, LogLinesAndResult) {
  const std::string ok = "Carregando configura\xE7\xF5" "es de KV_Redurozozi.json\tOK";
  struct Row {
    std::string name;
    std::optional<std::string> main;
    bool result;
    std::vector<std::string> lines;  // newest first, without the time stamp
  };
  const std::vector<Row> rows = {
      {"no configuration file", {}, true, {ok}},
      {"good file", R"({"porta": 6001, "analisadores": []})", true, {ok}},
      {"analisadores missing", R"({"porta": 6001})", false,
       {"TGlobal.loadConfig() -> Erro: kv_redurozozi.json: \"analisadores\" is missing"}},
      {"not JSON", "{", false, {"TGlobal.loadConfig() -> Erro: kv_redurozozi.json: is not valid JSON: "}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TempDir dir;
    GlobalGuard guard;
    if (rows[i].main) WriteFile(dir / "kv_redurozozi.json", *rows[i].main);
    global = std::make_unique<TGlobal>(dir / "KV_Redurozozi");
    global->clock = FixedClock(TDateTime{2025, 1, 2, 3, 4, 5, 0});
    int sleeps = 0;
    global->sleep = [&](int) { ++sleeps; };
    EXPECT_EQ(global->loadConfig(), rows[i].result) << "row " << i;
    ASSERT_NE(global->config, nullptr) << "row " << i;
    EXPECT_EQ(sleeps, 0) << "row " << i;
    global->log_->flush();
    const std::string log = ReadFile(dir / "Logs/Redurozozi.txt");
    std::string expected;
    for (const auto& l : rows[i].lines) expected += "02/01/2025 03:04:05\t" + l + "\r\n";
    if (rows[i].name == "not JSON")  // the parser's own words follow
      EXPECT_EQ(Repr(log.substr(0, expected.size() - 2)), Repr(expected.substr(0, expected.size() - 2)));
    else
      EXPECT_EQ(Repr(log), Repr(expected)) << "row " << i;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << "row " << i;
  }
}

TEST(TGlobalLoadConfig, GeracoesLogReachesTheServiceLog) {
  struct Row {
    std::optional<std::string> main;
    int32_t generations;
  };
  const std::vector<Row> rows = {
      {{}, 5},
      {R"({"analisadores": []})", 5},
      {R"({"geracoesLog": 2, "analisadores": []})", 2},
      {R"({"geracoesLog": 0, "analisadores": []})", 0},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TempDir dir;
    GlobalGuard guard;
    if (rows[i].main) WriteFile(dir / "kv_redurozozi.json", *rows[i].main);
    global = std::make_unique<TGlobal>(dir / "kv_redurozozi");
    global->log_->generations = -7;  // anything loadConfig must overwrite
    EXPECT_TRUE(global->loadConfig()) << "row " << i;
    EXPECT_EQ(global->log_->generations, rows[i].generations) << "row " << i;
  }
}

TEST(TGlobalLoadConfig, DebugModePausesTenSecondsAfterItsEntry) {
  TempDir dir;
  GlobalGuard guard;
  WriteFile(dir / "kv_redurozozi.json", R"({"debug": true, "analisadores": []})");
  global = std::make_unique<TGlobal>(dir / "kv_redurozozi");
  // A clock that the sleep seam moves on, so the pause shows in the time stamps.
  TDateTime now{2025, 6, 1, 8, 0, 0, 0};
  global->clock = [&] { return now; };
  std::vector<int> sleeps;
  std::string logAtSleep;
  global->sleep = [&](int ms) {
    sleeps.push_back(ms);
    global->log_->flush();
    logAtSleep = ReadFile(dir / "Logs/Redurozozi.txt");
    now.second += ms / 1000;
  };
  EXPECT_TRUE(global->loadConfig());
  EXPECT_TRUE(modoDebug());
  EXPECT_EQ(sleeps, std::vector<int>{10000});
  // The pause entry is written before the pause, the OK entry after it, on top.
  EXPECT_EQ(Repr(logAtSleep), Repr("01/06/2025 08:00:00\t[Modo Debug ativado, pausando 10 segundos ... ]\r\n"));
  global->log_->flush();
  EXPECT_EQ(Repr(ReadFile(dir / "Logs/Redurozozi.txt")),
            Repr("01/06/2025 08:00:10\tCarregando configura\xE7\xF5" "es de KV_Redurozozi.json\tOK\r\n"
                 "01/06/2025 08:00:00\t[Modo Debug ativado, pausando 10 segundos ... ]\r\n"));
}

TEST(TGlobalLoadConfig, ModoDebugFollowsTheConfiguration) {
  TempDir dir;
  GlobalGuard guard;
  EXPECT_FALSE(modoDebug());  // no global
  global = std::make_unique<TGlobal>(dir / "kv_redurozozi");
  EXPECT_FALSE(modoDebug());  // no configuration yet
  WriteFile(dir / "kv_redurozozi.json", R"({"debug": false, "analisadores": []})");
  global->sleep = [](int) { FAIL() << "no pause without debug"; };
  EXPECT_TRUE(global->loadConfig());
  EXPECT_FALSE(modoDebug());
}

TEST(TGlobalDatabase, StartMyDBUsesTheSettingsAndTheDatabaseLog) {
  TempDir dir;
  GlobalGuard guard;
  global = std::make_unique<TGlobal>(dir / "kv_redurozozi");
  global->myDBInfo = TMyDBInfo{"", dir / "lis.fdb", "sysdba", "masterkey"};
  global->StartMyDB();
  ASSERT_NE(global->myDB, nullptr);
  EXPECT_EQ(global->myDB->info.database, dir / "lis.fdb");
  EXPECT_EQ(global->myDB->log_.file_name, dir / "Logs/myDB.txt");
}

}  // namespace
