// The real executable started, refused, stopped, installed and uninstalled.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ServiceHarness.hpp"
#include "host/TSystemdUnit.hpp"
#include "support/LisDatabase.hpp"

using namespace kvtest;
namespace fs = std::filesystem;

namespace {
const std::string kHyphens = std::string(60, '-') + " ";
const std::string kHeader = "Iniciando servi\xE7o redurozozi (ASTM, HL7, ...)";
const std::string kLoad = "[CARREGAR CONFIGURA\xC7\xD5" "ES]";
const std::string kRefused =
    "N\xE3o \xE9 poss\xEDvel iniciar o servi\xE7o. Existe algum erro com o arquivo de configura\xE7\xF5" "es.";
const std::string kDbError = "Banco de dados: ERRO [";
const std::string kDbErrorTail =
    "]. Verificar a configura\xE7\xE3o no arquivo de configura\xE7\xE3o (database.json ou kv_redurozozi.json) "
    "e a instala\xE7\xE3o do Firebird Client.";
const std::string kInstalled = "** SERVI\xC7O INSTALADO COM SUCESSO!";
}  // namespace

TEST(ServiceLifecycle, StartsListensAndStopsWithStatusZero) {
  TempDir dir;
  ServiceProcess svc(dir.path(), ServiceConfig(dir.path()));
  ASSERT_TRUE(svc.WaitListening()) << Repr(svc.LogText());
  ASSERT_TRUE(svc.WaitForLog("Pasta destino de arquivos: " + dir.path() + "/saida/"));
  EXPECT_TRUE(fs::is_directory(dir / "saida"));
  EXPECT_EQ(svc.Stop(), 0);
  const std::string log = svc.LogText();
  EXPECT_TRUE(LoggedInOrder(log, {kHeader, kLoad, "Carregando configura", kDbError,
                                  "Servidor ativo e ouvindo porta " + std::to_string(svc.port()),
                                  "Pasta destino de arquivos: ", "Finalizando!"}))
      << Repr(log);
  // Header: 60 hyphens and a blank, the title, the hyphen line again.
  EXPECT_NE(log.find(kHyphens + "\r\n"), std::string::npos) << Repr(log.substr(log.size() - 300));
  EXPECT_EQ(Count(log, kHeader), 1u);
  // The five stop entries, newest first in the file: ".", "..", "...", "Finalizando!", blank.
  EXPECT_NE(log.find("\t.\r\n"), std::string::npos);
  EXPECT_TRUE(LoggedInOrder(log, {"\tFinalizando!", "\t...\r\n", "\t..\r\n", "\t.\r\n"})) << Repr(log.substr(0, 400));
  EXPECT_EQ(log.find("Erro ao tentar criar pasta"), std::string::npos);
}

TEST(ServiceLifecycle, RefusedStartLogsTwoLinesExitsNonZeroAndNeverListens) {
  TempDir dir;
  auto config = ServiceConfig(dir.path());
  config.erase("analisadores");  // required key
  ServiceProcess svc(dir.path(), config);
  const int status = svc.WaitExit();
  EXPECT_NE(status, 0);
  EXPECT_NE(status, -1) << "the refused service must end by itself";
  const std::string log = svc.LogText();
  EXPECT_TRUE(LoggedInOrder(log, {kHeader, kLoad, "TGlobal.loadConfig() -> Erro: ", kRefused})) << Repr(log);
  EXPECT_EQ(log.find("Servidor ativo"), std::string::npos);
  EXPECT_THROW(TcpClient probe(svc.port()), std::runtime_error);
}

TEST(ServiceLifecycle, PortInUseLogsTheErrorAndExitsNonZero) {
  TempDir dir;
  // Hold the port with a listener of our own.
  TempDir other;
  ServiceProcess holder(other.path(), ServiceConfig(other.path()));
  ASSERT_TRUE(holder.WaitListening());
  auto config = ServiceConfig(dir.path());
  config["porta"] = holder.port();
  ServiceProcess svc(dir.path(), config);
  const int status = svc.WaitExit();
  EXPECT_NE(status, 0);
  EXPECT_NE(status, -1);
  const std::string log = svc.LogText();
  EXPECT_NE(log.find(kLogCannotStart), std::string::npos) << Repr(log);
  // The output-folder lines come after the listener and are not written.
  EXPECT_EQ(log.find("Pasta destino de arquivos"), std::string::npos);
  EXPECT_EQ(log.find("Servidor ativo"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "saida"));
  EXPECT_EQ(holder.Stop(), 0);
}

