// The status page, /health and /metrics of the real executable with the demo
// LIS, while the demo analyzers are played: the page as a headless browser
// renders it, the metrics through promtool, health through faults.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>

#include "status/StatusTestSupport.hpp"
#include "support/LisDatabase.hpp"
#include "support/PtyPair.hpp"
#include "support/ServiceProcess.hpp"
#include "support/TestSupport.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace statustest;
using kvtest::ReadFile;
using kvtest::WaitFor;

namespace {

const std::string kSim = std::string(KV_BINARY_DIR) + "/analyzer-sim --quiet --timeout 10 ";
const std::string kMessages = std::string(KV_SOURCE_DIR) + "/demo/messages/";

// The value of one sample line of /metrics ("" when absent).
std::string MetricValue(const std::string& metrics, const std::string& series) {
  const size_t at = metrics.find("\n" + series + " ");
  if (at == std::string::npos) return "";
  const size_t from = at + series.size() + 2;
  return metrics.substr(from, metrics.find('\n', from) - from);
}

std::string Labels(const std::string& modelo, const std::string& protocolo) {
  return "{modelo=\"" + modelo + "\",protocolo=\"" + protocolo + "\"}";
}

// The text of the page's card of an analyzer, from the browser's DOM.
std::string Card(const std::string& dom, const std::string& modelo) {
  const size_t at = dom.find("<h2>" + modelo + "</h2>");
  if (at == std::string::npos) return "";
  return dom.substr(at, dom.find("<div class=\"card\">", at) - at);
}

bool Shows(const std::string& card, const std::string& label, const std::string& value) {
  return std::regex_search(card, std::regex(label + "</span><span class=\"v[^\"]*\">" + value + "</span>"));
}

std::string HealthStatus(int port) {
  const Reply r = Get("127.0.0.1", port, "/health");
  const auto j = nlohmann::json::parse(r.body, nullptr, false);
  return j.is_object() ? j.value("status", "") + " " + std::to_string(r.status) : "no answer";
}

class StatusEndToEnd : public ::testing::Test {
 protected:
  // serialDevice: the Icounter also on that serial port (a link the service opens itself).
  void StartDemo(const std::string& databaseJson = {}, const std::string& serialDevice = {}) {
    kvtest::CreateLisDatabase(dir.path());
    if (!databaseJson.empty()) kvtest::WriteFile(dir / "database.json", databaseJson);
    statusPort = kvtest::FreePort();
    nlohmann::json config = DemoConfig(dir.path(), statusPort);
    if (!serialDevice.empty())
      for (auto& a : config["analisadores"])
        if (a.value("modelo", "") == "Icounter") a["portaSerial"] = serialDevice;
    service = std::make_unique<kvtest::ServiceProcess>(dir.path(), config);
    ASSERT_TRUE(service->WaitListening()) << service->LogText();
    ASSERT_TRUE(WaitFor([&] { return Get("127.0.0.1", statusPort, "/health").status == 200; }, 10s))
        << service->LogText();
  }
  std::string Sim(const std::string& args) {
    return kSim + "--port " + std::to_string(service->port()) + " " + args;
  }

