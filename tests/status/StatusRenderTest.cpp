// Health rules, the page's escaping and the metrics text, from snapshots made here.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>

#include "status/StatusRender.hpp"

namespace {

TStatusSnapshot Healthy() {
  TStatusSnapshot s;
  s.taken = 1'800'000'000;
  s.started = s.taken - 3600;
  s.version = "t";
  s.lis.checked = true;
  s.lis.ok = true;
  s.outputFolder = "/srv/saida/";
  s.outputWritable = true;
  s.spoolWritable = true;
  s.spoolAlarmMinutes = 10;
  s.importAlarmMinutes = 30;
  TAnalyzerStatus a;
  a.model = "XN-550";
  a.protocol = "ASTM";
  s.analyzers.push_back(a);
  return s;
}

TEST(StatusHealth, RulesTable) {
  struct Row {
    std::string name;
    std::function<void(TStatusSnapshot&)> change;
    std::string status;
    std::string reason;  // part of the one reason expected ("" with none)
    int http;
  };
  const std::vector<Row> rows = {
      {"all well", [](TStatusSnapshot&) {}, "ok", "", 200},
      {"LIS not checked yet", [](TStatusSnapshot& s) { s.lis.checked = false; }, "ok", "", 200},
      {"LIS failed",
       [](TStatusSnapshot& s) {
         s.lis.ok = false;
         s.lis.error = "connection refused";
       },
       "degraded", "LIS inacess\xC3\xADvel: connection refused", 200},
      {"output folder read-only, spool takes messages", [](TStatusSnapshot& s) { s.outputWritable = false; },
       "degraded", "pasta de sa\xC3\xAD" "da sem escrita: /srv/saida/", 200},
      {"spool refusing alone (results go straight to the folder)",
       [](TStatusSnapshot& s) { s.spoolWritable = false; }, "ok", "", 200},
      {"spool waiting 9 minutes",
       [](TStatusSnapshot& s) {
         s.spoolDepth = 2;
         s.spoolOldest = s.taken - 9 * 60;
       },
       "ok", "", 200},
      {"spool waiting 11 minutes",
       [](TStatusSnapshot& s) {
         s.spoolDepth = 2;
         s.spoolOldest = s.taken - 11 * 60;
       },
       "degraded", "2 mensagem(ns) no spool h\xC3\xA1 mais de 10 minutos", 200},
      {"analyzer silent",
       [](TStatusSnapshot& s) {
         s.analyzers[0].silent = true;
         s.analyzers[0].silenceMinutes = 15;
       },
       "degraded", "analisador XN-550 em sil\xC3\xAAncio h\xC3\xA1 15 minutos ou mais", 200},
      {"import alarm", [](TStatusSnapshot& s) { s.importAlarm = true; }, "degraded",
       "arquivo aguardando importa\xC3\xA7\xC3\xA3o h\xC3\xA1 mais de 30 minutos", 200},
      {"output folder slow, under alertaEntregaSegundos",
       [](TStatusSnapshot& s) {
         s.folderSilentSeconds = 59;
         s.folderAlarmSeconds = 60;
       },
       "ok", "", 200},
      {"output folder does not answer",
       [](TStatusSnapshot& s) {
         s.folderSilentSeconds = 75;
         s.folderAlarmSeconds = 60;
       },
       "degraded", "pasta destino n\xC3\xA3o responde h\xC3\xA1 75 s", 200},
  };
  for (const Row& r : rows) {
    TStatusSnapshot s = Healthy();
    r.change(s);
    const THealth h = EvaluateHealth(s);
    EXPECT_EQ(h.status, r.status) << r.name;
    EXPECT_EQ(h.HttpStatus(), r.http) << r.name;
    if (r.reason.empty()) {
      EXPECT_TRUE(h.reasons.empty()) << r.name << ": " << (h.reasons.empty() ? "" : h.reasons[0]);
    } else {
      ASSERT_EQ(h.reasons.size(), 1u) << r.name;
      EXPECT_EQ(h.reasons[0], r.reason) << r.name;
    }
  }
}

TEST(StatusHealth, NowhereToKeepResultsIsDown) {
  TStatusSnapshot s = Healthy();
  s.outputWritable = false;
  s.spoolWritable = false;
  s.lis.ok = false;
  const THealth h = EvaluateHealth(s);
  EXPECT_EQ(h.status, "down");
  EXPECT_EQ(h.HttpStatus(), 503);
  EXPECT_EQ(h.reasons.size(), 3u);
  EXPECT_EQ(RenderHealthJson(h).substr(0, 12), "{\"reasons\":[");
  EXPECT_NE(RenderHealthJson(h).find("\"status\":\"down\""), std::string::npos);
}

// Each configured link in its analyzer's card, right after "Conectado": open
// since when, or closed and reopening since when with its last failure; a link
// of another analyzer stays out of this card.
TEST(StatusPage, LinksInTheirAnalyzersCard) {
  TStatusSnapshot s = Healthy();
  TAnalyzerStatus other;
  other.model = "Mindray";
  s.analyzers.push_back(other);
  TStatusLink open{"XN-550", {"serial:/dev/ttyUSB0", true, s.taken - 60, "dispositivo desconectado", s.taken - 120}};
  TStatusLink closed{"XN-550", {"10.0.0.5:4001<b>", false, s.taken - 30, "conex\xE3o recusada", s.taken - 5}};
  TStatusLink elsewhere{"Mindray", {"serial:/dev/ttyS1", true, s.taken - 10, "", 0}};
  s.links = {open, closed, elsewhere};
  const std::string page = RenderStatusPage(s);
  const size_t xn = page.find("<h2>XN-550</h2>"), mindray = page.find("<h2>Mindray</h2>");
  ASSERT_NE(xn, std::string::npos);
  ASSERT_NE(mindray, std::string::npos);
  const std::string card = page.substr(xn, mindray - xn);
  const size_t connected = card.find("Conectado"), serial = card.find("serial:/dev/ttyUSB0"),
               tcp = card.find("10.0.0.5:4001&lt;b&gt;"), lastMessage = card.find("mensagem recebida");
  ASSERT_NE(serial, std::string::npos) << card;
  ASSERT_NE(tcp, std::string::npos) << card;
  EXPECT_LT(connected, serial);
  EXPECT_LT(serial, tcp);
  EXPECT_LT(tcp, lastMessage);
  EXPECT_EQ(card.find("10.0.0.5:4001<b>"), std::string::npos);
  EXPECT_NE(card.find("<span class=\"v ok\">aberta desde "), std::string::npos) << card;
  EXPECT_NE(card.find("<span class=\"v bad\">fechada, reabrindo desde "), std::string::npos) << card;
  EXPECT_NE(card.find("conex\xC3\xA3o recusada"), std::string::npos) << card;
  EXPECT_NE(card.find("dispositivo desconectado"), std::string::npos) << card;
  EXPECT_EQ(card.find("ttyS1"), std::string::npos) << card;
  EXPECT_NE(page.substr(mindray).find("serial:/dev/ttyS1"), std::string::npos);
}

TEST(StatusPage, EverythingShownIsEscaped) {
  TStatusSnapshot s = Healthy();
  s.analyzers[0].model = "<script>alert('x')</script>";
  s.analyzers[0].resultsPerHour.assign(RESULT_HOURS, 1);  // the chart names the model too
  s.analyzers[0].lastError = "Erro: \"a\" & <b>";
  s.analyzers[0].lastErrorAt = s.taken;
  s.outputFolder = "/srv/<saida>/";
  s.recentErrors = {"09/12/2026 10:00:00\tTSocketClient.X() -> Erro: <img src=x onerror=y>"};
  s.lis.ok = false;
  s.lis.error = "falha <no> banco \xE9";
  const std::string page = RenderStatusPage(s);
  for (const char* raw : {"<script>", "<b>", "<img", "<saida>", "<no>", "'x'"})
    EXPECT_EQ(page.find(raw), std::string::npos) << raw;
  for (const char* escaped : {"&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;", "&quot;a&quot; &amp; &lt;b&gt;",
                              "&lt;img src=x onerror=y&gt;", "/srv/&lt;saida&gt;/", "falha &lt;no&gt; banco \xC3\xA9"})
    EXPECT_NE(page.find(escaped), std::string::npos) << escaped;
  EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"5\">"), std::string::npos);
  EXPECT_NE(page.find("name=\"viewport\""), std::string::npos);
  // One document, nothing fetched from elsewhere.
  EXPECT_EQ(page.find("src="), page.find("src=x"));
  EXPECT_EQ(page.find("href="), std::string::npos);
}

