// The collector on its own: alarms with their log lines, counts per model,
// link events before identification, the rows for unconfigured analyzers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>

#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"
#include "service/TStatusCollector.hpp"
#include "support/TestSupport.hpp"

using kvtest::ReadFile;
using kvtest::TempDir;

namespace {

struct Rig {
  TempDir dir;
  TGlobal g{dir / "kv_redurozozi"};
  std::time_t t0 = 1'800'000'000;
  TStatusCollector c{g, t0};

  Rig() {
    g.config = std::make_unique<TConfigJson>();
    g.config->pastaSaida = dir / "saida/";
    g.config->alertaImportacaoMinutos = 30;
    std::filesystem::create_directories(g.config->pastaSaida + "XN-550");
    for (const char* modelo : {"XN-550", "Mindray"}) {
      auto a = std::make_unique<TAnalisador>();
      a->modelo = modelo;
      a->alertaSilencioMinutos = std::string(modelo) == "XN-550" ? 10 : 0;
      g.config->analisadores.push_back(std::move(a));
    }
  }
  std::string LogText() {
    g.log_->flush();
    return ReadFile(g.log_file_name);
  }
  static void Identify(TSocketClient& client, const std::string& modelo, int32_t protocolo) {
    client.analisador->modelo = modelo;
    client.analisador->protocolo.id = protocolo;
  }
};

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST(StatusCollector, SilenceAlarmOneLineEachWay) {
  Rig r;
  TSocketClient xn("h:1", "");
  const std::string raised = "Alerta: analisador XN-550 sem comunica\xE7\xE3o h\xE1 10 minutos ou mais";
  const std::string cleared = "Analisador XN-550 voltou a comunicar";
  r.c.Tick(r.t0 + 599);
  EXPECT_FALSE(r.c.Build(r.t0 + 599)->analyzers[0].silent);
  r.c.Tick(r.t0 + 600);
  r.c.Tick(r.t0 + 700);
  const auto s = r.c.Build(r.t0 + 700);
  EXPECT_TRUE(s->analyzers[0].silent);
  EXPECT_FALSE(s->analyzers[1].silent);  // alarm off for Mindray
  r.c.Connected(&xn, "h:1");
  Rig::Identify(xn, "XN-550", PROTOCOLO_ASTM);
  r.c.Received(&xn, r.t0 + 701);
  r.c.Tick(r.t0 + 702);
  EXPECT_FALSE(r.c.Build(r.t0 + 702)->analyzers[0].silent);
  r.c.Disconnected(&xn);
  r.c.Tick(r.t0 + 701 + 599);
  const std::string log = r.LogText();
  EXPECT_EQ(Count(log, raised), 1u) << log;
  EXPECT_EQ(Count(log, cleared), 1u) << log;
  r.c.Tick(r.t0 + 701 + 600);
  EXPECT_EQ(Count(r.LogText(), raised), 2u);
}

TEST(StatusCollector, ImportAlarmFromTheOldestWaitingFile) {
  Rig r;
  const std::time_t now = std::time(nullptr);
  const std::string file = r.g.config->pastaSaida + "XN-550/1001.astm";
  kvtest::WriteFile(file, "1H|\r\n");
  kvtest::WriteFile(r.g.config->pastaSaida + "XN-550/1002.astm.Ab12Cd.tmp", "");  // still being written
  const utimbuf old{now - 31 * 60, now - 31 * 60};
  ASSERT_EQ(::utime(file.c_str(), &old), 0);
  r.c.Tick(now);
  auto s = r.c.Build(now);
  EXPECT_TRUE(s->importAlarm);
  EXPECT_EQ(s->oldestWaitingFile, now - 31 * 60);
  EXPECT_TRUE(s->outputWritable);
  std::filesystem::remove(file);  // the importer took it
  r.c.Tick(now + TStatusCollector::kFolderScanSeconds);
  s = r.c.Build(now + TStatusCollector::kFolderScanSeconds);
  EXPECT_FALSE(s->importAlarm);
  EXPECT_EQ(s->oldestWaitingFile, 0);  // a .tmp is a file still being written
  const std::string log = r.LogText();
  EXPECT_EQ(Count(log, "Alerta: arquivo aguardando importa\xE7\xE3o h\xE1 mais de 30 minutos"), 1u) << log;
  EXPECT_EQ(Count(log, "Importa\xE7\xE3o normalizada"), 1u) << log;
  EXPECT_TRUE(std::filesystem::exists(r.g.config->pastaSaida + "XN-550/1002.astm.Ab12Cd.tmp"));
}

TEST(StatusCollector, CountsPerModelAndUnconfiguredRows) {
  Rig r;
  TSocketClient xn("h:1", ""), other("h:2", ""), unknown("h:3", "");
  r.c.Connected(&xn, "h:1");
  r.c.Connected(&other, "h:2");
  r.c.Connected(&unknown, "h:3");
  // Frames refused and repeated before the header identified the analyzer.
  r.c.ChecksumRefused(xn);
  r.c.DuplicateFrame(xn);
  Rig::Identify(xn, "XN-550", PROTOCOLO_ASTM);
  r.c.Received(&xn, r.t0 + 1);
  r.c.ResultReceived(xn);
  r.c.QueryAnswered(xn, false);
  r.c.ReplyQueued(xn);
  r.c.ErrorLogged(xn, "\r\rN\xE3o foi poss\xEDvel salvar.\rErro: disco\r\rInforma\xE7\xF5" "es:\rPID|1|Fulano");
  Rig::Identify(other, "BC-9000", PROTOCOLO_HL7);
  r.c.ResultReceived(other);
  const auto s = r.c.Build(r.t0 + 2);
  ASSERT_EQ(s->analyzers.size(), 4u);
  const TAnalyzerStatus& a = s->analyzers[0];
  EXPECT_EQ(a.modelo, "XN-550");
  EXPECT_EQ(a.connections, std::vector<std::string>{"h:1"});
  EXPECT_EQ(a.results, 1u);
  EXPECT_EQ(a.queries, 1u);
  EXPECT_EQ(a.checksumErrors, 1u);
  EXPECT_EQ(a.lastError, "N\xE3o foi poss\xEDvel salvar. Erro: disco");  // the patient stays out
  EXPECT_TRUE(s->analyzers[1].connections.empty());
  EXPECT_EQ(s->analyzers[2].modelo, "BC-9000");
  EXPECT_FALSE(s->analyzers[2].configured);
  EXPECT_EQ(s->analyzers[2].results, 1u);
  EXPECT_EQ(s->analyzers[3].modelo, "");  // connected, not identified yet
  EXPECT_EQ(s->openConnections, 3u);
  // Archive files are counted when written (Delivered); BC-9000 has had none yet.
  ASSERT_EQ(s->counters.size(), 1u);
  const TCounterRow& xnRow = s->counters[0];
  EXPECT_EQ(xnRow.modelo, "XN-550");
  EXPECT_EQ(xnRow.protocolo, "ASTM");
  EXPECT_EQ(xnRow.checksumErrors, 1u);
  EXPECT_EQ(xnRow.duplicates, 1u);
  EXPECT_EQ(xnRow.replies, 1u);
  r.c.Disconnected(&xn);
  r.c.Disconnected(&other);
  r.c.Disconnected(&unknown);
  EXPECT_EQ(r.c.Build(r.t0 + 3)->analyzers.size(), 2u);
}

}  // namespace