  kvtest::TempDir dir;
  int statusPort = 0;
  std::unique_ptr<kvtest::ServiceProcess> service;
};

TEST_F(StatusEndToEnd, PageMetricsAndHealthWhileTheDemoAnalyzersPlay) {
  // The Icounter is also wired to a serial port: its link shows, open, in its card.
  std::unique_ptr<kvtest::PtyPair> serial;
  if (kvtest::PtyPair::Available()) serial = std::make_unique<kvtest::PtyPair>();
  const std::string link = serial ? "serial:" + serial->a() : "";
  ASSERT_NO_FATAL_FAILURE(StartDemo({}, serial ? serial->a() : ""));
  // The page answers from the moment its port opens, the line that says so may follow a moment later.
  EXPECT_TRUE(service->WaitForLog("P\xE1gina de status: http://127.0.0.1:" + std::to_string(statusPort) + "/"))
      << service->LogText();

  // The demo script, then the XN-550 again with a bad checksum and with a lost ACK.
  std::string out;
  ASSERT_EQ(Shell("KV_BUILD_DIR=" KV_BINARY_DIR " KV_RUN_DIR=" + dir.path() + " KV_PORT=" +
                    std::to_string(service->port()) + " KV_SIM_TIMEOUT=10 bash " KV_SOURCE_DIR "/scripts/demo.sh",
                &out),
            0)
      << out;
  ASSERT_EQ(Shell(Sim("--bad-checksum 2 " + kMessages + "hematology-xn550.astm"), &out), 0) << out;
  ASSERT_EQ(Shell(Sim("--lose-ack 2 " + kMessages + "hematology-xn550.astm"), &out), 0) << out;

  // Counters equal what was sent.
  const std::string xn = Labels("XN-550", "ASTM"), mindray = Labels("Mindray", "HL7"), ic = Labels("Icounter", "JSON");
  std::string metrics;
  const std::string idle = serial ? "1" : "0";  // the serial link stays open
  ASSERT_TRUE(WaitFor([&] {
    metrics = Get("127.0.0.1", statusPort, "/metrics").body;
    return MetricValue(metrics, "kv_redurozozi_messages_archived_total" + xn) == "3" &&
           MetricValue(metrics, "kv_redurozozi_messages_archived_total" + ic) == "1" &&
           MetricValue(metrics, "kv_redurozozi_open_connections") == idle;
  }, 10s)) << metrics;
  const std::map<std::string, std::string> expected = {
      {"kv_redurozozi_messages_archived_total" + mindray, "1"},
      {"kv_redurozozi_replies_sent_total" + xn, "2"},       // two query replies
      {"kv_redurozozi_replies_sent_total" + mindray, "2"},  // ACK^R01 and the query reply
      {"kv_redurozozi_replies_sent_total" + ic, "0"},
      {"kv_redurozozi_checksum_errors_total" + xn, "1"},
      {"kv_redurozozi_duplicate_frames_total" + xn, "1"},
      {"kv_redurozozi_naks_received_total" + xn, "0"},
      {"kv_redurozozi_lis_lookups_total{outcome=\"error\"}", "0"},
      {"kv_redurozozi_lis_up", "1"},
      {"kv_redurozozi_open_connections", idle},
      {"kv_redurozozi_spool_messages", "0"},
  };
  for (const auto& [series, value] : expected) EXPECT_EQ(MetricValue(metrics, series), value) << series;
  if (serial) {
    EXPECT_EQ(MetricValue(metrics, "kv_redurozozi_link_up{modelo=\"Icounter\",link=\"" + link + "\"}"), "1") << metrics;
  }
  EXPECT_NE(MetricValue(metrics, "kv_redurozozi_lis_lookups_total{outcome=\"found\"}"), "0");
  EXPECT_NE(MetricValue(metrics, "kv_redurozozi_lis_lookups_total{outcome=\"not_found\"}"), "0");  // sample 9999
  EXPECT_GT(std::stoll(MetricValue(metrics, "process_resident_memory_bytes")), 1'000'000);
  if (Have("promtool")) {
    kvtest::WriteFile(dir / "metrics.txt", metrics);
    EXPECT_EQ(Shell("promtool check metrics < " + (dir / "metrics.txt"), &out), 0) << out;
    EXPECT_EQ(out, "") << "promtool's remarks";
  } else {
    std::printf("promtool not installed: /metrics not checked by it (Debian package prometheus)\n");
  }
  EXPECT_EQ(HealthStatus(statusPort), "ok 200");

  // The page as a browser renders it.
  if (!Have("chromium")) GTEST_SKIP() << "chromium not installed: the page is not rendered (Debian package chromium)";
  const std::string url = "http://127.0.0.1:" + std::to_string(statusPort) + "/";
  const std::string browser = "chromium --headless --no-sandbox --disable-gpu --user-data-dir=" + (dir / "chromium") +
                              " ";
  std::string dom;
  ASSERT_EQ(Shell(browser + "--dump-dom " + url + " 2>/dev/null", &dom), 0) << dom;
  const std::string xnCard = Card(dom, "XN-550"), mindrayCard = Card(dom, "Mindray"), icCard = Card(dom, "Icounter");
  ASSERT_FALSE(xnCard.empty()) << dom;
  ASSERT_FALSE(mindrayCard.empty()) << dom;
  ASSERT_FALSE(icCard.empty()) << dom;
  EXPECT_TRUE(Shows(xnCard, "Resultados hoje", "3")) << xnCard;
  EXPECT_TRUE(Shows(xnCard, "Consultas hoje", "2")) << xnCard;
  EXPECT_TRUE(Shows(xnCard, "Erros de checksum hoje", "1")) << xnCard;
  EXPECT_TRUE(Shows(xnCard, "Protocolo", "ASTM")) << xnCard;
  EXPECT_TRUE(Shows(mindrayCard, "Resultados hoje", "1")) << mindrayCard;
  EXPECT_TRUE(Shows(mindrayCard, "Consultas hoje", "1")) << mindrayCard;
  EXPECT_TRUE(Shows(icCard, "Resultados hoje", "1")) << icCard;
  if (serial) {
    EXPECT_TRUE(Shows(icCard, "Conex\xC3\xA3o " + link, "aberta desde [0-9/]+ [0-9:]+")) << icCard;
    EXPECT_TRUE(Shows(icCard, "Conectado", "sim, de " + link)) << icCard;  // its card from the start
    EXPECT_EQ(dom.find("(n\xC3\xA3o identificado)"), std::string::npos) << dom;
    EXPECT_EQ(xnCard.find("Conex\xC3\xA3o serial:"), std::string::npos) << xnCard;
  } else {
    std::printf("socat not installed: no serial link on the page (Debian package socat)\n");
  }
  EXPECT_TRUE(Shows(dom, "Estado", "OK")) << dom;
  EXPECT_TRUE(Shows(dom, "Grav\xC3\xA1vel", "sim")) << dom;
  // No patient names on the page (the demo orders' patients).
  EXPECT_EQ(dom.find("SILVA"), std::string::npos);
  // Each card's chart: 24 hourly bars whose counts add up to the results sent
  // (all in the last hour or two, however the run straddles an hour).
  const std::vector<std::pair<std::string, int>> charts = {{xnCard, 3}, {mindrayCard, 1}, {icCard, 1}};
  for (const auto& [card, results] : charts) {
    const std::regex bar("<rect class=\"bar\"[^>]* data-count=\"([0-9]+)\"");
    int bars = 0, recent = 0, early = 0;
    for (auto it = std::sregex_iterator(card.begin(), card.end(), bar); it != std::sregex_iterator(); ++it, ++bars)
      (bars < 22 ? early : recent) += std::stoi((*it)[1].str());
    EXPECT_EQ(bars, 24) << card;
    EXPECT_EQ(recent, results) << card;
    EXPECT_EQ(early, 0) << card;
    EXPECT_NE(card.find("<svg viewBox=\"0 0 240 62\" role=\"img\""), std::string::npos) << card;
  }

  const std::string shot = std::string(KV_BINARY_DIR) + "/status-page.png";
  fs::remove(shot);
  ASSERT_EQ(Shell(browser + "--hide-scrollbars --window-size=1100,1000 --screenshot=" + shot + " " + url, &out), 0)
      << out;
  EXPECT_EQ(ReadFile(shot).substr(0, 8), "\x89PNG\r\n\x1A\n");
  std::printf("status page screenshot: %s\n", shot.c_str());
  // And as a phone shows it (one column).
  const std::string phone = std::string(KV_BINARY_DIR) + "/status-page-phone.png";
  fs::remove(phone);
  ASSERT_EQ(Shell(browser + "--hide-scrollbars --window-size=390,2400 --screenshot=" + phone + " " + url, &out), 0)
      << out;
  EXPECT_EQ(ReadFile(phone).substr(0, 8), "\x89PNG\r\n\x1A\n");
  std::printf("status page on a phone-sized window: %s\n", phone.c_str());
}

TEST_F(StatusEndToEnd, HealthFollowsTheOutputFolderAndTheSpool) {
  ASSERT_NO_FATAL_FAILURE(StartDemo());
  ASSERT_TRUE(WaitFor([&] { return HealthStatus(statusPort) == "ok 200"; }, 10s)) << HealthStatus(statusPort);
  ReadOnlyMount saida, spool;
  if (const std::string why = saida.Make(dir / "saida"); !why.empty())
    GTEST_SKIP() << "the kernel refused a read-only bind mount: " << why;
  EXPECT_TRUE(WaitFor([&] { return HealthStatus(statusPort) == "degraded 200"; }, 10s)) << HealthStatus(statusPort);
  EXPECT_NE(Get("127.0.0.1", statusPort, "/health").body.find("pasta de sa\xC3\xAD" "da sem escrita"),
            std::string::npos);
  ASSERT_EQ(spool.Make(dir / "spool"), "");
  EXPECT_TRUE(WaitFor([&] { return HealthStatus(statusPort) == "down 503"; }, 10s)) << HealthStatus(statusPort);
  spool.Undo();
  saida.Undo();
  EXPECT_TRUE(WaitFor([&] { return HealthStatus(statusPort) == "ok 200"; }, 10s)) << HealthStatus(statusPort);
}

TEST_F(StatusEndToEnd, LisUnreachableIsDegraded) {
  // A server that refuses the connection: nothing listens on that port.
  const int closed = kvtest::FreePort();
  ASSERT_NO_FATAL_FAILURE(StartDemo(R"({"server": "127.0.0.1/)" + std::to_string(closed) +
                                    R"(", "database": "lis.fdb", "user": "SYSDBA", "password": "x"})"));
  const Reply r = Get("127.0.0.1", statusPort, "/health");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("\"status\":\"degraded\""), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("LIS inacess\xC3\xADvel"), std::string::npos) << r.body;
  EXPECT_EQ(MetricValue(Get("127.0.0.1", statusPort, "/metrics").body, "kv_redurozozi_lis_up"), "0");
  EXPECT_NE(Get("127.0.0.1", statusPort, "/").body.find("ERRO: "), std::string::npos);
}

