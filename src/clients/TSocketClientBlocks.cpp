// Completeness of the input buffer and the cutting of its first block.
#include <exception>

#include "clients/TSocketClient.hpp"

bool TSocketClient::BufferPossuiBlocoCompleto() {
  try {
    const int32_t protocolo = GetProtocolInBuffer();
    if (protocolo != PROTOCOLO_ASTM && protocolo != PROTOCOLO_HL7) return false;  // JSON waits for EOT
    // The same rules as PossuiBlocoCompletoASTM/HL7, answered from the facts
    // kept per chunk instead of reading the whole buffer again.
    if (protocolo == PROTOCOLO_ASTM) {
      // The rule of PossuiBlocoCompletoASTM from the facts the buffer keeps.
      if (UltimaLinhaPodeCrescer() && inputBuffer.back().find(ETX) == std::string::npos) return false;
      return inputBuffer.HasETX() || (inputBuffer.HasHStart() && inputBuffer.HasLStart());
    }
    if (inputBuffer.size() >= 2 && inputBuffer[1].find("ORC") != std::string::npos) return true;
    return inputBuffer.HasFS();
  } catch (const std::exception& e) {
    LogError("TSocketClient.BufferPossuiBlocoCompleto", e);
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
          Log("Protocolo identificado: Json Diagno ");
        }
      }

      usadas = i + 1;
      if (linha == TERMINADOR_BLOCO) continue;  // ends nothing, never copied
      bloco.push_back(linha);
      bool fim = false;
      switch (a.protocolo.id) {
        case PROTOCOLO_ASTM:
          fim = protocol::OccursFirstAt1Or2(linha, "L|");
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

    Log("BLOCO ENCONTRADO " + protocol::LinesText(bloco));
    Log("BUFFER ATUAL " + protocol::LinesText(inputBuffer));
  } catch (const std::exception& e) {
    LogError("TSocketClient.GetBlocoInBuffer", e);
  }
  if (sourceLines) *sourceLines = usadas;
  return bloco;
}
