#include "Analyzer.hpp"

#include <cstdio>

#include "analyzer-sim/AstmFrames.hpp"
#include "analyzer-sim/Messages.hpp"
#include "analyzer-sim/Mllp.hpp"
#include "analyzer-sim/Readable.hpp"

namespace loadgen {

using sim::Clock;

namespace {
const std::vector<std::pair<Mode, std::string>> kModes = {
    {Mode::Hl7, "hl7"},          {Mode::Astm, "astm"},           {Mode::AstmEotEnq, "astm-eot-enq"},
    {Mode::AstmQuery, "astm-query"}, {Mode::Hl7Query, "hl7-query"}, {Mode::Idle, "idle"}};

const char* kTests[25] = {"WBC",   "RBC",    "HGB",   "HCT",   "MCV",    "MCH",    "MCHC",
                          "PLT",   "NEUT%",  "LYMPH%", "MONO%", "EO%",    "BASO%",  "NEUT#",
                          "LYMPH#", "MONO#", "EO#",   "BASO#", "RDW-SD", "RDW-CV", "PDW",
                          "MPV",   "P-LCR",  "PCT",   "RET%"};
const char* kStamp = "20260109093012";

long MicrosSince(Clock::time_point t0) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count());
}
}  // namespace

bool ParseMode(const std::string& name, Mode& mode) {
  for (const auto& [m, n] : kModes)
    if (n == name) {
      mode = m;
      return true;
    }
  return false;
}

std::string ModeName(Mode mode) {
  for (const auto& [m, n] : kModes)
    if (m == mode) return n;
  return "?";
}

std::string UnitName(Mode mode) {
  switch (mode) {
    case Mode::Astm:
    case Mode::AstmEotEnq: return "sessions";
    case Mode::AstmQuery:
    case Mode::Hl7Query: return "queries";
    case Mode::Idle: return "connections";
    default: return "messages";
  }
}

std::vector<std::string> AstmResultRecords(const std::string& sample) {
  std::vector<std::string> r = {
      std::string("H|\\^&|||XN-550^00-24^22723|||||||P|LIS2-A2|") + kStamp,
      "P|1|||1|^SILVA^JOAO||19800514|M",
      "O|1|" + sample + "||^^^^WBC\\^^^^RBC\\^^^^HGB\\^^^^PLT|R||||||N||||||||||||||F"};
  for (int i = 0; i < 25; ++i) {
    char line[160];
    std::snprintf(line, sizeof line, "R|%d|^^^^%s^1|%d.%02d|10*3/uL|4.00-10.00|N||F||||%s", i + 1, kTests[i],
                  4 + i % 7, (i * 37) % 100, kStamp);
    r.push_back(line);
  }
  r.push_back("L|1|N");
  return r;
}

std::string Hl7Result(const std::string& sample, const std::string& controlId) {
  std::string m = std::string("MSH|^~\\&|BC-5380|Mindray|||") + kStamp + "||ORU^R01|" + controlId +
                  "|P|2.3.1||||||UNICODE\r" + "PID|1||7393670^^^^MR||SILVA^JOAO||19800514|Male\r" +
                  "PV1|1||nk^^001\r" + "OBR|1||" + sample + "|00001^Automated Count^99MRC||" + kStamp + "|" +
                  kStamp + "\r";
  for (int i = 0; i < 25; ++i) {
    char seg[160];
    std::snprintf(seg, sizeof seg, "OBX|%d|NM|6690-2^%s^LN||%d.%02d|10*9/L|4.00-10.00|N|||F\r", i + 1, kTests[i],
                  4 + i % 7, (i * 37) % 100);
    m += seg;
  }
  return m;
}

Analyzer::Analyzer(const Settings& settings, int index) : settings_(settings), index_(index) {}

sim::Connection& Analyzer::Conn() {
  if (!conn_) {
    rx_.clear();
    eotPending_ = false;
    conn_ = std::make_unique<sim::Connection>(settings_.host, settings_.port, settings_.timeout);
  }
  return *conn_;
}

