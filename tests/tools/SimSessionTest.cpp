// The simulator's sessions against a scripted host on a real socket, and the
// built analyzer-sim program's exit status and error lines.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <sstream>
#include <thread>

#include "analyzer-sim/AstmFrames.hpp"
#include "analyzer-sim/Connection.hpp"
#include "analyzer-sim/Messages.hpp"
#include "analyzer-sim/Mllp.hpp"
#include "analyzer-sim/Session.hpp"
#include "support/TestSupport.hpp"

using namespace sim;
using namespace std::chrono_literals;
using kvtest::Expand;
using kvtest::Repr;

namespace {

// The host side of one connection, driven by a test script on its own thread.
class HostSide {
 public:
  explicit HostSide(int fd) : fd_(fd) {}
  // Reads until pred(everything read so far) holds; false on timeout or close.
  bool ReadUntil(const std::function<bool(const std::string&)>& pred, std::chrono::milliseconds timeout = 3000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred(rx)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[4096];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return false;
      rx.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  // Waits for one more byte-level unit from the analyzer: a control character or a frame up to LF.
  std::string NextUnit() {
    const size_t start = consumed_;
    const bool ok = ReadUntil([&](const std::string& s) {
      if (s.size() <= start) return false;
      if (s[start] != STX && s[start] != VT) return true;
      const char end = s[start] == STX ? LF : FS;
      return s.find(end, start) != std::string::npos && (end == LF || s.find(CR, s.find(FS, start)) != std::string::npos);
    });
    if (!ok) return {};
    size_t stop = start + 1;
    if (rx[start] == STX) stop = rx.find(LF, start) + 1;
    if (rx[start] == VT) stop = rx.find(CR, rx.find(FS, start)) + 1;
    consumed_ = stop;
    return rx.substr(start, stop - start);
  }
  void Send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void Close() { ::shutdown(fd_, SHUT_RDWR); }

  // Acknowledges ENQ and every frame like the service does (ACK CR LF) until EOT;
  // answers NAK to frame nakAt (1-based) instead. Returns the frames received.
  std::vector<std::string> AckTransfer(int nakAt = -1) {
    std::vector<std::string> frames;
    for (;;) {
      const std::string unit = NextUnit();
      if (unit.empty() || unit[0] == EOT) return frames;
      if (unit[0] == STX) {
        frames.push_back(unit);
        if (static_cast<int>(frames.size()) == nakAt) {
          Send(std::string(1, NAK));
          return frames;
        }
      }
      Send(Expand("<ACK><CR><LF>"));
    }
  }

  std::string rx;

 private:
  int fd_;
  size_t consumed_ = 0;
};

// Listens on 127.0.0.1 (a port the system picks) and runs the script for the first connection.
class FakeHost {
 public:
  explicit FakeHost(std::function<void(HostSide&)> script) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_, 4);
    socklen_t len = sizeof addr;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, script] {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return;
      const int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      HostSide host(fd);
      script(host);
      // Keep the connection open until the analyzer side is done with it.
      host.ReadUntil([](const std::string&) { return false; }, 1500ms);
      received_ = host.rx;
      ::close(fd);
    });
  }
  ~FakeHost() {
    if (thread_.joinable()) thread_.join();
    ::close(listen_);
  }
  int port() const { return port_; }
  std::string Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string received_;
};

Options FastOptions() {
  Options o;
  o.timeout = 600ms;
  o.linger = 100ms;
  o.gap = 50ms;
  o.quiet = false;
  return o;
}

// Runs f with a session connected to host; answers the SimError text ("" when none).
std::string RunSession(FakeHost& host, const std::function<void(Session&)>& f, Options options = FastOptions(),
                       std::string* transcript = nullptr, OrderSummary* order = nullptr) {
  std::ostringstream out;
  std::string error;
  try {
    Connection conn("127.0.0.1", host.port(), 2000ms);
    Session session(conn, options, out);
    try {
      f(session);
    } catch (const SimError& e) {
      error = e.what();
    }
    if (order) *order = session.lastOrder();
  } catch (const SimError& e) {
    error = e.what();
  }
  if (transcript) *transcript = out.str();
  return error;
}

