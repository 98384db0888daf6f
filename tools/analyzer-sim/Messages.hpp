#pragma once
#include <string>
#include <vector>

// Query messages the simulator composes, and readable summaries of the host's answers.
namespace sim {

// Who the simulated analyzer says it is in its header.
struct Identity {
  std::string application = "SIM";  // HL7 MSH-3
  std::string model = "SIM";         // ASTM H field 5 (component 1), HL7 MSH-4
  std::string version;               // ASTM H field 13 / HL7 MSH-12; empty: the mode's default
};

// H, Q|1|^SAMPLE||ALL||||||||O, L (records without CR).
std::vector<std::string> BuildAstmQuery(const Identity& id, const std::string& sample,
                                        const std::string& timestamp);
// QRY^Q02 with QRD-8 = sample (segments ended by CR).
std::string BuildHl7Query(const Identity& id, const std::string& sample,
                          const std::string& timestamp, const std::string& controlId);
// ORM^O01 with ORC-3 = sample.
std::string BuildHl7Order(const Identity& id, const std::string& sample,
                          const std::string& timestamp, const std::string& controlId);
// ACK^Q03: the analyzer confirms a DSR^Q03.
std::string BuildHl7QueryConfirmation(const Identity& id, const std::string& timestamp,
                                      const std::string& controlId, const std::string& ackedId);

// True when the records hold a Q (request information) record.
bool IsAstmQuery(const std::vector<std::string>& records);

// What the host answered about an order.
struct OrderSummary {
  bool recognised = false;  // the reply had the expected records/segments
  bool found = false;       // an order came back
  std::vector<std::string> lines;  // readable description
};
// H, P, O, L records of an ASTM query reply.
OrderSummary DescribeAstmReply(const std::vector<std::string>& records);
// DSR^Q03 (query data) or ORR^O02 (order reply).
OrderSummary DescribeHl7Order(const std::string& message);

}  // namespace sim