std::string Analyzer::Sample(long seq) const {
  char id[64];
  std::snprintf(id, sizeof id, "%sC%03dS%ld", settings_.tag.c_str(), index_, seq);
  return id;
}

std::string Analyzer::QuerySample(long seq) const {
  if (settings_.samples.empty()) return "1001";
  return settings_.samples[static_cast<size_t>(seq + index_) % settings_.samples.size()];
}

Outcome Analyzer::Missing(const std::string& what) {
  why_ = what;
  conn_.reset();
  return Outcome::Missing;
}

Outcome Analyzer::Mismatch(const std::string& what) {
  why_ = what;
  return Outcome::Mismatch;
}

Outcome Analyzer::Play(long seq, long& micros) {
  micros = 0;
  try {
    switch (settings_.mode) {
      case Mode::Hl7: return PlayHl7(seq, micros);
      case Mode::Hl7Query: return PlayHl7Query(seq, micros);
      case Mode::Astm:
      case Mode::AstmEotEnq: return PlayAstm(seq, micros);
      case Mode::AstmQuery: return PlayAstmQuery(seq, micros);
      case Mode::Idle: Conn(); return Outcome::Ok;
    }
  } catch (const sim::SimError& e) {
    return Missing(e.what());
  }
  return Outcome::Ok;
}

void Analyzer::Finish() {
  try {
    if (conn_ && eotPending_) conn_->Send(std::string(1, sim::EOT));
  } catch (const sim::SimError&) {
  }
  eotPending_ = false;
}

// Reads until one whole MLLP message is there; "" when the host fell silent or closed.
static bool NextMllp(sim::Connection& conn, std::string& rx, std::string& message, Clock::time_point deadline,
                     Clock::time_point* firstByte) {
  for (;;) {
    sim::MllpItem item = sim::TakeMllpMessage(rx);
    if (item.kind == sim::MllpItem::Message) {
      message = item.text;
      return true;
    }
    if (item.kind == sim::MllpItem::Junk) {
      message = "\x01" + item.text;  // not a message: the caller reports it
      return true;
    }
    std::string chunk;
    if (conn.Receive(rx, chunk, deadline) != sim::Connection::Got::Data) return false;
    if (firstByte && *firstByte == Clock::time_point{}) *firstByte = Clock::now();
  }
}

Outcome Analyzer::PlayHl7(long seq, long& micros) {
  sim::Connection& conn = Conn();
  const std::string id = std::to_string(index_ * 100000000L + seq);
  const std::string wire = sim::WrapMllp(Hl7Result(Sample(seq), id));
  const auto t0 = Clock::now();
  conn.Send(wire);
  std::string ack;
  if (!NextMllp(conn, rx_, ack, Clock::now() + settings_.timeout, nullptr))
    return Missing("no ACK^R01 for message " + id);
  micros = MicrosSince(t0);
  const std::string msa = sim::FindSegment(ack, "MSA");
  if (sim::Field(sim::FindSegment(ack, "MSH"), 9).rfind("ACK", 0) != 0 || sim::Field(msa, 1) != "AA" ||
      sim::Field(msa, 2) != id)
    return Mismatch("message " + id + " answered with " + sim::Readable(ack));
  return Outcome::Ok;
}

Outcome Analyzer::PlayHl7Query(long seq, long& micros) {
  sim::Connection& conn = Conn();
  const std::string id = std::to_string(index_ * 100000000L + seq);
  sim::Identity who;
  who.application = "BC-5380";
  who.model = "Mindray";
  const std::string sample = QuerySample(seq);
  conn.Send(sim::WrapMllp(sim::BuildHl7Query(who, sample, kStamp, id)));
  const auto t0 = Clock::now();
  Clock::time_point first{};
  const auto deadline = Clock::now() + settings_.timeout;
  std::string qck, dsr;
  if (!NextMllp(conn, rx_, qck, deadline, &first)) return Missing("no QCK^Q02 for query " + id);
  micros = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                 (first == Clock::time_point{} ? Clock::now() : first) - t0)
                                 .count());
  if (sim::Field(sim::FindSegment(qck, "MSH"), 9).rfind("QCK", 0) != 0 ||
      sim::Field(sim::FindSegment(qck, "QAK"), 2) != "OK")
    return Mismatch("query " + id + " for " + sample + " answered with " + sim::Readable(qck));
  if (!NextMllp(conn, rx_, dsr, deadline, nullptr)) return Missing("no DSR^Q03 for query " + id);
  if (!sim::DescribeHl7Order(dsr).found)
    return Mismatch("query " + id + " for " + sample + ": no order in " + sim::Readable(dsr));
  return Outcome::Ok;
}

