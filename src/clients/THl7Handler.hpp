#pragma once
#include <cstdint>
#include <string>

#include "clients/TArchiveHandOver.hpp"
#include "clients/TClientFields.hpp"
#include "clients/TClientPorts.hpp"
#include "clients/TQueryFlow.hpp"
#include "lis/TLisQuery.hpp"
#include "protocol/Lines.hpp"

// The HL7 handler: cuts MLLP-framed messages from the head of the input
// buffer, archives result messages and acknowledges them with ACK^R01, and
// answers queries (QCK^Q02, DSR^Q03) and orders (ORR^O02) from the LIS.
class THl7Handler {
 public:
  THl7Handler(TClientFields& fields, TQueryFlow& queries, TArchiveHandOver& archive, TClientPorts& ports)
      : fields_(fields), queries_(queries), archive_(archive), ports_(ports) {}

  // Handles the complete messages in the input buffer; stops at a query that
  // waits for the LIS or a result message that waits to be kept. The text
  // result is always empty.
  std::string ProcessHL7();
  // Asks the LIS for a query (QRY^Q02) or an order (ORM^O01) of type pTipo
  // and queues the reply; answers the reply text ("" while it waits for the LIS).
  std::string ProcessQueryHL7(const TLines& msg, int32_t pTipo);
  // Queues the reply to the query or order with the LIS's answer; answers its text.
  std::string ReplyQueryHL7(const TLines& msg, int32_t pTipo, TLisAnswer& answer);
  // The disk's answer for a result message that waited to be kept: its
  // ACK^R01, or, when the spool refused it, the line that says it was not saved.
  void Kept(const TLines& bloco, const TKept& kept);

 private:
  // Archives a result block and, once it is kept, queues its ACK^R01.
  void ArchiveHL7(TLines& bloco);
  void Acknowledge(const TLines& bloco);
  void NotSaved(const TLines& bloco, const std::string& why);

  TClientFields& fields_;
  TQueryFlow& queries_;
  TArchiveHandOver& archive_;
  TClientPorts& ports_;
};