TEST(ServiceLifecycle, DatabaseDownStillListens) {
  TempDir dir;
  ServiceProcess svc(dir.path(), ServiceConfig(dir.path(), dir / "missing.fdb"));
  ASSERT_TRUE(svc.WaitListening());
  ASSERT_TRUE(svc.WaitForLog("Servidor ativo e ouvindo porta " + std::to_string(svc.port())));
  const std::string log = svc.LogText();
  const size_t at = log.find(kDbError);
  ASSERT_NE(at, std::string::npos) << Repr(log);
  const size_t tail = log.find(kDbErrorTail, at);
  EXPECT_NE(tail, std::string::npos);
  EXPECT_GT(tail, at + kDbError.size()) << "the error text stands between the brackets";
  // The driver's own message names the missing file, on one line.
  const std::string reason = log.substr(at + kDbError.size(), tail - at - kDbError.size());
  EXPECT_NE(reason.find("missing.fdb"), std::string::npos) << Repr(reason);
  EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << Repr(reason);
  EXPECT_EQ(log.find("Banco de dados: OK"), std::string::npos);
  EXPECT_TRUE(LoggedInOrder(log, {kDbError, "Servidor ativo"}));
  EXPECT_EQ(svc.Stop(), 0);
}

TEST(ServiceLifecycle, DatabaseUpLogsOk) {
  TempDir dir;
  const TMyDBInfo db = CreateLisDatabase(dir.path());
  auto config = ServiceConfig(dir.path(), db.database);
  config["user"] = db.user;
  config["password"] = db.password;
  ServiceProcess svc(dir.path(), config);
  ASSERT_TRUE(svc.WaitListening());
  ASSERT_TRUE(svc.WaitForLog("Pasta destino de arquivos"));
  const std::string log = svc.LogText();
  EXPECT_NE(log.find("Banco de dados: OK"), std::string::npos) << Repr(log);
  EXPECT_EQ(log.find(kDbError), std::string::npos);
  EXPECT_EQ(svc.Stop(), 0);
}

TEST(ServiceLifecycle, OutputFolderNestedCreatedExistingUntouchedEmptyReported) {
  struct Row {
    std::string name;
    std::string pasta;  // relative to the temp folder; "" keeps the key empty
    bool precreate;
    bool expectError;
  };
  const std::vector<Row> rows = {
      {"nested path created level by level", "a/b/c/", false, false},
      {"existing folder left as it is", "existing/", true, false},
      {"empty path reported", "", false, true},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TempDir dir;
    auto config = ServiceConfig(dir.path());
    config["pastaSaida"] = rows[i].pasta.empty() ? std::string() : dir / rows[i].pasta;
    if (rows[i].precreate) WriteFile(dir / (rows[i].pasta + "keep.txt"), "x");
    ServiceProcess svc(dir.path(), config);
    ASSERT_TRUE(svc.WaitListening()) << "row " << i;
    ASSERT_TRUE(svc.WaitForLog("Pasta destino de arquivos: ")) << "row " << i;
    EXPECT_EQ(svc.Stop(), 0) << "row " << i;
    const std::string log = svc.LogText();
    EXPECT_EQ(log.find("Erro ao tentar criar pasta. Erro: ") != std::string::npos, rows[i].expectError)
        << "row " << i << " (" << rows[i].name << ")";
    if (!rows[i].pasta.empty()) {
      EXPECT_TRUE(fs::is_directory(dir / rows[i].pasta)) << "row " << i;
    }
    if (rows[i].precreate) {
      EXPECT_EQ(ReadFile(dir / (rows[i].pasta + "keep.txt")), "x") << "row " << i;
    }
  }
}

TEST(ServiceLifecycle, WithoutConfigurationFileRunsOnDefaults) {
  TempDir dir;
  ServiceProcess svc(dir.path(), nullptr);  // no kv_redurozozi.json at all
  ASSERT_TRUE(svc.WaitForLog("Pasta destino de arquivos: "));
  const std::string log = svc.LogText();
  EXPECT_NE(log.find("Servidor ativo e ouvindo porta 0"), std::string::npos) << Repr(log);
  EXPECT_NE(log.find("Erro ao tentar criar pasta. Erro: "), std::string::npos);
  EXPECT_NE(log.find(kDbError), std::string::npos);
  EXPECT_EQ(svc.Stop(), 0);
}

