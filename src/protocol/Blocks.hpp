#pragma once
#include <deque>
#include <string>
#include <vector>

#include "protocol/Lines.hpp"

// Completeness of a client's input buffer and the preparation of a block
// before it is archived. Pure.
namespace protocol {

// Completeness of an ASTM buffer: any ETX, or an "H|" line and an "L|" line;
// never while the last line is still open (the next chunk may continue it)
// and holds no ETX, since a record completed now would be archived cut short.
bool PossuiBlocoCompletoASTM(const std::deque<std::string>& lines, bool ultimaLinhaAberta = false);
// Completeness of an HL7 buffer: "ORC" in the second line, or any FS.
bool PossuiBlocoCompletoHL7(const std::deque<std::string>& lines);

// Segments that start a new line when PrepararLinhas rejoins an HL7 block
// (shorter than the HL7 handler's own hl7::HL7_PREFIXOS; the two are not shared).
inline const std::vector<std::string> PREPARAR_BUFFER_PREFIXOS = {"MSH", "PID", "PV1", "OBR", "OBX"};
// Rejoins an HL7 block (first line beginning "MSH"); other blocks stay as they are.
void PrepararLinhas(std::vector<std::string>& bloco);

}  // namespace protocol
