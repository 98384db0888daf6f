#include "protocol/Blocks.hpp"

#include "protocol/Controls.hpp"

namespace protocol {

bool PossuiBlocoCompletoASTM(const std::deque<std::string>& lines, bool ultimaLinhaAberta) {
  if (ultimaLinhaAberta && !lines.empty() && lines.back().find(ETX) == std::string::npos) return false;
  for (const auto& linha : lines) {
    if (linha.find(ETX) != std::string::npos) return true;
  }
  // Unframed records: a header and a terminator record, in either order.
  bool header = false;
  bool terminator = false;
  for (const auto& linha : lines) {
    if (linha.compare(0, 2, "H|") == 0) header = true;
    if (linha.compare(0, 2, "L|") == 0) terminator = true;
    if (header && terminator) return true;
  }
  return false;
}

bool PossuiBlocoCompletoHL7(const std::deque<std::string>& lines) {
  // An order (ORM) is answered at once, on the strength of its ORC line.
  if (lines.size() >= 2 && lines[1].find("ORC") != std::string::npos) return true;
  for (const auto& linha : lines) {
    if (linha.find(FS) != std::string::npos) return true;
  }
  return false;
}

void PrepararLinhas(std::vector<std::string>& bloco) {
  if (bloco.empty()) return;
  if (OccursFirstAt1Or2(bloco[0], "H|")) return;  // ASTM
  if (bloco[0].compare(0, 3, "MSH") != 0) return;  // JSON and anything else
  // Segments the analyzer broke over several lines are glued back to the
  // segment they belong to; empty lines vanish the same way.
  std::vector<std::string> result;
  for (auto& linha : bloco) {
    if (result.empty() || PrefixoOK(linha, PREPARAR_BUFFER_PREFIXOS)) {
      result.push_back(std::move(linha));
    } else {
      result.back() += linha;
    }
  }
  bloco = std::move(result);
}

}  // namespace protocol
