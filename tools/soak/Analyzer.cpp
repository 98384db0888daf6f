#include "Analyzer.hpp"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "analyzer-sim/AstmFrames.hpp"
#include "analyzer-sim/Messages.hpp"
#include "analyzer-sim/Mllp.hpp"

namespace soak {

namespace {

// An analyzer renews its connection after this many exchanges, so the
// service's connect and disconnect paths are soaked too.
constexpr long kExchangesPerConnection = 25;
// The failures kept word for word; the rest are only counted.
constexpr size_t kFailuresKept = 20;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Field n (from 0) of a delimited line replaced.
std::string WithPiece(const std::string& line, char sep, size_t n, const std::string& value) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    const size_t end = line.find(sep, start);
    pieces.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (pieces.size() <= n) pieces.resize(n + 1);
  pieces[n] = value;
  std::string out;
  for (size_t i = 0; i < pieces.size(); ++i) out += (i ? std::string(1, sep) : "") + pieces[i];
  return out;
}

// Lines of text cut at CR, LF or CR LF.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string Stamp() { return sim::NowStamp(); }

}  // namespace

std::string Name(Protocol p) {
  switch (p) {
    case Protocol::Astm: return "ASTM";
    case Protocol::Hl7: return "HL7";
    case Protocol::Json: return "JSON";
  }
  return "?";
}

Templates Templates::Load(const std::string& folder) {
  Templates t;
  t.astmRecords = sim::ExtractAstmRecords(ReadWhole(folder + "/hematology-xn550.astm")).records;
  const std::vector<std::string> hl7 = sim::SplitHl7File(ReadWhole(folder + "/hemogram-bc5380.hl7"));
  if (t.astmRecords.empty() || hl7.empty()) throw std::runtime_error("no message in the demo files of " + folder);
  t.hl7Message = hl7.front();
  t.jsonDocument = ReadWhole(folder + "/icounter.json");
  return t;
}

std::string AstmArchive(const std::vector<std::string>& records) {
  // Each frame's number and text, without STX, ETX/ETB, checksum and the record's CR.
  std::string out;
  for (const std::string& frame : sim::FrameRecords(records)) {
    const size_t end = frame.find_first_of(std::string{sim::ETX, sim::ETB});
    std::string text = frame.substr(1, end - 1);
    if (!text.empty() && text.back() == sim::CR) text.pop_back();
    out += text + "\r\n";
  }
  return out;
}

std::string Hl7Archive(const std::string& message) {
  std::string out;
  for (const std::string& s : sim::Segments(message)) out += s + "\r\n";
  return out + "\r\n";  // the CR after FS ends an empty line
}

std::string JsonArchive(const std::string& document) {
  std::string out;
  for (const std::string& l : Lines(document)) out += l + "\r\n";
  return out;
}

Analyzer::Analyzer(int index, Protocol protocol, const Templates& templates, const sim::Options& options,
                   std::chrono::milliseconds jsonPause)
    : index_(index),
      protocol_(protocol),
      templates_(templates),
      options_(options),
      jsonPause_(jsonPause),
      quiet_(nullptr) {
  options_.quiet = true;
}

Analyzer::~Analyzer() = default;

std::string Analyzer::NextSample() {
  // 12 characters: an identifier of exactly 11 would be cut to 7 in the name.
  char buf[32];
  std::snprintf(buf, sizeof buf, "A%03dN%07ld", index_ % 1000, sequence_++);
  return buf;
}

bool Analyzer::EnsureConnected() {
  if (conn_) return true;
  try {
    conn_ = std::make_unique<sim::Connection>(options_.host, options_.port, options_.timeout);
    session_ = std::make_unique<sim::Session>(*conn_, options_, quiet_);
    return true;
  } catch (const std::exception& e) {
    Fail(std::string("connect: ") + e.what());
    // As an analyzer's bridge does: try again a little later, not in a tight loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return false;
  }
}

void Analyzer::Disconnect() {
  session_.reset();
  conn_.reset();
}

