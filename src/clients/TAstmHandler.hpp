#pragma once
#include <string>

#include "clients/TArchiveHandOver.hpp"
#include "clients/TClientFields.hpp"
#include "clients/TClientPorts.hpp"
#include "clients/TQueryFlow.hpp"
#include "lis/TLisQuery.hpp"
#include "protocol/Lines.hpp"

// The ASTM handler: cleans the framed lines gathered by reception, cuts them
// into messages, archives result messages and answers host queries with the
// header, patient, order and terminator records framed for the analyzer.
class TAstmHandler {
 public:
  TAstmHandler(TClientFields& fields, TQueryFlow& queries, TArchiveHandOver& archive, TClientPorts& ports)
      : fields_(fields), queries_(queries), archive_(archive), ports_(ports) {}

  // Handles the complete messages in the input buffer; "use buffer" when a
  // query reply was queued. Stops at a query that waits for the LIS.
  // resuming: the run goes on after such a query (blocks were handled before it).
  std::string ProcessASTM(bool resuming = false);
  // Asks the LIS for an ASTM query block and queues the reply; "use buffer"
  // when queued, "" while it waits for the LIS (or when it failed).
  std::string ProcessQueryASTM(const TLines& msg);
  // Queues the reply to the query block with the LIS's answer.
  std::string ReplyQueryASTM(const TLines& msg, TLisAnswer& answer);

 private:
  TClientFields& fields_;
  TQueryFlow& queries_;
  TArchiveHandOver& archive_;
  TClientPorts& ports_;
};
