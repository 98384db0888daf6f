#pragma once
#include <cstdint>
#include <optional>

#include "clients/TClientPorts.hpp"
#include "clients/TIdentification.hpp"
#include "lis/TLisQuery.hpp"
#include "protocol/Lines.hpp"

// A host query between its question to the LIS and its reply.
struct TPendingQuery {
  enum class TProtocol { Astm, Hl7 };
  TProtocol protocol = TProtocol::Astm;
  TLines message;        // the query message as its handler cut it
  int32_t hl7Type = 0;   // HL7: hl7::QUERY_QRY or hl7::QUERY_ORM
  TLisQuery question;    // what it asks the LIS
};

// What asking the LIS gave: the answer is there, or the query waits for it.
enum class TLisVerdict { AnsweredNow, WaitingForLis };

// The host queries of one connection and the LIS: asks at once, or holds the
// query while the connection layer asks the LIS off the service thread. The
// handlers reply; the flow never calls back into them, and the reception
// resumes once the answer is in.
class TQueryFlow {
 public:
  TQueryFlow(TIdentification& identification, TClientPorts& ports) : identification_(identification), ports_(ports) {}

  // Asks the query's question (with the device, while identification still
  // wants it): at once through the LIS port, with `answer` filled in
  // (AnsweredNow), or, with deferred lookups, held until Answered (WaitingForLis).
  TLisVerdict Ask(TPendingQuery query, TLisAnswer& answer);
  // A query is held for the LIS's answer.
  bool Waiting() const { return waiting_.has_value(); }
  // The held query's question, handed over once; throws std::logic_error
  // when nothing waits or it was handed over already.
  TLisQuery TakeQuestion();
  // The held query, now that the LIS answered: the flow holds nothing more.
  // Throws std::logic_error when nothing waits.
  TPendingQuery Answered(TLisAnswer& answer);
  // Forgets a held query (the processing that asked it failed).
  void Drop() { waiting_.reset(); }

 private:
  // What every answer brings besides the order: the device, and why the LIS was silent.
  void Receive(TLisAnswer& answer);

  TIdentification& identification_;
  TClientPorts& ports_;
  std::optional<TPendingQuery> waiting_;
  bool handedOver_ = false;
};