TEST(ServiceLifecycle, InstallAndUninstallWriteAndRemoveTheUnit) {
  TempDir dir;
  const std::string exe = dir / "kv_redurozozi";
  fs::copy_file(std::string(KV_BINARY_DIR) + "/kv_redurozozi", exe);
  struct Row {
    std::string name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string unitDir;
    std::string user;  // --user for the install run
  };
  const std::vector<Row> rows = {
      {"option", {"--unit-dir", dir / "units-a"}, {}, dir / "units-a", ""},
      {"environment", {}, {"KV_SYSTEMD_UNIT_DIR=" + dir / "units-b"}, dir / "units-b", ""},
      {"option wins over environment", {"--unit-dir=" + dir / "units-c"},
       {"KV_SYSTEMD_UNIT_DIR=" + dir / "units-b"}, dir / "units-c", ""},
      {"as a user", {"--unit-dir", dir / "units-d"}, {}, dir / "units-d", "nobody"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    fs::create_directories(rows[i].unitDir);
    std::vector<std::string> install = {exe, "--install"};
    install.insert(install.end(), rows[i].args.begin(), rows[i].args.end());
    if (!rows[i].user.empty()) install.insert(install.end(), {"--user", rows[i].user});
    ASSERT_EQ(RunProgram(install, rows[i].env), 0) << "row " << i;
    const std::string unit = ReadFile(rows[i].unitDir + "/kvredurozozi.service");
    EXPECT_NE(unit.find("Description=Tevarin (Redurozozi)\n"), std::string::npos) << "row " << i << unit;
    EXPECT_NE(unit.find("ExecStart=" + exe + "\n"), std::string::npos) << "row " << i << unit;
    EXPECT_NE(unit.find("Restart=on-failure\n"), std::string::npos) << "row " << i;
    EXPECT_NE(unit.find("Type=simple\n"), std::string::npos) << "row " << i;
    EXPECT_NE(unit.find("WantedBy=multi-user.target\n"), std::string::npos) << "row " << i;
    // The text the Debian package ships comes from the same function.
    EXPECT_EQ(unit, TSystemdUnit::Text(exe, rows[i].user)) << "row " << i;
    EXPECT_EQ(unit.find("\nUser=nobody\n") != std::string::npos, !rows[i].user.empty()) << "row " << i << unit;

    std::vector<std::string> uninstall = {exe, "--uninstall"};
    uninstall.insert(uninstall.end(), rows[i].args.begin(), rows[i].args.end());
    ASSERT_EQ(RunProgram(uninstall, rows[i].env), 0) << "row " << i;
    EXPECT_FALSE(fs::exists(rows[i].unitDir + "/kvredurozozi.service")) << "row " << i;
  }
  const std::string log = ReadFile(dir / "Logs/Redurozozi.txt");
  EXPECT_EQ(Count(log, kInstalled), rows.size()) << Repr(log);
  // The first run's header stands below (before) its install line.
  EXPECT_LT(log.rfind(kInstalled), log.rfind(kHeader));
  // Install runs neither start nor listen.
  EXPECT_EQ(log.find(kLoad), std::string::npos);
  EXPECT_FALSE(fs::exists("/etc/systemd/system/kvredurozozi.service") &&
               ReadFile("/etc/systemd/system/kvredurozozi.service").find(exe) != std::string::npos);
}

TEST(ServiceLifecycle, InstallIntoAFolderThatCannotBeWrittenFails) {
  TempDir dir;
  const std::string exe = dir / "kv_redurozozi";
  fs::copy_file(std::string(KV_BINARY_DIR) + "/kv_redurozozi", exe);
  EXPECT_NE(RunProgram({exe, "--install", "--unit-dir", dir / "no/such/folder"}), 0);
  fs::create_directories(dir / "units");
  EXPECT_NE(RunProgram({exe, "--install", "--unit-dir", dir / "units", "--user", "kv-no-such-user"}), 0);
  EXPECT_FALSE(fs::exists(dir / "units/kvredurozozi.service"));
  const std::string log = ReadFile(dir / "Logs/Redurozozi.txt");
  EXPECT_EQ(log.find(kInstalled), std::string::npos);
  EXPECT_NE(log.find("N\xE3o foi poss\xEDvel instalar o servi\xE7o. Erro: no such user: kv-no-such-user"),
            std::string::npos) << Repr(log);
  EXPECT_NE(RunProgram({exe, "--bogus"}), 0);
  EXPECT_EQ(RunProgram({exe, "--user", "nobody"}), 2) << "a user without --install";
}

// Connections still open at the stop, each waiting on something else: an idle
// one waits for data, a busy one for its reply pause with chunks still queued,
// and the newest may still be in its look-up. The stop closes them all without
// a disconnect line of their own, and the process ends normally.
TEST(ServiceLifecycle, StopWithOpenConnectionsClosesThemAndExitsWithStatusZero) {
  TempDir dir;
  ServiceProcess svc(dir.path(), ServiceConfig(dir.path()));
  ASSERT_TRUE(svc.WaitListening()) << Repr(svc.LogText());
  Peer idle(svc.port());
  ASSERT_TRUE(svc.WaitForLog(kLogNovaConexao + "localhost:" + std::to_string(idle.LocalPort()) + "**"));
  Peer busy(svc.port());
  ASSERT_TRUE(svc.WaitForLog(kLogNovaConexao + "localhost:" + std::to_string(busy.LocalPort()) + "**"));
  std::string frames = Expand("<ENQ>");
  for (int i = 0; i < 400; ++i) frames += Expand("<STX>1R|") + std::to_string(i) + Expand("<CR><ETX>00<CR><LF>");
  busy.Send(frames);
  ASSERT_TRUE(svc.WaitForLog("Nova mensagem: [localhost:" + std::to_string(busy.LocalPort()) + "]"));
  Peer newest(svc.port());
  EXPECT_EQ(svc.Stop(), 0);
  EXPECT_TRUE(idle.WaitClosed());
  EXPECT_TRUE(busy.WaitClosed());
  EXPECT_TRUE(newest.WaitClosed());
  const std::string log = svc.LogText();
  EXPECT_NE(log.find("Finalizando!"), std::string::npos) << Repr(log.substr(0, 400));
  for (const Peer* p : {&idle, &busy, &newest}) {
    const std::string id = "localhost:" + std::to_string(p->LocalPort());
    EXPECT_EQ(log.find(kLogConexaoEncerrada + id + "\r\n"), std::string::npos) << id << " " << Repr(log.substr(0, 400));
  }
}
