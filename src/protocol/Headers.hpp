#pragma once
#include <cstdint>
#include <string>

#include "protocol/ProtocolCodes.hpp"

// Header lines and the analyzer identity they carry. Pure.
namespace protocol {

// An ASTM header: "H|" or "1H|" first at position 1 or 2.
bool IsLineASTM(const std::string& linha);
// An HL7 header: "MSH|" first at position 1 or 2.
bool IsLineHL7(const std::string& linha);

// What a header line says about the analyzer.
struct THeaderIdentity {
  int32_t protocolo = PROTOCOLO_NAO_INDENTIFICADO;  // PROTOCOLO_ASTM or PROTOCOLO_HL7 once read
  std::string versao;
  std::string aplicacao;
  std::string modelo;
  // False for an MSH without the standard encoding characters: only the
  // protocol is known then.
  bool padrao = false;
};

// The identity of an ASTM or HL7 header line (the line passes one of the tests above).
THeaderIdentity ReadHeader(const std::string& linha);

}  // namespace protocol
