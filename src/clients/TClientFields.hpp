#pragma once
#include <deque>
#include <memory>
#include <string>

#include "clients/TInputBuffer.hpp"
#include "config/TAnalisador.hpp"

// The client record's own fields as the design names them, in its order
// (inTransferPhase, read from the reception, stands on TSocketClient). The
// record's owners work on them; none of them reaches the record itself.
struct TClientFields {
  TClientFields(const std::string& cliente_id, const std::string& pasta) : id(cliente_id), pasta_saida(pasta) {}

  std::string id;                        // remote host name, ":", remote port; never changes
  TInputBuffer inputBuffer;              // received lines, arrival order, with their facts
  std::deque<std::string> outputBuffer;  // reply items, first in first out
  bool buffer_receiving_waiting_terminator = false;  // a chunk with VT came, none with FS since
  std::string buffer_receiving_terminator;           // FS while the flag above is set
  std::string buffer_reading_terminator;             // ends an HL7 block when cut; always empty
  bool usingFrameToFrame = false;        // the client sent ENQ: one reply item per ACK
  bool using_multiline = false;          // never read
  std::unique_ptr<TAnalisador> analisador = std::make_unique<TAnalisador>();  // what identification found
  std::string pasta_saida;               // the output folder for archive files
};