const std::vector<std::string> kResult = {
    "H|\\^&|||XN-550^00-24|||||||P|LIS2-A2", "P|1|||1|^SILVA^JOAO", "O|1|1001||^^^^WBC",
    "C|1|I|" + std::string(300, 'x') + "|G", "R|1|^^^^WBC^1|6.42|10*3/uL", "L|1|N"};

}  // namespace

TEST(SimSessionAstm, ResultIsFramedAndEveryFrameAcknowledged) {
  std::vector<std::string> frames;
  FakeHost host([&](HostSide& h) { frames = h.AckTransfer(); });
  std::string transcript;
  EXPECT_EQ(RunSession(host, [&](Session& s) { s.AstmTransfer(kResult); }, FastOptions(), &transcript), "");
  const std::string rx = host.Received();
  ASSERT_FALSE(rx.empty());
  EXPECT_EQ(rx.front(), ENQ);
  EXPECT_EQ(rx.back(), EOT);
  ASSERT_EQ(frames.size(), 7u);  // the 306-character comment record takes two frames
  std::string all;
  for (const std::string& f : frames) all += f;
  std::vector<HostItem> items;
  for (HostItem it = TakeHostItem(all); it.kind != HostItem::None; it = TakeHostItem(all)) items.push_back(it);
  ASSERT_EQ(items.size(), 7u);
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].frameNumber, static_cast<int>((i + 1) % 8)) << i;
    EXPECT_TRUE(items[i].checksumOk) << i << ": " << Repr(items[i].raw);
    EXPECT_EQ(items[i].last, i != 3) << i;
  }
  EXPECT_NE(transcript.find("-> <ENQ>"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("<- <ACK><CR><LF>"), std::string::npos) << transcript;
}