TEST(StatusPage, AnOutputFolderThatDoesNotAnswerIsSaidSo) {
  TStatusSnapshot s = Healthy();
  EXPECT_EQ(RenderStatusPage(s).find("n\xC3\xA3o responde"), std::string::npos);
  s.folderSilentSeconds = 75;
  s.folderAlarmSeconds = 60;
  const std::string page = RenderStatusPage(s);
  // In the folder's card, and among the reasons.
  EXPECT_NE(page.find("N\xC3\x83O: n\xC3\xA3o responde h\xC3\xA1 75 s"), std::string::npos);
  EXPECT_NE(page.find("pasta destino n\xC3\xA3o responde h\xC3\xA1 75 s"), std::string::npos);
}

// The chart of results per hour: one bar per hour, the hour under way on the
// right, heights scaled to the busiest hour, each bar's hour and count readable.
TEST(StatusPage, ResultsPerHourChart) {
  TStatusSnapshot s = Healthy();
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = 11;
  tm.tm_mday = 9;
  tm.tm_hour = 14;
  tm.tm_isdst = -1;
  s.hourNow = std::mktime(&tm);  // 09/12/2026 14:00, local
  s.taken = s.hourNow + 600;
  std::vector<uint32_t> series(RESULT_HOURS, 0);
  series[0] = 1;   // 15h the day before
  series[22] = 2;  // 13h
  series[23] = 4;  // 14h, under way
  s.analyzers[0].resultsPerHour = series;
  TAnalyzerStatus quiet;
  quiet.model = "Mindray";
  quiet.resultsPerHour.assign(RESULT_HOURS, 0);
  s.analyzers.push_back(quiet);
  const std::string page = RenderStatusPage(s);
  const size_t xn = page.find("<h2>XN-550</h2>"), mindray = page.find("<h2>Mindray</h2>");
  ASSERT_NE(xn, std::string::npos);
  ASSERT_NE(mindray, std::string::npos);
  const std::string card = page.substr(xn, mindray - xn);
  size_t bars = 0;
  for (size_t at = card.find("<rect class=\"bar\""); at != std::string::npos; at = card.find("<rect class=\"bar\"", at + 1))
    ++bars;
  EXPECT_EQ(bars, RESULT_HOURS);
  for (const char* bar : {"y=\"4\" width=\"8\" height=\"46\" data-hour=\"14h\" data-count=\"4\"><title>14h: 4</title>",
                          "y=\"27\" width=\"8\" height=\"23\" data-hour=\"13h\" data-count=\"2\">",
                          "x=\"1\" y=\"38\" width=\"8\" height=\"12\" data-hour=\"15h\" data-count=\"1\">",
                          "height=\"0\" data-hour=\"12h\" data-count=\"0\">"})
    EXPECT_NE(card.find(bar), std::string::npos) << bar << "\n" << card;
  EXPECT_NE(card.find("7 no total, m\xC3\xA1ximo 4 por hora"), std::string::npos) << card;
  EXPECT_NE(card.find("x=\"240\" y=\"60\" text-anchor=\"end\">14h</text>"), std::string::npos) << card;
  // A quiet analyzer: the bars are there, all empty.
  const std::string quietCard = page.substr(mindray);
  EXPECT_NE(quietCard.find("0 no total"), std::string::npos);
  EXPECT_EQ(quietCard.find("data-count=\"1\""), std::string::npos);
}

