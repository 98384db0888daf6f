// The collector on its own: alarms with their log lines, counts per model,
// link events before identification, the rows for unconfigured analyzers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>

#include "clients/TSocketClient.hpp"
#include "log/TLog.hpp"
#include "status/TLisMonitor.hpp"
#include "status/TStatusCollector.hpp"
#include "support/TestSupport.hpp"

using kvtest::ReadFile;
using kvtest::TempDir;

namespace {

struct Rig {
  TempDir dir;
  std::string output = dir / "saida/";
  TLog log{dir / "Redurozozi.txt", 1000000};
  std::time_t t0 = 1'800'000'000;
  TStatusCollector c{Setup(), t0};

  TStatusSetup Setup() {
    std::filesystem::create_directories(output + "XN-550");
    std::filesystem::create_directories(dir / "spool");
    TStatusSetup s;
    s.outputFolder = output;
    s.spoolFolder = dir / "spool/";
    s.importAlarmMinutes = 30;
    s.analyzers = {{"XN-550", 10}, {"Mindray", 0}};  // no silence alarm for Mindray
    s.log = &log;
    return s;
  }
  std::string LogText() {
    log.flush();
    return ReadFile(dir / "Redurozozi.txt");
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
  const std::string file = r.output + "XN-550/1001.astm";
  kvtest::WriteFile(file, "1H|\r\n");
  kvtest::WriteFile(r.output + "XN-550/1002.astm.Ab12Cd.tmp", "");  // still being written
  const utimbuf old{now - 31 * 60, now - 31 * 60};
  ASSERT_EQ(::utime(file.c_str(), &old), 0);
  r.c.Tick(now);
  auto s = r.c.Build(now);
  EXPECT_TRUE(s->importAlarm);
  EXPECT_EQ(s->oldestWaitingFile, now - 31 * 60);
  EXPECT_TRUE(s->outputWritable);
  std::filesystem::remove(file);  // the importer took it
  r.c.Tick(now + TStatusCollector::FOLDER_SCAN_SECONDS);
  s = r.c.Build(now + TStatusCollector::FOLDER_SCAN_SECONDS);
  EXPECT_FALSE(s->importAlarm);
  EXPECT_EQ(s->oldestWaitingFile, 0);  // a .tmp is a file still being written
  const std::string log = r.LogText();
  EXPECT_EQ(Count(log, "Alerta: arquivo aguardando importa\xE7\xE3o h\xE1 mais de 30 minutos"), 1u) << log;
  EXPECT_EQ(Count(log, "Importa\xE7\xE3o normalizada"), 1u) << log;
  EXPECT_TRUE(std::filesystem::exists(r.output + "XN-550/1002.astm.Ab12Cd.tmp"));
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
  EXPECT_EQ(a.model, "XN-550");
  EXPECT_EQ(a.connections, std::vector<std::string>{"h:1"});
  EXPECT_EQ(a.results, 1u);
  EXPECT_EQ(a.queries, 1u);
  EXPECT_EQ(a.checksumErrors, 1u);
  EXPECT_EQ(a.lastError, "N\xE3o foi poss\xEDvel salvar. Erro: disco");  // the patient stays out
  EXPECT_TRUE(s->analyzers[1].connections.empty());
  EXPECT_EQ(s->analyzers[2].model, "BC-9000");
  EXPECT_FALSE(s->analyzers[2].configured);
  EXPECT_EQ(s->analyzers[2].results, 1u);
  EXPECT_EQ(s->analyzers[3].model, "");  // connected, not identified yet
  EXPECT_EQ(s->openConnections, 3u);
  // Archive files are counted when written (Delivered); BC-9000 has had none yet.
  ASSERT_EQ(s->counters.size(), 1u);
  const TCounterRow& xnRow = s->counters[0];
  EXPECT_EQ(xnRow.model, "XN-550");
  EXPECT_EQ(xnRow.protocol, "ASTM");
  EXPECT_EQ(xnRow.checksumErrors, 1u);
  EXPECT_EQ(xnRow.duplicates, 1u);
  EXPECT_EQ(xnRow.replies, 1u);
  r.c.Disconnected(&xn);
  r.c.Disconnected(&other);
  r.c.Disconnected(&unknown);
  EXPECT_EQ(r.c.Build(r.t0 + 3)->analyzers.size(), 2u);
}

// A link the service opened itself counts in its analyzer's card from the
// moment it opens, before the analyzer has said who it is.
TEST(StatusCollector, ALinksConnectionBelongsToItsAnalyzerBeforeIdentification) {
  TempDir dir;
  TStatusSetup setup;
  setup.outputFolder = dir / "saida/";
  setup.spoolFolder = dir / "spool/";
  setup.analyzers = {{"XN-550", 0}, {"Mindray", 0}};
  setup.links = [] {
    TLinkStatus open{"serial:/dev/ttyUSB0", true, 1'800'000'000, "", 0};
    return std::vector<TStatusLink>{{"Mindray", open}};
  };
  TStatusCollector c(setup, 1'800'000'000);
  TSocketClient link("serial:/dev/ttyUSB0", ""), tcp("h:1", "");
  c.Connected(&link, "serial:/dev/ttyUSB0");
  c.Connected(&tcp, "h:1");
  const auto s = c.Build(1'800'000'001);
  ASSERT_EQ(s->analyzers.size(), 3u);
  EXPECT_TRUE(s->analyzers[0].connections.empty());
  EXPECT_EQ(s->analyzers[1].connections, std::vector<std::string>{"serial:/dev/ttyUSB0"});
  EXPECT_EQ(s->analyzers[2].model, "");  // an accepted connection, not identified yet
  EXPECT_EQ(s->analyzers[2].connections, std::vector<std::string>{"h:1"});
  c.Disconnected(&link);
  c.Disconnected(&tcp);
}

// Results per local hour over the last 24 hours: each result in the bar of its
// hour, the hour under way last; an hour older than the chart is forgotten when
// a new hour takes its slot, and an hour later every bar has moved one left.
TEST(StatusCollector, ResultsPerHourOverTheLast24Hours) {
  const std::time_t h0 = HourStart(1'800'000'000);
  std::time_t now = h0;
  TStatusSetup setup;
  setup.analyzers = {{"XN-550", 0}, {"Mindray", 0}};
  setup.now = [&now] { return now; };
  TStatusCollector c(setup, h0 - 30 * 3600);
  TSocketClient xn("h:1", "");
  Rig::Identify(xn, "XN-550", PROTOCOLO_ASTM);
  for (const std::time_t t : {h0 - 24 * 3600 + 10,  // 24 hours ago: off the chart, in the slot of the hour now
                              h0 - 23 * 3600,       // the first bar
                              h0 - 1,               // the last second of the hour before
                              h0, h0 + 1799}) {     // the hour under way
    now = t;
    c.ResultReceived(xn);
  }
  std::vector<uint32_t> expected(RESULT_HOURS, 0);
  expected[0] = 1;
  expected[22] = 1;
  expected[23] = 2;
  const auto s = c.Build(h0 + 1800);
  EXPECT_EQ(s->hourNow, h0);
  ASSERT_EQ(s->analyzers.size(), 2u);
  EXPECT_EQ(s->analyzers[0].resultsPerHour, expected);
  EXPECT_EQ(s->analyzers[0].results, 5u);  // today's count is another matter
  EXPECT_EQ(s->analyzers[1].resultsPerHour, std::vector<uint32_t>(RESULT_HOURS, 0));

  std::vector<uint32_t> later(RESULT_HOURS, 0);
  later[21] = 1;
  later[22] = 2;
  EXPECT_EQ(c.Build(h0 + 3600 + 5)->analyzers[0].resultsPerHour, later);
  EXPECT_EQ(c.Build(h0 + 25 * 3600)->analyzers[0].resultsPerHour, std::vector<uint32_t>(RESULT_HOURS, 0));
}

// Everything that lives outside status reaches the snapshot through the setup
// the composition root fills; without a source its figure stays empty.
TEST(StatusCollector, TheSnapshotShowsWhatTheSetupHandsIn) {
  TempDir dir;
  TLog log(dir / "Redurozozi.txt", 1000000);
  TLisMonitor lis;
  lis.RecordCheck(false, "unavailable database\r\nport 3050");
  log.make("TKVRedurozozi -> Erro: disco cheio");
  TStatusSetup setup;
  setup.version = "1.4-7-gabc";
  setup.outputFolder = "C:\\Sa\xED" "da\\";
  setup.importAlarmMinutes = 45;
  setup.log = &log;
  setup.lis = &lis;
  setup.spoolPending = [] { return size_t{3}; };
  setup.spoolOldest = [] { return std::optional<TDateTime>(TDateTime{2027, 1, 15, 8, 30, 0, 0}); };
  setup.diskAlarmSeconds = 90;
  setup.diskBusyFor = [] { return std::chrono::milliseconds(75'400); };
  const std::time_t clock = 1'800'000'123;
  setup.now = [clock] { return clock; };
  TStatusCollector c(setup);
  const auto s = c.Build();
  EXPECT_EQ(s->taken, clock);
  EXPECT_EQ(s->started, clock);
  EXPECT_EQ(s->version, "1.4-7-gabc");
  EXPECT_EQ(s->outputFolder, "C:\\Sa\xED" "da\\");
  EXPECT_EQ(s->importAlarmMinutes, 45);
  EXPECT_TRUE(s->lis.checked);
  EXPECT_FALSE(s->lis.ok);
  EXPECT_EQ(s->lis.error, "unavailable database  port 3050");
  EXPECT_EQ(s->spoolDepth, 3u);
  EXPECT_EQ(s->folderSilentSeconds, 75);
  EXPECT_EQ(s->folderAlarmSeconds, 90);
  std::tm oldest{};
  oldest.tm_year = 2027 - 1900;
  oldest.tm_mon = 0;
  oldest.tm_mday = 15;
  oldest.tm_hour = 8;
  oldest.tm_min = 30;
  oldest.tm_isdst = -1;
  EXPECT_EQ(s->spoolOldest, std::mktime(&oldest));
  ASSERT_EQ(s->recentErrors.size(), 1u);
  EXPECT_NE(s->recentErrors[0].find("TKVRedurozozi -> Erro: disco cheio"), std::string::npos) << s->recentErrors[0];

  TStatusCollector bare(TStatusSetup{}, clock);
  const auto empty = bare.Build(clock);
  EXPECT_FALSE(empty->lis.checked);
  EXPECT_EQ(empty->spoolDepth, 0u);
  EXPECT_EQ(empty->spoolOldest, 0);
  EXPECT_EQ(empty->folderSilentSeconds, 0);
  EXPECT_TRUE(empty->analyzers.empty());
  EXPECT_TRUE(empty->recentErrors.empty());
}

}  // namespace