TEST(SimSessionAstm, FailuresAreOneLineErrors) {
  struct Row {
    const char* name;
    std::function<void(HostSide&)> host;
    const char* error;
  };
  const Row rows[] = {
      {"NAK to a frame", [](HostSide& h) { h.AckTransfer(2); }, "the host answered NAK to frame 2 of 7"},
      {"NAK to ENQ", [](HostSide& h) { h.NextUnit(); h.Send(std::string(1, NAK)); }, "NAK to ENQ"},
      {"silent host", [](HostSide& h) { h.NextUnit(); }, "no answer from the host within 600 ms while waiting for the ACK to ENQ"},
      {"junk instead of ACK", [](HostSide& h) { h.NextUnit(); h.Send("OK\r\n"); }, "malformed answer to ENQ"},
      {"host closes", [](HostSide& h) { h.NextUnit(); h.Close(); }, "the host closed the connection"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    FakeHost host(rows[i].host);
    const auto start = std::chrono::steady_clock::now();
    const std::string error = RunSession(host, [&](Session& s) { s.AstmTransfer(kResult); });
    EXPECT_NE(error.find(rows[i].error), std::string::npos) << "row " << i << " (" << rows[i].name << "): " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "row " << i;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "row " << i;
  }
}

namespace {
// The service's way of answering a query: ENQ CR LF, then each item after the analyzer's ACK.
void ReplyTransfer(HostSide& h, const std::vector<std::string>& frames, bool waitAcks = true) {
  h.Send(Expand("<ENQ><CR><LF>"));
  for (const std::string& f : frames) {
    if (waitAcks && h.NextUnit() != std::string(1, ACK)) return;
    h.Send(f);
  }
  if (waitAcks && h.NextUnit() != std::string(1, ACK)) return;
  h.Send(Expand("<EOT><CR><LF>"));
}

std::vector<std::string> ReplyFrames(const std::vector<std::string>& records) {
  std::vector<std::string> frames;
  for (size_t i = 0; i < records.size(); ++i) frames.push_back(BuildFrame(static_cast<int>(i + 1), records[i] + "\r", true));
  return frames;
}
}  // namespace

TEST(SimSessionAstm, QueryReplyIsAcknowledgedAndPrinted) {
  const auto reply = ReplyFrames({"H|\\^&|||||||||||LIS2-A2", "P|1|||1|^JOAO^SILVA||19800514|M",
                                  "O|1|^1001||^^^^WBC\\^^^^PLT||20260109093012|||||N||||||||||||||Q", "L|1|N"});
  FakeHost host([&](HostSide& h) {
    h.AckTransfer();
    ReplyTransfer(h, reply);
  });
  OrderSummary order;
  Identity id;
  EXPECT_EQ(RunSession(host, [&](Session& s) { s.AstmTransfer(BuildAstmQuery(id, "1001", "20260109093012")); },
                       FastOptions(), nullptr, &order),
            "");
  EXPECT_TRUE(order.found);
  ASSERT_EQ(order.lines.size(), 4u);
  EXPECT_NE(order.lines[3].find("WBC, PLT"), std::string::npos) << order.lines[3];
  // ACK to ENQ and to each of the four frames; no ACK to the EOT.
  const std::string rx = host.Received();
  const size_t eot = rx.find(EOT);
  ASSERT_NE(eot, std::string::npos);
  EXPECT_EQ(Repr(rx.substr(eot + 1)), "<ACK><ACK><ACK><ACK><ACK>");
}

TEST(SimSessionAstm, QueryReplyFailures) {
  auto frames = ReplyFrames({"H|\\^&", "P|1", "O|1|^9||||x|||||||||||||||||||Y", "L|1|N"});
  auto badSum = frames;
  badSum[1][badSum[1].size() - 4] = badSum[1][badSum[1].size() - 4] == '0' ? '1' : '0';
  auto badNumber = frames;
  badNumber[1] = BuildFrame(3, "P|1\r", true);
  auto missingO = ReplyFrames({"H|\\^&", "P|1", "L|1|N"});
  struct Row {
    const char* name;
    std::function<void(HostSide&)> host;
    const char* error;
  };
  const Row rows[] = {
      {"bad checksum", [&](HostSide& h) { h.AckTransfer(); ReplyTransfer(h, badSum); }, "bad checksum in reply frame 2"},
      {"frame number", [&](HostSide& h) { h.AckTransfer(); ReplyTransfer(h, badNumber); }, "reply frame number 3, expected 2"},
      {"no O record", [&](HostSide& h) { h.AckTransfer(); ReplyTransfer(h, missingO); }, "malformed query reply"},
      {"no reply", [&](HostSide& h) { h.AckTransfer(); }, "while waiting for the host's reply to the query"},
      {"reply without ENQ", [&](HostSide& h) { h.AckTransfer(); h.Send(frames[0]); }, "expected ENQ"},
  };
  Identity id;
  for (size_t i = 0; i < std::size(rows); ++i) {
    FakeHost host(rows[i].host);
    const std::string error = RunSession(host, [&](Session& s) { s.AstmTransfer(BuildAstmQuery(id, "9", "x")); });
    EXPECT_NE(error.find(rows[i].error), std::string::npos) << "row " << i << " (" << rows[i].name << "): " << error;
  }
  // A bad checksum is refused with NAK before the run ends.
  FakeHost host([&](HostSide& h) { h.AckTransfer(); ReplyTransfer(h, badSum); });
  RunSession(host, [&](Session& s) { s.AstmTransfer(BuildAstmQuery(id, "9", "x")); });
  EXPECT_EQ(host.Received().back(), NAK);
}

TEST(SimSessionAstm, NotFoundReplyIsNoFailure) {
  FakeHost host([&](HostSide& h) {
    h.AckTransfer();
    ReplyTransfer(h, ReplyFrames({"H|\\^&|||||||||||LIS2-A2", "P|1", "O|1|^9999||||x|||||||||||||||||||Y", "L|1|N"}));
  });
  OrderSummary order;
  Identity id;
  EXPECT_EQ(RunSession(host, [&](Session& s) { s.AstmTransfer(BuildAstmQuery(id, "9999", "x")); }, FastOptions(),
                       nullptr, &order),
            "");
  EXPECT_TRUE(order.recognised);
  EXPECT_FALSE(order.found);
}

TEST(SimSessionAstm, PlainRecordsAndBareReply) {
  FakeHost host([&](HostSide& h) {
    h.ReadUntil([](const std::string& s) { return s.find("L|1|N\r") != std::string::npos; });
    h.Send("H|\\^&|||||||||||LIS2-A2\rP|1|||5|^ANA^GONCALVES||19920721|F\rO|1|^1004||^^^^GLU||x|||||N||||||||||||||Q\rL|1|N\r");
  });
  OrderSummary order;
  Identity id;
  EXPECT_EQ(RunSession(host, [&](Session& s) { s.AstmPlain(BuildAstmQuery(id, "1004", "x")); }, FastOptions(), nullptr,
                       &order),
            "");
  EXPECT_TRUE(order.found);
  EXPECT_EQ(host.Received().find('\x02'), std::string::npos);
  EXPECT_EQ(host.Received().find('\n'), std::string::npos);
}

TEST(SimSessionHl7, ResultAcknowledgements) {
  const std::string oru = "MSH|^~\\&|BC-5380|Mindray|||20260109||ORU^R01|77|P|2.3.1\rPID|1||1005\rOBR|1||1005\r";
  struct Row {
    std::string ack;
    const char* error;  // "" when the run succeeds
  };
  const Row rows[] = {
      {"MSH|^~\\&|BC-5380|Mindray|||x||ACK^R01|77|P|2.3.1||||0||ASCII|||\rMSA|AA|77|Message accepted|||0|\r", ""},
      {"MSH|^~\\&|||||x||ACK^R01|77|P|2.3.1\rMSA|AE|77|bad\r", "MSA-1 AE"},
      {"MSH|^~\\&|||||x||ACK^R01|77|P|2.3.1\rMSA|AR|77|no\r", "MSA-1 AR"},
      {"MSH|^~\\&|||||x||ACK^R01|78|P|2.3.1\rMSA|AA|78\r", "control id \"78\", not \"77\""},
      {"MSH|^~\\&|||||x||ACK^R01|77|P|2.3.1\r", "no MSA segment"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    FakeHost host([&](HostSide& h) {
      if (!h.NextUnit().empty()) h.Send(WrapMllp(rows[i].ack));
    });
    const std::string error = RunSession(host, [&](Session& s) { s.Hl7Message(oru); });
    if (*rows[i].error == '\0')
      EXPECT_EQ(error, "") << "row " << i;
    else
      EXPECT_NE(error.find(rows[i].error), std::string::npos) << "row " << i << ": " << error;
    EXPECT_EQ(Repr(host.Received().substr(0, 4)), "<VT>MSH") << "row " << i;
  }
  // A silent host ends the run at the timeout.
  FakeHost silent([](HostSide& h) { h.NextUnit(); });
  EXPECT_NE(RunSession(silent, [&](Session& s) { s.Hl7Message(oru); }).find("no answer from the host within 600 ms"),
            std::string::npos);
}

TEST(SimSessionHl7, QueryGetsQckAndDsrAndConfirmsIt) {
  std::string dsr = "MSH|^~\\&|||SIM|SIM|x||DSR^Q03|43|P|2.3.1||||||ASCII|||\rMSA|AA|43|Message accepted|||0|\rERR|0|\rQAK|SR|OK|\r";
  for (int n = 1; n <= 28; ++n) dsr += "DSP|" + std::to_string(n) + "||" + (n == 21 ? "1001" : "") + "|||\r";
  dsr += "DSP|29||WBC|||\rDSC||\r";
  const std::string qck = "MSH|^~\\&|||SIM|SIM|x||QCK^Q02|42|P|2.3.1||||||ASCII|||\rMSA|AA|42|Message accepted|||0|\rERR|0|\rQAK|SR|OK|\r";
  std::string confirmation;
  FakeHost host([&](HostSide& h) {
    if (h.NextUnit().empty()) return;
    h.Send(WrapMllp(qck) + WrapMllp(dsr));  // block mode: both at once
    confirmation = h.NextUnit();
  });
  OrderSummary order;
  Identity id;
  EXPECT_EQ(RunSession(host, [&](Session& s) { s.Hl7Message(BuildHl7Query(id, "1001", "x", "41")); }, FastOptions(),
                       nullptr, &order),
            "");
  EXPECT_TRUE(order.found);
  host.Received();
  EXPECT_NE(confirmation.find("|ACK^Q03|"), std::string::npos) << Repr(confirmation);
  EXPECT_NE(confirmation.find("MSA|AA|43|"), std::string::npos) << Repr(confirmation);

  // Not found: QCK with QAK NF and nothing else.
  FakeHost nf([&](HostSide& h) {
    if (!h.NextUnit().empty()) h.Send(WrapMllp("MSH|^~\\&|SIM|SIM|||x||QCK^Q02|42|P|2.3.1||||||UNICODE|||\rMSA|AA|42|Message accepted|||0\rERR|0\rQAK|SR|NF\r"));
  });
  EXPECT_EQ(RunSession(nf, [&](Session& s) { s.Hl7Message(BuildHl7Query(id, "9999", "x", "41")); }, FastOptions(),
                       nullptr, &order),
            "");
  EXPECT_FALSE(order.found);
}

TEST(SimSessionJson, DocumentThenLoneEotAndNoAnswer) {
  const std::string doc = "{\n  \"identifier\": \"1001\",\n  \"analyzer\": \"Diagno Icounter\"\n}\n\n";
  std::string first, second;
  FakeHost host([&](HostSide& h) {
    h.ReadUntil([&](const std::string& s) { return s.size() >= doc.size(); });
    first = h.rx;
    h.ReadUntil([&](const std::string& s) { return s.size() > doc.size(); });
    second = h.rx.substr(doc.size());
  });
  EXPECT_EQ(RunSession(host, [&](Session& s) { s.JsonDocument(doc); }), "");
  host.Received();
  EXPECT_EQ(first, doc);  // the EOT did not travel with the text
  EXPECT_EQ(Repr(second), "<EOT>");

  FakeHost chatty([&](HostSide& h) {
    h.ReadUntil([&](const std::string& s) { return s.find(EOT) != std::string::npos; });
    h.Send("?");
  });
  EXPECT_NE(RunSession(chatty, [&](Session& s) { s.JsonDocument(doc); }).find("unexpected"), std::string::npos);
}

TEST(SimConnection, RefusedConnectionIsAClearError) {
  const int port = kvtest::FreePort();
  try {
    Connection conn("127.0.0.1", port, 2000ms);
    FAIL() << "connected to a closed port";
  } catch (const SimError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused");
  }
}

namespace {
struct SimRun {
  int status = -1;
  std::string output;
};
SimRun RunSim(const std::string& args) {
  SimRun r;
  const std::string cmd = std::string(KV_BINARY_DIR) + "/analyzer-sim " + args + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}
}  // namespace

TEST(SimProgram, ExitStatusAndMessages) {
  const int port = kvtest::FreePort();
  const SimRun refused = RunSim("--port " + std::to_string(port) + " --query 1001");
  EXPECT_EQ(refused.status, 2) << refused.output;
  EXPECT_EQ(refused.output, "analyzer-sim: cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused\n");

  const SimRun help = RunSim("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("--query SAMPLE"), std::string::npos);

  EXPECT_EQ(RunSim("").status, 1);
  EXPECT_EQ(RunSim("--mode xml a.astm").status, 1);
  EXPECT_EQ(RunSim("--order --query 1").status, 1);
  const SimRun missing = RunSim("--port " + std::to_string(port) + " /nonexistent/file.astm");
  EXPECT_NE(missing.status, 0);

  // A host that accepts and stays silent: the run ends at --timeout with status 2.
  FakeHost silent([](HostSide& h) { h.ReadUntil([](const std::string&) { return false; }, 4000ms); });
  const auto start = std::chrono::steady_clock::now();
  const SimRun timedOut = RunSim("--port " + std::to_string(silent.port()) + " --timeout 1 --query 1001");
  EXPECT_EQ(timedOut.status, 2) << timedOut.output;
  EXPECT_NE(timedOut.output.find("analyzer-sim: no answer from the host within 1 s while waiting for the ACK to ENQ"),
            std::string::npos)
      << timedOut.output;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}