TEST(StatusMetrics, CountersHistogramAndLabels) {
  TStatusSnapshot s = Healthy();
  TCounterRow r;
  r.model = "Modelo \"A\"\\B";
  r.protocol = "HL7";
  r.archived = 7;
  r.replies = 3;
  r.naks = 1;
  s.counters.push_back(r);
  s.lis.found = 4;
  s.lis.errors = 1;
  s.lis.bucketCounts[0] = 2;  // <= 5 ms
  s.lis.bucketCounts[4] = 3;  // <= 100 ms
  s.lis.count = 5;
  s.lis.sumSeconds = 0.25;
  s.spoolDepth = 2;
  s.spoolOldest = s.taken - 90;
  const std::string m = RenderMetrics(s);
  const std::string labels = R"({modelo="Modelo \"A\"\\B",protocolo="HL7"})";
  for (const std::string& line : {
           "kv_redurozozi_messages_archived_total" + labels + " 7\n",
           "kv_redurozozi_replies_sent_total" + labels + " 3\n",
           "kv_redurozozi_naks_received_total" + labels + " 1\n",
           "kv_redurozozi_checksum_errors_total" + labels + " 0\n",
           std::string("kv_redurozozi_lis_lookups_total{outcome=\"found\"} 4\n"),
           std::string("kv_redurozozi_lis_lookups_total{outcome=\"error\"} 1\n"),
           std::string("kv_redurozozi_lis_lookup_duration_seconds_bucket{le=\"0.005\"} 2\n"),
           std::string("kv_redurozozi_lis_lookup_duration_seconds_bucket{le=\"0.05\"} 2\n"),
           std::string("kv_redurozozi_lis_lookup_duration_seconds_bucket{le=\"0.1\"} 5\n"),
           std::string("kv_redurozozi_lis_lookup_duration_seconds_bucket{le=\"+Inf\"} 5\n"),
           std::string("kv_redurozozi_lis_lookup_duration_seconds_sum 0.25\n"),
           std::string("kv_redurozozi_lis_lookup_duration_seconds_count 5\n"),
           std::string("kv_redurozozi_spool_messages 2\n"),
           std::string("kv_redurozozi_spool_oldest_age_seconds 90\n"),
           std::string("# TYPE kv_redurozozi_lis_lookup_duration_seconds histogram\n"),
       })
    EXPECT_NE(m.find(line), std::string::npos) << line << "\n" << m;
}

}  // namespace