TEST(StatusServer, AnotherAddressNeedsTheToken) {
  kvtest::TempDir dir;
  const int port = kvtest::FreePort();
  nlohmann::json config = DemoConfig(dir.path(), port);
  config["enderecoStatus"] = "127.0.0.2";
  config["tokenStatus"] = "t0k&n";
  kvtest::ServiceProcess service(dir.path(), config);
  ASSERT_TRUE(service.WaitListening()) << service.LogText();
  ASSERT_TRUE(WaitFor([&] { return Get("127.0.0.2", port, "/health", {{"Authorization", "Bearer t0k&n"}}).status == 200; },
                      10s))
      << service.LogText();
  struct Row {
    std::string path;
    httplib::Headers headers;
    int status;
  };
  const std::vector<Row> rows = {
      {"/health", {}, 401},
      {"/", {}, 401},
      {"/metrics", {}, 401},
      {"/health", {{"Authorization", "Bearer wrong"}}, 401},
      {"/health", {{"Authorization", "Basic t0k&n"}}, 401},
      {"/health?token=t0k", {}, 401},
      {"/health", {{"Authorization", "Bearer t0k&n"}}, 200},
      {"/metrics?token=t0k%26n", {}, 200},
      {"/?token=t0k%26n", {}, 200},
  };
  for (const Row& r : rows) EXPECT_EQ(Get("127.0.0.2", port, r.path, r.headers).status, r.status) << r.path;
  // Bound to that address only.
  EXPECT_EQ(Get("127.0.0.1", port, "/health").status, 0);
}

