// Links the service opens itself, without I/O: the reconnection policy (what
// is done and logged on each event) as scenario tables, the names of links,
// the words of the line settings and the reasons of failures.
#include <gtest/gtest.h>

#include <asio/error.hpp>

#include <string>
#include <vector>

#include "links/TLinkFailure.hpp"
#include "links/TLinkTarget.hpp"
#include "links/TReconnectPolicy.hpp"
#include "config/TSerialSettings.hpp"
#include "util/Encoding.hpp"
#include "LinkPrinters.hpp"

using namespace std::chrono_literals;
using linkpolicy::TAction;
using linkpolicy::TEvent;
using linkpolicy::TState;
using K = TLinkFailureKind;

namespace {

struct Row {
  TEvent event;
  TLinkFailure failure;
  TState next;
  TAction action;
  std::string line;  // UTF-8 here; the log holds Windows-1252
};

struct Scenario {
  std::string name;
  std::vector<Row> rows;
};

const TLinkFailure kNone{};
const TLinkFailure kMissing{K::DeviceMissing, ""};
const TLinkFailure kBusy{K::Busy, ""};
const TLinkFailure kUnplugged{K::DeviceLost, ""};
const TLinkFailure kRefused{K::Refused, ""};
const TLinkFailure kClosed{K::ClosedByPeer, ""};
const TLinkFailure kSpeed{K::SettingsRefused, "velocidade 12345"};
const TLinkFailure kStopBits{K::SettingsRefused, "bitsParada 2"};

const std::string kUnavailableMissing =
    "Conexão serial:/dev/ttyUSB0 indisponível: dispositivo inexistente. Nova tentativa a cada 5 s";
const std::string kUnavailableBusy =
    "Conexão serial:/dev/ttyUSB0 indisponível: porta em uso por outro programa. Nova tentativa a cada 5 s";
const std::string kLostUnplugged =
    "Conexão serial:/dev/ttyUSB0 perdida: dispositivo desconectado. Nova tentativa em 5 s";
const std::string kBack = "Conexão serial:/dev/ttyUSB0 restabelecida";

const std::vector<Scenario> kScenarios = {
    {"opened at the first attempt: nothing to add to the session's own line",
     {{TEvent::Start, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::Opened, kNone, TState::Open, TAction::Serve, ""}}},
    {"a missing device is logged once however often it is tried, and once when it is back",
     {{TEvent::Start, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kMissing, TState::Waiting, TAction::WaitThenOpen, kUnavailableMissing},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kMissing, TState::Waiting, TAction::WaitThenOpen, ""},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kMissing, TState::Waiting, TAction::WaitThenOpen, ""},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::Opened, kNone, TState::Open, TAction::Serve, kBack}}},
    {"a changed reason is logged again, a reason seen before the change too",
     {{TEvent::Start, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kMissing, TState::Waiting, TAction::WaitThenOpen, kUnavailableMissing},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kBusy, TState::Waiting, TAction::WaitThenOpen, kUnavailableBusy},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kBusy, TState::Waiting, TAction::WaitThenOpen, ""},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kMissing, TState::Waiting, TAction::WaitThenOpen, kUnavailableMissing}}},
    {"a refused setting names the setting; another setting is another reason",
     {{TEvent::Start, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kSpeed, TState::Waiting, TAction::WaitThenOpen,
       "Conexão serial:/dev/ttyUSB0 indisponível: configuração recusada pela porta (velocidade 12345). "
       "Nova tentativa a cada 5 s"},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kSpeed, TState::Waiting, TAction::WaitThenOpen, ""},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kStopBits, TState::Waiting, TAction::WaitThenOpen,
       "Conexão serial:/dev/ttyUSB0 indisponível: configuração recusada pela porta (bitsParada 2). "
       "Nova tentativa a cada 5 s"}}},
    {"unplugged while open: the loss, then the missing device once, then the return",
     {{TEvent::Start, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::Opened, kNone, TState::Open, TAction::Serve, ""},
      {TEvent::Lost, kUnplugged, TState::Waiting, TAction::WaitThenOpen, kLostUnplugged},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kMissing, TState::Waiting, TAction::WaitThenOpen, kUnavailableMissing},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kMissing, TState::Waiting, TAction::WaitThenOpen, ""},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::Opened, kNone, TState::Open, TAction::Serve, kBack}}},
    {"every loss is logged, even for the same reason as the last; reopened at once is logged too",
     {{TEvent::Start, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::Opened, kNone, TState::Open, TAction::Serve, ""},
      {TEvent::Lost, kUnplugged, TState::Waiting, TAction::WaitThenOpen, kLostUnplugged},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::Opened, kNone, TState::Open, TAction::Serve, kBack},
      {TEvent::Lost, kUnplugged, TState::Waiting, TAction::WaitThenOpen, kLostUnplugged}}},
    {"the same reason after an open is news again",
     {{TEvent::Start, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kMissing, TState::Waiting, TAction::WaitThenOpen, kUnavailableMissing},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::Opened, kNone, TState::Open, TAction::Serve, kBack},
      {TEvent::Lost, kUnplugged, TState::Waiting, TAction::WaitThenOpen, kLostUnplugged},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kMissing, TState::Waiting, TAction::WaitThenOpen, kUnavailableMissing}}},
    {"the stop ends an attempt, a wait or an open link; after it nothing happens",
     {{TEvent::Start, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::OpenFailed, kMissing, TState::Waiting, TAction::WaitThenOpen, kUnavailableMissing},
      {TEvent::Stop, kNone, TState::Stopped, TAction::Cancel, ""},
      {TEvent::RetryTime, kNone, TState::Stopped, TAction::None, ""},
      {TEvent::Opened, kNone, TState::Stopped, TAction::None, ""},
      {TEvent::OpenFailed, kMissing, TState::Stopped, TAction::None, ""},
      {TEvent::Lost, kUnplugged, TState::Stopped, TAction::None, ""},
      {TEvent::Start, kNone, TState::Stopped, TAction::None, ""},
      {TEvent::Stop, kNone, TState::Stopped, TAction::None, ""}}},
    {"stopped while opening",
     {{TEvent::Start, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::Stop, kNone, TState::Stopped, TAction::Cancel, ""}}},
    {"stopped while open", {{TEvent::Start, kNone, TState::Opening, TAction::Open, ""},
                            {TEvent::Opened, kNone, TState::Open, TAction::Serve, ""},
                            {TEvent::Stop, kNone, TState::Stopped, TAction::Cancel, ""}}},
    {"stopped before the start", {{TEvent::Stop, kNone, TState::Stopped, TAction::Cancel, ""}}},
    {"late and out-of-place events change nothing",
     {{TEvent::Opened, kNone, TState::Idle, TAction::None, ""},
      {TEvent::RetryTime, kNone, TState::Idle, TAction::None, ""},
      {TEvent::Lost, kUnplugged, TState::Idle, TAction::None, ""},
      {TEvent::Start, kNone, TState::Opening, TAction::Open, ""},
      {TEvent::Start, kNone, TState::Opening, TAction::None, ""},
      {TEvent::RetryTime, kNone, TState::Opening, TAction::None, ""},
      {TEvent::Lost, kUnplugged, TState::Opening, TAction::None, ""},
      {TEvent::Opened, kNone, TState::Open, TAction::Serve, ""},
      {TEvent::Opened, kNone, TState::Open, TAction::None, ""},
      {TEvent::OpenFailed, kMissing, TState::Open, TAction::None, ""},
      {TEvent::RetryTime, kNone, TState::Open, TAction::None, ""},
      {TEvent::Lost, kUnplugged, TState::Waiting, TAction::WaitThenOpen, kLostUnplugged},
      {TEvent::Lost, kUnplugged, TState::Waiting, TAction::None, ""},
      {TEvent::Opened, kNone, TState::Waiting, TAction::None, ""},
      {TEvent::OpenFailed, kMissing, TState::Waiting, TAction::None, ""}}},
};

}  // namespace