void Analyzer::Fail(const std::string& what) {
  ++tally_.failureCount;
  if (tally_.failures.size() < kFailuresKept)
    tally_.failures.push_back(Name(protocol_) + " analyzer " + std::to_string(index_) + ": " + what);
}

void Analyzer::Step() {
  if (exchanges_ > 0 && exchanges_ % kExchangesPerConnection == 0 && conn_) {
    Disconnect();
    ++tally_.reconnects;
  }
  if (!EnsureConnected()) return;
  ++exchanges_;
  try {
    if (protocol_ != Protocol::Json && exchanges_ % 4 == 0)
      SendQuery();
    else
      SendResult();
  } catch (const std::exception& e) {
    Fail(e.what());
    Disconnect();  // the exchange is in an unknown state: start afresh
  }
}

void Analyzer::SendResult() {
  const std::string sample = NextSample();
  Archived a{sample, "", ""};
  if (protocol_ == Protocol::Astm) {
    std::vector<std::string> records = templates_.astmRecords;
    for (std::string& r : records)
      if (sim::RecordType(r) == 'O') r = WithPiece(r, '|', 2, sample);
    session_->AstmTransfer(records);  // every frame acknowledged
    a.relativePath = "XN-550/" + sample + ".astm";
    a.content = AstmArchive(records);
  } else if (protocol_ == Protocol::Hl7) {
    std::string message;
    for (std::string s : sim::Segments(templates_.hl7Message)) {
      if (s.rfind("MSH|", 0) == 0) s = WithPiece(s, '|', 9, sample);  // the control id the ACK names
      if (s.rfind("OBR|", 0) == 0) s = WithPiece(s, '|', 3, sample);
      message += s + "\r";
    }
    session_->Hl7Message(message);  // ACK^R01 AA with our control id
    a.relativePath = "Mindray/" + sample + ".hl7";
    a.content = Hl7Archive(message);
  } else {
    std::string doc;
    for (std::string l : Lines(templates_.jsonDocument)) {
      if (l.empty()) continue;
      if (l.find("\"identifier\"") != std::string::npos) l = "  \"identifier\": \"" + sample + "\",";
      doc += l + "\r\n";
    }
    doc += "\r\n";  // the empty line that ends the document
    session_->JsonDocument(doc);  // no answer is due; the document and its EOT went out
    // Nothing paces it but its own measuring: without a pause it would flood the service.
    std::this_thread::sleep_for(jsonPause_);
    a.relativePath = "Icounter/" + sample + ".json";
    a.content = JsonArchive(doc);
  }
  archived_.push_back(std::move(a));
  ++tally_.results[static_cast<int>(protocol_)];
}

void Analyzer::SendQuery() {
  // Alternating known and unknown samples: a stale or crossed reply cannot pass.
  const long q = exchanges_ / 4;
  const bool known = q % 2 == 1;
  const std::string sample = known ? kKnownSamples[static_cast<size_t>(q / 2) % kKnownSamples.size()] : kUnknownSample;
  sim::Identity id;
  if (protocol_ == Protocol::Astm) {
    id.model = "XN-550";
    session_->AstmTransfer(sim::BuildAstmQuery(id, sample, Stamp()));
  } else {
    id.application = "BC-5380";
    id.model = "Mindray";
    std::string controlId(1, 'Q');
    controlId += std::to_string(exchanges_);
    session_->Hl7Message(sim::BuildHl7Query(id, sample, Stamp(), controlId));
  }
  const sim::OrderSummary& order = session_->lastOrder();
  const std::string first = order.lines.empty() ? "" : order.lines.front();
  // A found order names the sample: "order for ^<sample>" (ASTM) / "order for sample <sample> (..." (HL7).
  const bool namesSample = first.rfind("order for ^" + sample, 0) == 0 || first.rfind("order for sample " + sample + " ", 0) == 0;
  if (known && order.found && namesSample) {
    ++tally_.queriesFound;
  } else if (!known && !order.found) {
    ++tally_.queriesNotFound;
  } else {
    throw sim::SimError("query for " + sample + (known ? " (has an order)" : " (unknown)") + " answered: " +
                        (first.empty() ? "nothing readable" : first));
  }
}

}  // namespace soak
