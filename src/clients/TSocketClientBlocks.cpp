#include <exception>

#include "clients/TSocketClient.hpp"
#include "clients/TSocketClientRules.hpp"
#include "config/TGlobal.hpp"

namespace clientrules {

bool PossuiBlocoCompletoASTM(const std::deque<std::string>& lines) {
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

namespace {

template <typename Lines>
std::string JoinWithCrLf(const Lines& lines) {
  size_t total = 0;
  for (const auto& linha : lines) total += linha.size() + 2;
  std::string text;
  text.reserve(total);
  for (const auto& linha : lines) {
    text += linha;
    text += "\r\n";
  }
  return text;
}

}  // namespace

std::string LinesText(const std::deque<std::string>& lines) { return JoinWithCrLf(lines); }

std::string LinesText(const std::vector<std::string>& lines) { return JoinWithCrLf(lines); }

}  // namespace clientrules

bool TSocketClient::BufferPossuiBlocoCompleto() {
  try {
    const int32_t protocolo = GetProtocolInBuffer();
    if (protocolo != PROTOCOLO_ASTM && protocolo != PROTOCOLO_HL7) return false;  // JSON waits for EOT
    // The same rules as PossuiBlocoCompletoASTM/HL7, answered from the facts
    // kept per chunk instead of reading the whole buffer again.
    inputIndex_.Update(inputBuffer);
    if (protocolo == PROTOCOLO_ASTM) {
      return inputIndex_.HasETX() || (inputIndex_.HasHStart() && inputIndex_.HasLStart());
    }
    if (inputBuffer.size() >= 2 && inputBuffer[1].find("ORC") != std::string::npos) return true;
    return inputIndex_.HasFS();
  } catch (const std::exception& e) {
    doLog(std::string("TSocketClient.BufferPossuiBlocoCompleto() -> Erro: ") + e.what());
    return false;
  }
}

TLines TSocketClient::GetBlocoInBuffer(size_t* sourceLines) {
  TLines bloco;
  size_t usadas = 0;  // input lines the block was cut from, skipped ones included
  try {
    TAnalisador& a = *analisador;
    for (size_t i = 0; i < inputBuffer.size(); ++i) {
      const std::string& linha = inputBuffer[i];
      if (linha == "JA PROCESSADA") {
        usadas = i + 1;
        continue;
      }
      if (a.protocolo.id == PROTOCOLO_NAO_INDENTIFICADO) {
        const bool astm = IsLineASTM(linha);
        const bool hl7 = !astm && IsLineHL7(linha);
        const bool json = !astm && !hl7 && IsLineJson(linha);
        // A header after unidentified lines starts the next block.
        if ((astm || hl7 || json) && !bloco.empty()) break;
        if (astm || hl7) {
          // Unlike identification proper: no framing flags, no LIS look-up.
          IdentificarPorCabecalho(linha, false);
        } else if (json) {
          a.protocolo.id = PROTOCOLO_JSON_DIAGNO;
          a.protocolo.versao = "1.4";
          a.aplicacao = "Diagno";
          a.modelo = "Icounter";
          doLog("Protocolo identificado: Json Diagno ");
        }
      }

      usadas = i + 1;
      if (linha == TERMINADOR_BLOCO) continue;  // ends nothing, never copied
      bloco.push_back(linha);
      bool fim = false;
      switch (a.protocolo.id) {
        case PROTOCOLO_ASTM:
          fim = clientrules::OccursFirstAt1Or2(linha, "L|");
          break;
        case PROTOCOLO_HL7:
          fim = linha == buffer_reading_terminator;
          break;
        case PROTOCOLO_JSON_DIAGNO:
          fim = linha.empty();
          break;
        default:
          break;
      }
      if (fim) break;
    }

    doLog("BLOCO ENCONTRADO " + clientrules::LinesText(bloco));
    doLog("BUFFER ATUAL " + clientrules::LinesText(inputBuffer));
  } catch (const std::exception& e) {
    doLog(std::string("TSocketClient.GetBlocoInBuffer() -> Erro: ") + e.what());
  }
  if (sourceLines) *sourceLines = usadas;
  return bloco;
}