TEST(LinkPolicy, Scenarios) {
  for (const Scenario& sc : kScenarios) {
    TReconnectPolicy policy("serial:/dev/ttyUSB0", 5s);
    for (size_t i = 0; i < sc.rows.size(); ++i) {
      const Row& r = sc.rows[i];
      const linkpolicy::TStep step = policy.Step(r.event, r.failure, 1000 + static_cast<std::time_t>(i));
      const std::string where = sc.name + ", row " + std::to_string(i) + " (" + linkpolicy::Name(r.event) + ")";
      EXPECT_EQ(linkpolicy::Name(step.next), linkpolicy::Name(r.next)) << where;
      EXPECT_EQ(linkpolicy::Name(step.action), linkpolicy::Name(r.action)) << where;
      EXPECT_EQ(Cp1252ToUtf8(step.logLine), r.line) << where;
      EXPECT_EQ(policy.state(), step.next) << where;
    }
  }
}

TEST(LinkPolicy, StatusTellsOpenOrReopeningSinceAndTheLastError) {
  TReconnectPolicy policy("10.0.0.5:4001", 2500ms);
  EXPECT_EQ(policy.status(), (TLinkStatus{"10.0.0.5:4001", false, 0, "", 0}));
  policy.Step(TEvent::Start, {}, 100);
  policy.Step(TEvent::OpenFailed, kRefused, 101);
  EXPECT_EQ(policy.status(), (TLinkStatus{"10.0.0.5:4001", false, 101, "conex\xE3o recusada", 101}));
  policy.Step(TEvent::RetryTime, {}, 104);
  const linkpolicy::TStep again = policy.Step(TEvent::OpenFailed, {K::NoAnswer, ""}, 104);
  EXPECT_EQ(Cp1252ToUtf8(again.logLine),
            "Conexão 10.0.0.5:4001 indisponível: sem resposta. Nova tentativa a cada 2500 ms");
  // Reopening since the first failure; the last error is the latest.
  EXPECT_EQ(policy.status(), (TLinkStatus{"10.0.0.5:4001", false, 101, "sem resposta", 104}));
  policy.Step(TEvent::RetryTime, {}, 107);
  policy.Step(TEvent::Opened, {}, 107);
  // The last error stays for the page after the link is open again.
  EXPECT_EQ(policy.status(), (TLinkStatus{"10.0.0.5:4001", true, 107, "sem resposta", 104}));
  const linkpolicy::TStep lost = policy.Step(TEvent::Lost, kClosed, 200);
  EXPECT_EQ(Cp1252ToUtf8(lost.logLine),
            "Conexão 10.0.0.5:4001 perdida: conexão encerrada pelo servidor de portas. Nova tentativa em 2500 ms");
  EXPECT_EQ(policy.status(),
            (TLinkStatus{"10.0.0.5:4001", false, 200, "conex\xE3o encerrada pelo servidor de portas", 200}));
}

