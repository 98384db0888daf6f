#pragma once
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "analyzer-sim/Connection.hpp"
#include "analyzer-sim/Session.hpp"

// One simulated analyzer of the soak: a persistent connection (renewed now and
// then, as analyzers and their bridges do), result messages with a sample
// identifier of their own, and host queries, each waiting for its answer.
namespace soak {

enum class Protocol { Astm, Hl7, Json };
std::string Name(Protocol p);

// The demo messages every analyzer starts from.
struct Templates {
  std::vector<std::string> astmRecords;  // the XN-550 hemogram
  std::string hl7Message;                // the BC-5380 ORU^R01, segments ended by CR
  std::string jsonDocument;              // the Icounter document
  // Reads them from the demo message folder; throws with the file's name.
  static Templates Load(const std::string& folder);
};

// A result message the service acknowledged, as its archive file must be.
struct Archived {
  std::string sample;
  std::string relativePath;  // <modelo>/<sample>.<ext>
  std::string content;
};

struct Tally {
  long results[3] = {0, 0, 0};  // by Protocol: acknowledged (ASTM, HL7), sent whole (JSON)
  long queriesFound = 0;        // replies with the expected order
  long queriesNotFound = 0;     // replies saying "no order" for an unknown sample
  long reconnects = 0;
  long failureCount = 0;
  std::vector<std::string> failures;  // the first few, one line each
};

// Demo samples the LIS holds an order for, and one it does not know.
inline const std::vector<std::string> kKnownSamples = {"1001", "1005"};
inline const std::string kUnknownSample = "9999";

class Analyzer {
 public:
  // jsonPause: a JSON analyzer's pause between two documents (it awaits no answer).
  Analyzer(int index, Protocol protocol, const Templates& templates, const sim::Options& options,
           std::chrono::milliseconds jsonPause);
  ~Analyzer();

  // One exchange: a result message, or for ASTM and HL7 every fourth a query.
  // A failure is noted in the tally and the connection renewed.
  void Step();
  // Opens the connection when it is closed; false (noted) when the service refuses.
  bool EnsureConnected();
  void Disconnect();

  Protocol protocol() const { return protocol_; }
  const Tally& tally() const { return tally_; }
  const std::vector<Archived>& archived() const { return archived_; }

 private:
  void SendResult();
  void SendQuery();
  void Fail(const std::string& what);
  std::string NextSample();  // unique over the run: A<index>N<sequence>

  int index_;
  Protocol protocol_;
  const Templates& templates_;
  sim::Options options_;
  std::chrono::milliseconds jsonPause_;
  std::ostream quiet_;  // the session's summary lines go nowhere
  std::unique_ptr<sim::Connection> conn_;
  std::unique_ptr<sim::Session> session_;
  long sequence_ = 0;
  long exchanges_ = 0;
  Tally tally_;
  std::vector<Archived> archived_;
};

// What the service writes for a message: every line ended by CR LF.
std::string AstmArchive(const std::vector<std::string>& records);
std::string Hl7Archive(const std::string& message);
std::string JsonArchive(const std::string& document);

}  // namespace soak