// A monitor that probes the moment the status port opens gets the health JSON
// and the metrics, never a "not ready yet" 503.
TEST(StatusServer, HealthAndMetricsAnswerFromTheFirstRequest) {
  kvtest::TempDir dir;
  const int port = kvtest::FreePort();
  kvtest::ServiceProcess service(dir.path(), DemoConfig(dir.path(), port));  // no LIS database there
  Reply first;
  ASSERT_TRUE(WaitFor([&] { return (first = Get("127.0.0.1", port, "/health")).status != 0; }, 20s))
      << service.LogText();
  const Reply metrics = Get("127.0.0.1", port, "/metrics");
  EXPECT_EQ(first.status, 200) << first.body;
  const auto health = nlohmann::json::parse(first.body, nullptr, false);
  ASSERT_TRUE(health.is_object()) << first.body;
  EXPECT_EQ(health.value("status", ""), "degraded") << first.body;  // the LIS failed its start-up check
  EXPECT_EQ(metrics.status, 200) << metrics.body;
  EXPECT_NE(metrics.body.find("\nkv_redurozozi_start_time_seconds "), std::string::npos) << metrics.body;
  EXPECT_NE(metrics.body.find("\nkv_redurozozi_lis_up 0"), std::string::npos) << metrics.body;
}

TEST(StatusServer, APortInUseIsLoggedAndTheServiceRunsOn) {
  kvtest::TempDir dir;
  httplib::Server holder;
  const int port = holder.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  kvtest::ServiceProcess service(dir.path(), DemoConfig(dir.path(), port));
  ASSERT_TRUE(service.WaitListening()) << service.LogText();
  EXPECT_TRUE(service.WaitForLog("TStatusHttp.Start() -> Erro: n\xE3o foi poss\xEDvel abrir http://127.0.0.1:" +
                                 std::to_string(port) + "/"))
      << service.LogText();
  EXPECT_TRUE(service.Running());
}

}  // namespace