Outcome Analyzer::ExpectAck(const std::string& after) {
  const auto deadline = Clock::now() + settings_.timeout;
  for (;;) {
    sim::HostItem item = sim::TakeHostItem(rx_);
    if (item.kind == sim::HostItem::Ack) return Outcome::Ok;
    if (item.kind != sim::HostItem::None) return Mismatch(after + " answered with " + sim::Readable(item.raw));
    std::string chunk;
    if (conn_->Receive(rx_, chunk, deadline) != sim::Connection::Got::Data) return Missing("no ACK after " + after);
  }
}

Outcome Analyzer::PlayAstm(long seq, long& micros) {
  sim::Connection& conn = Conn();
  const auto frames = sim::FrameRecords(AstmResultRecords(Sample(seq)));
  const auto t0 = Clock::now();
  conn.Send(eotPending_ ? std::string{sim::EOT, sim::ENQ} : std::string(1, sim::ENQ));
  eotPending_ = false;
  Outcome worst = ExpectAck("ENQ");
  if (worst == Outcome::Missing) return worst;
  for (size_t i = 0; i < frames.size(); ++i) {
    conn.Send(frames[i]);
    const Outcome o = ExpectAck("frame " + std::to_string(i + 1));
    if (o == Outcome::Missing) return o;
    if (o == Outcome::Mismatch) worst = o;
  }
  micros = MicrosSince(t0);
  if (settings_.mode == Mode::AstmEotEnq)
    eotPending_ = true;  // leaves in one write with the next session's ENQ
  else
    conn.Send(std::string(1, sim::EOT));
  return worst;
}

Outcome Analyzer::PlayAstmQuery(long seq, long& micros) {
  sim::Connection& conn = Conn();
  sim::Identity who;
  who.model = "XN-550";
  const std::string sample = QuerySample(seq);
  const auto frames = sim::FrameRecords(sim::BuildAstmQuery(who, sample, kStamp));
  conn.Send(std::string(1, sim::ENQ));
  Outcome o = ExpectAck("ENQ");
  for (size_t i = 0; o == Outcome::Ok && i < frames.size(); ++i) {
    conn.Send(frames[i]);
    o = ExpectAck("query frame " + std::to_string(i + 1));
  }
  if (o != Outcome::Ok) return o;
  conn.Send(std::string(1, sim::EOT));
  const auto t0 = Clock::now();
  const auto deadline = t0 + settings_.timeout;
  std::string text;
  bool opened = false;
  for (;;) {
    const sim::HostItem item = sim::TakeHostItem(rx_);
    if (item.kind == sim::HostItem::None) {
      std::string chunk;
      if (conn.Receive(rx_, chunk, deadline) != sim::Connection::Got::Data)
        return Missing("query for " + sample + ": the reply " + (opened ? "did not end" : "never came"));
      if (micros == 0) micros = MicrosSince(t0);
      continue;
    }
    if (!opened) {
      if (item.kind != sim::HostItem::Enq)
        return Missing("query for " + sample + ": reply opened with " + sim::Readable(item.raw));
      opened = true;
    } else if (item.kind == sim::HostItem::Eot) {
      break;
    } else if (item.kind != sim::HostItem::Frame || !item.checksumOk) {
      return Missing("query for " + sample + ": bad reply item " + sim::Readable(item.raw));
    } else {
      text += item.text;
    }
    conn.Send(std::string(1, sim::ACK));
  }
  const sim::OrderSummary order = sim::DescribeAstmReply(sim::SplitRecords(text));
  if (!order.found) return Mismatch("query for " + sample + ": no order in " + sim::Readable(text));
  return Outcome::Ok;
}

}  // namespace loadgen
