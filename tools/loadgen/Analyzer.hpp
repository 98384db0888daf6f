#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "analyzer-sim/Connection.hpp"

// One simulated analyzer on its own connection, playing one workload item
// (a message, a session or a query) at a time and waiting for the answers as
// the real instrument does.
namespace loadgen {

enum class Mode { Hl7, Astm, AstmEotEnq, AstmQuery, Hl7Query, Idle };

// "hl7", "astm", ... ; false for an unknown name.
bool ParseMode(const std::string& name, Mode& mode);
std::string ModeName(Mode mode);
// What one item is called in the rate line.
std::string UnitName(Mode mode);

struct Settings {
  std::string host = "127.0.0.1";
  int port = 0;
  Mode mode = Mode::Hl7;
  int clients = 1;
  double seconds = 5;  // run length, unless count is set
  long count = 0;      // items over all clients; 0: run for `seconds`
  std::chrono::milliseconds timeout{5000};
  std::vector<std::string> samples;  // sample ids the queries ask for (orders the LIS holds)
  std::string tag;                   // makes this run's sample ids unique
};

enum class Outcome { Ok, Mismatch, Missing };

class Analyzer {
 public:
  Analyzer(const Settings& settings, int index);
  // Plays item seq. micros: results, message sent to its acknowledgement (an
  // ASTM session: ENQ to the ACK of the last frame); queries, the EOT or FS
  // that ends the query to the first reply byte. A missing answer drops the
  // connection (the next item connects again); why() tells what went wrong.
  Outcome Play(long seq, long& micros);
  // Sends what a finished analyzer still owes (the EOT held for the next ENQ).
  void Finish();
  const std::string& why() const { return why_; }

 private:
  sim::Connection& Conn();
  Outcome PlayHl7(long seq, long& micros);
  Outcome PlayHl7Query(long seq, long& micros);
  Outcome PlayAstm(long seq, long& micros);
  Outcome PlayAstmQuery(long seq, long& micros);
  // Waits for one ACK; Missing on silence or close, Mismatch on anything else.
  Outcome ExpectAck(const std::string& after);
  Outcome Missing(const std::string& what);
  Outcome Mismatch(const std::string& what);
  std::string Sample(long seq) const;
  std::string QuerySample(long seq) const;

  const Settings& settings_;
  int index_;
  std::unique_ptr<sim::Connection> conn_;
  std::string rx_;
  bool eotPending_ = false;
  std::string why_;
};

// The ASTM result records of one session: H, P, O, 25 R, L.
std::vector<std::string> AstmResultRecords(const std::string& sample);
// An ORU^R01 with 25 OBX segments (segments ended by CR, no framing).
std::string Hl7Result(const std::string& sample, const std::string& controlId);

}  // namespace loadgen