TEST(LinkTarget, NamesAndConectarEm) {
  EXPECT_EQ(SerialTarget("/dev/ttyUSB0", {}).Name(), "serial:/dev/ttyUSB0");
  EXPECT_EQ(SerialTarget("COM3", {}).Name(), "serial:COM3");
  struct Case {
    std::string text;
    bool valid;
    std::string host;
    int port;
    std::string name;
  };
  const std::vector<Case> cases = {
      {"10.0.0.5:4001", true, "10.0.0.5", 4001, "10.0.0.5:4001"},
      {"moxa-lab1:950", true, "moxa-lab1", 950, "moxa-lab1:950"},
      {"[fe80::1]:4001", true, "fe80::1", 4001, "[fe80::1]:4001"},
      {"host:1", true, "host", 1, "host:1"},
      {"host:65535", true, "host", 65535, "host:65535"},
      {"host:65536", false, "", 0, ""},
      {"host:0", false, "", 0, ""},
      {"host:", false, "", 0, ""},
      {":4001", false, "", 0, ""},
      {"host", false, "", 0, ""},
      {"host:40a1", false, "", 0, ""},
      {"host:-1", false, "", 0, ""},
      {"host:004001", false, "", 0, ""},
      {"fe80::1:4001", false, "", 0, ""},  // which colon is the port's?
      {"[]:4001", false, "", 0, ""},
      {"my host:4001", false, "", 0, ""},
      {"", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    const std::optional<TLinkTarget> t = TcpTarget(c.text);
    ASSERT_EQ(t.has_value(), c.valid) << c.text;
    if (!t) continue;
    EXPECT_EQ(t->host, c.host) << c.text;
    EXPECT_EQ(t->port, c.port) << c.text;
    EXPECT_EQ(t->Name(), c.name) << c.text;
  }
}

TEST(LinkTarget, LineSettingWordsBothWays) {
  for (TParidade p : {TParidade::Nenhuma, TParidade::Par, TParidade::Impar})
    EXPECT_EQ(ParidadeFromWord(Word(p)), p) << Word(p);
  for (TControleFluxo c : {TControleFluxo::Nenhum, TControleFluxo::RtsCts, TControleFluxo::XonXoff})
    EXPECT_EQ(ControleFluxoFromWord(Word(c)), c) << Word(c);
  EXPECT_EQ(ParidadeFromWord("Par"), TParidade::Par);
  EXPECT_EQ(ControleFluxoFromWord("RTSCTS"), TControleFluxo::RtsCts);
  for (const char* bad : {"", "even", "none", "nenhum", "pares"}) EXPECT_FALSE(ParidadeFromWord(bad)) << bad;
  for (const char* bad : {"", "hardware", "nenhuma", "rts/cts"}) EXPECT_FALSE(ControleFluxoFromWord(bad)) << bad;
  EXPECT_EQ(Describe(TSerialSettings{}), "9600 8N1");
  EXPECT_EQ(Describe(TSerialSettings{2400, 7, TParidade::Par, 2, TControleFluxo::XonXoff}), "2400 7E2 xonxoff");
  EXPECT_EQ(Describe(TSerialSettings{115200, 8, TParidade::Impar, 1, TControleFluxo::RtsCts}), "115200 8O1 rtscts");
}

TEST(LinkFailure, ReasonsOfConnectionsAndLostLinks) {
  using Kind = TLinkTarget::TKind;
  const std::vector<std::pair<std::error_code, TLinkFailure>> connecting = {
      {asio::error::connection_refused, {K::Refused, ""}},
      {asio::error::host_not_found, {K::NameUnknown, ""}},
      {asio::error::host_not_found_try_again, {K::NameUnknown, ""}},
      {asio::error::host_unreachable, {K::Unreachable, ""}},
      {asio::error::network_unreachable, {K::Unreachable, ""}},
      {asio::error::timed_out, {K::NoAnswer, ""}},
      {asio::error::access_denied, {K::Other, std::error_code(asio::error::access_denied).message()}},
  };
  for (const auto& [ec, failure] : connecting) EXPECT_EQ(ConnectFailure(ec), failure) << ec.message();
  const std::vector<std::pair<std::error_code, TLinkFailure>> lost = {
      {asio::error::eof, {K::ClosedByPeer, ""}},
      {asio::error::connection_reset, {K::Reset, ""}},
      {asio::error::connection_aborted, {K::Reset, ""}},
      {asio::error::broken_pipe, {K::Reset, ""}},
      {asio::error::timed_out, {K::NoAnswer, ""}},  // the keep-alive probes went unanswered
  };
  for (const auto& [ec, failure] : lost) EXPECT_EQ(LostFailure(Kind::Tcp, ec), failure) << ec.message();
  // A serial port that ends is a device gone, whatever the system said.
  EXPECT_EQ(LostFailure(Kind::Serial, asio::error::eof), (TLinkFailure{K::DeviceLost, ""}));
  const std::error_code eio(EIO, std::system_category());
  EXPECT_EQ(LostFailure(Kind::Serial, eio), (TLinkFailure{K::DeviceLost, eio.message()}));
  EXPECT_EQ(Cp1252ToUtf8(Describe(LostFailure(Kind::Serial, eio))), "dispositivo desconectado (" + eio.message() + ")");
  EXPECT_EQ(Cp1252ToUtf8(Describe({K::Other, "Disk quota exceeded"})), "erro (Disk quota exceeded)");
  EXPECT_EQ(Describe({K::None, ""}), "");
}
