// The simulator's sessions against a scripted host on a real socket, and the
// built analyzer-sim program's exit status and error lines.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
      reads.emplace_back(buf, static_cast<size_t>(n));
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
  std::vector<std::string> reads;  // each recv() as it came

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
      reads_ = host.reads;
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
  std::vector<std::string> Reads() {
    if (thread_.joinable()) thread_.join();
    return reads_;
  }

 private:
  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string received_;
  std::vector<std::string> reads_;
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
kvtest::ProgramRun RunSim(const std::string& args) { return kvtest::RunProgram("analyzer-sim", args); }
}  // namespace

TEST(SimProgram, ExitStatusAndMessages) {
  const int port = kvtest::FreePort();
  const kvtest::ProgramRun refused = RunSim("--port " + std::to_string(port) + " --query 1001");
  EXPECT_EQ(refused.status, 2) << refused.output;
  EXPECT_EQ(refused.output, "analyzer-sim: cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused\n");

  const kvtest::ProgramRun help = RunSim("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("--query SAMPLE"), std::string::npos);

  EXPECT_EQ(RunSim("").status, 1);
  EXPECT_EQ(RunSim("--mode xml a.astm").status, 1);
  EXPECT_EQ(RunSim("--order --query 1").status, 1);
  const kvtest::ProgramRun missing = RunSim("--port " + std::to_string(port) + " /nonexistent/file.astm");
  EXPECT_NE(missing.status, 0);

  // A host that accepts and stays silent: the run ends at --timeout with status 2.
  FakeHost silent([](HostSide& h) { h.ReadUntil([](const std::string&) { return false; }, 4000ms); });
  const auto start = std::chrono::steady_clock::now();
  const kvtest::ProgramRun timedOut = RunSim("--port " + std::to_string(silent.port()) + " --timeout 1 --query 1001");
  EXPECT_EQ(timedOut.status, 2) << timedOut.output;
  EXPECT_NE(timedOut.output.find("analyzer-sim: no answer from the host within 1 s while waiting for the ACK to ENQ"),
            std::string::npos)
      << timedOut.output;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}

namespace {
// How a link-layer host answers. The defaults are a correct E1381 receiver:
// a lone ACK, checksums verified (NAK when wrong), frame numbers followed, and
// a frame repeated after a lost ACK acknowledged without taking its text twice.
struct HostRules {
  std::string ack = "<ACK>";    // answer to ENQ and to a good frame (Expand form)
  std::string enqAck;           // answer to ENQ when it differs ("" = ack)
  std::string ackTail;          // sent 30 ms after each ACK, as a write of its own
  bool ackBadChecksum = false;  // fault: ACK a frame whose checksum is wrong
  bool detectRepeats = true;    // false: a repeated frame is taken for a wrong number and NAKed
  int nakFrame = 0;             // the frame (from 1, in order of acceptance) NAKed ...
  int nakTimes = 0;             // ... this many times before it is accepted
  int transfers = 1;            // EOTs to wait for
};
struct HostSaw {
  std::string text;  // frame texts accepted, repeats not taken
  int badChecksums = 0;
  int repeats = 0;
  int wrongNumbers = 0;
  std::vector<std::string> units;  // ENQ, frames and EOT as received
};

void Serve(HostSide& h, const HostRules& r, HostSaw& saw) {
  const std::string ack = Expand(r.ack);
  auto answer = [&](const std::string& bytes) {
    h.Send(bytes);
    if (!r.ackTail.empty() && bytes == ack) {
      std::this_thread::sleep_for(30ms);
      h.Send(Expand(r.ackTail));
    }
  };
  int eots = 0, expected = 1, lastNumber = -1, accepted = 0, naksGiven = 0;
  std::string lastText;
  while (eots < r.transfers) {
    const std::string unit = h.NextUnit();
    if (unit.empty()) return;
    saw.units.push_back(unit);
    if (unit[0] == ENQ) {
      answer(r.enqAck.empty() ? ack : Expand(r.enqAck));
      expected = 1;
      lastNumber = -1;
    } else if (unit[0] == EOT) {
      ++eots;
    } else if (unit[0] == STX) {
      std::string copy = unit;
      const HostItem f = TakeHostItem(copy);
      if (!f.checksumOk) {
        ++saw.badChecksums;
        answer(r.ackBadChecksum ? ack : std::string(1, NAK));
      } else if (r.detectRepeats && f.frameNumber == lastNumber && f.text == lastText) {
        ++saw.repeats;
        answer(ack);
      } else if (f.frameNumber != expected) {
        ++saw.wrongNumbers;
        answer(std::string(1, NAK));
      } else if (accepted + 1 == r.nakFrame && naksGiven < r.nakTimes) {
        ++naksGiven;
        answer(std::string(1, NAK));
      } else {
        saw.text += f.text;
        ++accepted;
        lastNumber = f.frameNumber;
        lastText = f.text;
        expected = (expected + 1) % 8;
        answer(ack);
      }
    }
  }
}

std::string RecordsText(const std::vector<std::string>& records) {
  std::string text;
  for (const std::string& r : records) text += r + "\r";
  return text;
}

int CountOf(const std::vector<std::string>& units, const std::string& unit) {
  return static_cast<int>(std::count(units.begin(), units.end(), unit));
}
}  // namespace

TEST(SimSessionAstm, LinkFaultsAgainstGoodAndBadHosts) {
  const std::vector<std::string> frames = FrameRecords(kResult);
  ASSERT_EQ(frames.size(), 7u);
  struct Row {
    const char* name;
    std::function<void(Options&)> set;
    HostRules rules;
    const char* error;  // "" when the run succeeds
    int naks, resent;   // counted by the session
    int hostBad, hostRepeats;
  };
  auto rules = [](std::function<void(HostRules&)> f) {
    HostRules r;
    f(r);
    return r;
  };
  const auto none = [](Options&) {};
  const auto strict = [](Options& o) { o.strict = true; };
  const Row rows[] = {
      {"good host", none, {}, "", 0, 0, 0, 0},
      {"good host, strict", strict, {}, "", 0, 0, 0, 0},
      {"service-style ACK CR LF, lenient", none, rules([](HostRules& r) { r.ack = "<ACK><CR><LF>"; }), "", 0, 0, 0, 0},
      {"ACK CR LF, strict", strict, rules([](HostRules& r) { r.ack = "<ACK><CR><LF>"; }),
       "strict: extra bytes <CR><LF> after the host's <ACK> (the ACK to ENQ)", 0, 0, 0, 0},
      {"lone ACK to ENQ, ACK CR LF to frames, strict", strict,
       rules([](HostRules& r) { r.enqAck = "<ACK>"; r.ack = "<ACK><CR><LF>"; }),
       "strict: extra bytes <CR><LF> after the host's <ACK> (the ACK to frame 1 of 7)", 0, 0, 0, 0},
      {"CR LF in a later write, strict", strict, rules([](HostRules& r) { r.ackTail = "<CR><LF>"; }), "<CR><LF>", 0, 0, 0, 0},
      {"CR LF in a later write, lenient", none, rules([](HostRules& r) { r.ackTail = "<CR><LF>"; }), "", 0, 0, 0, 0},
      {"NAK once, then ACK", none, rules([](HostRules& r) { r.nakFrame = 3; r.nakTimes = 1; }), "", 1, 1, 0, 0},
      {"NAK once, then ACK, strict", strict, rules([](HostRules& r) { r.nakFrame = 3; r.nakTimes = 1; }), "", 1, 1, 0, 0},
      {"NAK five times, the sixth accepted", none, rules([](HostRules& r) { r.nakFrame = 2; r.nakTimes = 5; }), "", 5, 5, 0, 0},
      {"NAK six times", none, rules([](HostRules& r) { r.nakFrame = 2; r.nakTimes = 100; }),
       "the host answered NAK to frame 2 of 7 6 times; gave up with EOT", 6, 5, 0, 0},
      {"bad checksum NAKed", [](Options& o) { o.badChecksum = 3; }, {}, "", 1, 1, 1, 0},
      {"bad checksum on the last frame, strict", [](Options& o) { o.strict = true; o.badChecksum = 7; }, {}, "", 1, 1, 1, 0},
      {"bad checksum accepted", [](Options& o) { o.badChecksum = 3; }, rules([](HostRules& r) { r.ackBadChecksum = true; }),
       "host accepted a frame with a bad checksum (frame 3 of 7)", 0, 0, 1, 0},
      {"lost ACK, repeat detected", [](Options& o) { o.loseAck = 2; }, {}, "", 0, 1, 0, 1},
      {"lost ACK on the last frame, strict", [](Options& o) { o.strict = true; o.loseAck = 7; }, {}, "", 0, 1, 0, 1},
      {"lost ACK, host NAKs the repeat", [](Options& o) { o.loseAck = 2; }, rules([](HostRules& r) { r.detectRepeats = false; }),
       "the host answered NAK to frame 2 of 7 5 times in 6 transmissions; gave up with EOT", 5, 5, 0, 0},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    HostSaw saw;
    FakeHost host([&](HostSide& h) { Serve(h, row.rules, saw); });
    Options options = FastOptions();
    row.set(options);
    int naks = -1, resent = -1;
    const std::string error = RunSession(host, [&](Session& s) {
      try {
        s.AstmTransfer(kResult);
      } catch (const SimError&) {
        naks = s.naksReceived();
        resent = s.framesResent();
        throw;
      }
      naks = s.naksReceived();
      resent = s.framesResent();
    }, options);
    const std::string rx = host.Received();
    const std::string label = "row " + std::to_string(i) + " (" + row.name + "): ";
    if (*row.error == '\0') {
      EXPECT_EQ(error, "") << label;
      EXPECT_EQ(Repr(saw.text), Repr(RecordsText(kResult))) << label;  // every record once, in order
      ASSERT_FALSE(saw.units.empty()) << label;
      EXPECT_EQ(saw.units.back(), std::string(1, EOT)) << label;
    } else {
      EXPECT_NE(error.find(row.error), std::string::npos) << label << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << label;
    }
    EXPECT_EQ(naks, row.naks) << label;
    EXPECT_EQ(resent, row.resent) << label;
    EXPECT_EQ(saw.badChecksums, row.hostBad) << label;
    EXPECT_EQ(saw.repeats, row.hostRepeats) << label;
    // The simulator's own framing is never at fault.
    if (row.rules.detectRepeats) {
      EXPECT_EQ(saw.wrongNumbers, 0) << label;
    }
  }
}

TEST(SimSessionAstm, NakedFrameIsResentUnchangedThenEot) {
  const std::vector<std::string> frames = FrameRecords(kResult);
  struct Row {
    int nakTimes;
    const char* error;  // "" when the run succeeds
  };
  const Row rows[] = {{1, ""}, {5, ""}, {6, "gave up with EOT"}};
  for (size_t i = 0; i < std::size(rows); ++i) {
    HostRules r;
    r.nakFrame = 2;
    r.nakTimes = rows[i].nakTimes;
    HostSaw saw;
    FakeHost host([&](HostSide& h) { Serve(h, r, saw); });
    const std::string error = RunSession(host, [&](Session& s) { s.AstmTransfer(kResult); });
    host.Received();
    // Frame 2 goes out byte for byte the same each time: once, plus one resend per NAK, at most 6 in all.
    const int copies = std::min(rows[i].nakTimes + 1, kMaxFrameAttempts);
    EXPECT_EQ(CountOf(saw.units, frames[1]), copies) << "row " << i;
    ASSERT_GE(saw.units.size(), static_cast<size_t>(copies + 2)) << "row " << i;
    EXPECT_EQ(saw.units[0], std::string(1, ENQ)) << "row " << i;
    EXPECT_EQ(saw.units[1], frames[0]) << "row " << i;
    for (int c = 0; c < copies; ++c) EXPECT_EQ(Repr(saw.units[2 + c]), Repr(frames[1])) << "row " << i << " copy " << c;
    if (*rows[i].error == '\0') {
      EXPECT_EQ(error, "") << "row " << i;
      EXPECT_EQ(saw.units.size(), frames.size() + copies + 1) << "row " << i;  // ENQ, frames, resends, EOT
    } else {
      EXPECT_NE(error.find(rows[i].error), std::string::npos) << "row " << i << ": " << error;
      EXPECT_EQ(saw.units.size(), static_cast<size_t>(copies + 3)) << "row " << i;  // nothing after the give-up
    }
    EXPECT_EQ(saw.units.back(), std::string(1, EOT)) << "row " << i;
  }
}

TEST(SimSessionAstm, BadChecksumAndLostAckOnTheWire) {
  const std::vector<std::string> frames = FrameRecords(kResult);
  // --bad-checksum 4: frame 4 once with its sum + 1, then as it should be.
  {
    HostSaw saw;
    FakeHost host([&](HostSide& h) { Serve(h, HostRules{}, saw); });
    Options o = FastOptions();
    o.badChecksum = 4;
    EXPECT_EQ(RunSession(host, [&](Session& s) { s.AstmTransfer(kResult); }, o), "");
    host.Received();
    ASSERT_EQ(saw.units.size(), frames.size() + 3);
    EXPECT_EQ(Repr(saw.units[4]), Repr(WithWrongChecksum(frames[3])));
    EXPECT_NE(saw.units[4], frames[3]);
    EXPECT_EQ(Repr(saw.units[5]), Repr(frames[3]));
  }
  // --lose-ack 5: frame 5 twice, same number and text, then frame 6.
  {
    HostSaw saw;
    FakeHost host([&](HostSide& h) { Serve(h, HostRules{}, saw); });
    Options o = FastOptions();
    o.loseAck = 5;
    std::string transcript;
    EXPECT_EQ(RunSession(host, [&](Session& s) { s.AstmTransfer(kResult); }, o, &transcript), "");
    host.Received();
    ASSERT_EQ(saw.units.size(), frames.size() + 3);
    EXPECT_EQ(Repr(saw.units[5]), Repr(frames[4]));
    EXPECT_EQ(Repr(saw.units[6]), Repr(frames[4]));
    EXPECT_EQ(Repr(saw.units[7]), Repr(frames[5]));
    EXPECT_NE(transcript.find("0 NAKs received, 1 frame resent"), std::string::npos) << transcript;
  }
  // The frame count runs over the whole session: frame 9 is the second transfer's second frame.
  {
    const std::vector<std::string> small = {"H|\\^&", "R|1|^^^^WBC^1|6.42", "L|1|N"};
    HostRules r;
    r.transfers = 3;
    HostSaw saw;
    FakeHost host([&](HostSide& h) { Serve(h, r, saw); });
    Options o = FastOptions();
    o.badChecksum = 5;
    EXPECT_EQ(RunSession(host, [&](Session& s) {
                s.AstmTransfer(small);
                s.AstmTransfer(small);
                s.AstmTransfer(small);
              }, o),
              "");
    host.Received();
    EXPECT_EQ(saw.badChecksums, 1);
    ASSERT_EQ(saw.units.size(), 3 * 5 + 1u);
    EXPECT_EQ(Repr(saw.units[7]), Repr(WithWrongChecksum(FrameRecords(small)[1])));  // ENQ 1 2 3 EOT ENQ 1 [2]
  }
}

TEST(SimSessionAstm, EotAndNextEnqTravelInOneWrite) {
  const std::vector<std::string> small = {"H|\\^&", "R|1|^^^^WBC^1|6.42", "L|1|N"};
  std::string one(1, ENQ);
  for (const std::string& f : FrameRecords(small)) one += f;
  one += EOT;
  for (const bool eotEnq : {true, false}) {
    HostRules r;
    r.transfers = 3;
    HostSaw saw;
    FakeHost host([&](HostSide& h) { Serve(h, r, saw); });
    Options o = FastOptions();
    o.eotEnq = eotEnq;
    EXPECT_EQ(RunSession(host, [&](Session& s) {
                s.AstmTransfer(small, true);
                s.AstmTransfer(small, true);
                s.AstmTransfer(small, false);
              }, o),
              "")
        << eotEnq;
    EXPECT_EQ(Repr(host.Received()), Repr(one + one + one)) << eotEnq;
    const std::vector<std::string> reads = host.Reads();
    const std::string both{EOT, ENQ};
    int joined = 0, containing = 0;
    for (const std::string& read : reads) {
      joined += read == both;
      containing += read.find(both) != std::string::npos;
    }
    if (eotEnq) {
      EXPECT_EQ(joined, 2) << "the two bytes came as one read, twice";
      EXPECT_EQ(reads.back(), std::string(1, EOT)) << "the last EOT goes alone";
    } else {
      EXPECT_EQ(containing, 0);
      EXPECT_EQ(CountOf(reads, std::string(1, EOT)), 3);
    }
  }
  // A query's EOT is not held back: the host answers it.
  {
    const auto reply = ReplyFrames({"H|\\^&", "P|1", "O|1|^9||||x|||||||||||||||||||Y", "L|1|N"});
    FakeHost host([&](HostSide& h) {
      h.AckTransfer();
      ReplyTransfer(h, reply);
      h.AckTransfer();
    });
    Options o = FastOptions();
    o.eotEnq = true;
    Identity id;
    EXPECT_EQ(RunSession(host, [&](Session& s) {
                s.AstmTransfer(BuildAstmQuery(id, "9", "x"), true);
                s.AstmTransfer(small, false);
              }, o),
              "");
    for (const std::string& read : host.Reads()) EXPECT_EQ(read.find(std::string{EOT, ENQ}), std::string::npos) << Repr(read);
  }
}

TEST(SimSessionAstm, CutEveryWriteStraddlesTheHostsReads) {
  const std::vector<std::string> records = {"H|\\^&|||XN-550", "C|1|I|" + std::string(250, 'y') + "|G", "L|1|N"};
  std::string whole(1, ENQ);
  for (const std::string& f : FrameRecords(records)) whole += f;
  whole += EOT;
  for (const int cut : {1, 7, 0}) {
    HostSaw saw;
    FakeHost host([&](HostSide& h) { Serve(h, HostRules{}, saw); });
    Options o = FastOptions();
    o.cutEvery = cut;
    o.strict = true;  // the host's lone ACKs must still be read one by one
    EXPECT_EQ(RunSession(host, [&](Session& s) { s.AstmTransfer(records); }, o), "") << cut;
    EXPECT_EQ(Repr(host.Received()), Repr(whole)) << cut;
    const size_t reads = host.Reads().size();
    if (cut == 0) {
      // Whole writes: ENQ, four frames and EOT, each in about one read.
      EXPECT_LE(reads, 12u) << cut;
    } else {
      // Pieces 1 ms apart: the frames came in many reads, not one each.
      EXPECT_GT(reads, whole.size() / cut / 4) << cut;
    }
    EXPECT_EQ(Repr(saw.text), Repr(RecordsText(records))) << cut;
  }
}

namespace {
// A reply transfer with nothing between its items but what `between` adds.
void StrictReply(HostSide& h, const std::vector<std::string>& frames, const std::string& between, size_t after) {
  h.Send(std::string(1, ENQ) + (after == 0 ? between : ""));
  for (size_t i = 0; i < frames.size(); ++i) {
    if (h.NextUnit() != std::string(1, ACK)) return;
    h.Send(frames[i] + (after == i + 1 ? between : ""));
  }
  if (h.NextUnit() != std::string(1, ACK)) return;
  h.Send(std::string(1, EOT) + (after == frames.size() + 1 ? between : ""));
}
}  // namespace

TEST(SimSessionAstm, StrictQueryReplyHasNoByteBetweenItems) {
  const auto reply = ReplyFrames({"H|\\^&", "P|1", "O|1|^9||^^^^WBC||x|||||N||||||||||||||Q", "L|1|N"});
  std::string unterminated = reply[1];
  unterminated.resize(unterminated.size() - 2);  // no CR LF after the checksum
  struct Row {
    const char* name;
    std::function<void(HostSide&)> host;
    const char* error;  // "" when the run succeeds
  };
  auto request = [](HostSide& h) {
    HostSaw saw;
    Serve(h, HostRules{}, saw);
  };
  const Row rows[] = {
      {"single bytes", [&](HostSide& h) { request(h); StrictReply(h, reply, "", 99); }, ""},
      {"service style (CR LF after ENQ and EOT)", [&](HostSide& h) { request(h); ReplyTransfer(h, reply); },
       "strict: extra bytes <CR><LF> after the host's <ENQ>"},
      {"LF after frame 2", [&](HostSide& h) { request(h); StrictReply(h, reply, "\n", 2); },
       "strict: extra bytes <LF> after the host's frame 2"},
      {"CR LF with the EOT", [&](HostSide& h) { request(h); StrictReply(h, reply, "\r\n", 5); },
       "strict: extra bytes <CR><LF> after the host's <EOT>"},
      {"CR LF 30 ms after the EOT", [&](HostSide& h) {
         request(h);
         StrictReply(h, reply, "", 99);
         std::this_thread::sleep_for(30ms);
         h.Send("\r\n");
       }, "strict: unexpected bytes <CR><LF> after the reply's EOT"},
      {"frame without its CR LF", [&](HostSide& h) {
         request(h);
         StrictReply(h, {reply[0], unterminated + reply[2]}, "", 99);
       }, "strict: frame not ended by <CR><LF>"},
  };
  Identity id;
  for (size_t i = 0; i < std::size(rows); ++i) {
    FakeHost host(rows[i].host);
    Options o = FastOptions();
    o.strict = true;
    OrderSummary order;
    const std::string error = RunSession(host, [&](Session& s) { s.AstmTransfer(BuildAstmQuery(id, "9", "x")); }, o,
                                         nullptr, &order);
    if (*rows[i].error == '\0') {
      EXPECT_EQ(error, "") << "row " << i;
      EXPECT_TRUE(order.found) << "row " << i;
    } else {
      EXPECT_NE(error.find(rows[i].error), std::string::npos) << "row " << i << " (" << rows[i].name << "): " << error;
    }
  }
  // Lenient reading of the service-style reply is as before.
  FakeHost lenient([&](HostSide& h) { request(h); ReplyTransfer(h, reply); });
  EXPECT_EQ(RunSession(lenient, [&](Session& s) { s.AstmTransfer(BuildAstmQuery(id, "9", "x")); }), "");
}

namespace {
// The program's exit status and its stderr alone (stdout discarded).
kvtest::ProgramRun RunSimStderr(const std::string& args) { return kvtest::RunProgram("analyzer-sim", args, true); }
}  // namespace

TEST(SimProgram, LinkFaultOptions) {
  kvtest::TempDir tmp;
  const std::string file = tmp.path() + "/result.astm";
  kvtest::WriteFile(file, RecordsText(kResult));
  struct Row {
    std::string args;
    HostRules rules;
    int status;
    const char* stderrLine;  // the whole of stderr, "" when none
    const char* stdoutText;  // found in the combined output
  };
  HostRules crlf;
  crlf.ack = "<ACK><CR><LF>";
  HostRules nakOnce;
  nakOnce.nakFrame = 2;
  nakOnce.nakTimes = 1;
  HostRules nakAlways;
  nakAlways.nakFrame = 2;
  nakAlways.nakTimes = 100;
  HostRules acceptsBad;
  acceptsBad.ackBadChecksum = true;
  const Row rows[] = {
      {"--strict", crlf, 2, "analyzer-sim: strict: extra bytes <CR><LF> after the host's <ACK> (the ACK to ENQ)\n", ""},
      {"", crlf, 0, "", "in all: 0 NAKs received, 0 frames resent\nOK\n"},
      {"", nakOnce, 0, "", "in all: 1 NAK received, 1 frame resent\nOK\n"},
      {"", nakAlways, 2, "analyzer-sim: the host answered NAK to frame 2 of 7 6 times; gave up with EOT\n",
       "in all: 6 NAKs received, 5 frames resent\n"},
      {"--bad-checksum 1", acceptsBad, 2, "analyzer-sim: host accepted a frame with a bad checksum (frame 1 of 7)\n", ""},
      {"--strict --bad-checksum 2 --lose-ack 3 --cut-every 5", {}, 0, "", "in all: 1 NAK received, 2 frames resent\nOK\n"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    for (const bool combined : {false, true}) {
      HostSaw saw;
      FakeHost host([&](HostSide& h) { Serve(h, rows[i].rules, saw); });
      const std::string args = "--quiet --timeout 2 --linger 100 --port " + std::to_string(host.port()) + " " +
                               rows[i].args + " " + file;
      const kvtest::ProgramRun run = combined ? RunSim(args) : RunSimStderr(args);
      EXPECT_EQ(run.status, rows[i].status) << "row " << i << ": " << run.output;
      if (!combined)
        EXPECT_EQ(run.output, rows[i].stderrLine) << "row " << i;
      else
        EXPECT_NE(run.output.find(rows[i].stdoutText), std::string::npos) << "row " << i << ": " << run.output;
    }
  }

  const kvtest::ProgramRun help = RunSim("--help");
  for (const char* option : {"--strict", "--bad-checksum N", "--lose-ack N", "--eot-enq", "--cut-every N"})
    EXPECT_NE(help.output.find(option), std::string::npos) << option;
  for (const char* bad : {"--strict --mode hl7 a.hl7", "--eot-enq x.json", "--bad-checksum 0 a.astm",
                          "--lose-ack x a.astm", "--cut-every 0 a.astm", "--strict --mode astm-plain --query 1"})
    EXPECT_EQ(RunSim(bad).status, 1) << bad;
}
