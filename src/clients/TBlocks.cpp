#include "clients/TBlocks.hpp"

#include <exception>

#include "protocol/Controls.hpp"
#include "protocol/Headers.hpp"

bool TBlocks::BufferPossuiBlocoCompleto(bool lastLineMayGrow) {
  try {
    const int32_t protocolo = identification_.GetProtocolInBuffer(lastLineMayGrow);
    if (protocolo != PROTOCOLO_ASTM && protocolo != PROTOCOLO_HL7) return false;  // JSON waits for EOT
    // The rules of PossuiBlocoCompletoASTM/HL7, answered from the facts kept
    // per chunk instead of reading the whole buffer again.
    const TInputBuffer& buffer = fields_.inputBuffer;
    if (protocolo == PROTOCOLO_ASTM) {
      if (lastLineMayGrow && !buffer.empty() && buffer.back().find(ETX) == std::string::npos) return false;
      return buffer.HasETX() || (buffer.HasHStart() && buffer.HasLStart());
    }
    if (buffer.size() >= 2 && buffer[1].find("ORC") != std::string::npos) return true;
    return buffer.HasFS();
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.BufferPossuiBlocoCompleto", e);
    return false;
  }
}

TLines TBlocks::GetBlocoInBuffer(size_t* sourceLines) {
  TLines bloco;
  size_t usadas = 0;  // input lines the block was cut from, skipped ones included
  const TInputBuffer& buffer = fields_.inputBuffer;
  try {
    TAnalisador& a = *fields_.analisador;
    for (size_t i = 0; i < buffer.size(); ++i) {
      const std::string& linha = buffer[i];
      if (linha == "JA PROCESSADA") {
        usadas = i + 1;
        continue;
      }
      if (a.protocolo.id == PROTOCOLO_NAO_INDENTIFICADO) {
        const bool astm = protocol::IsLineASTM(linha);
        const bool hl7 = !astm && protocol::IsLineHL7(linha);
        const bool json = !astm && !hl7 && identification_.IsLineJson(linha);
        // A header after unidentified lines starts the next block.
        if ((astm || hl7 || json) && !bloco.empty()) break;
        if (astm || hl7) {
          // Unlike identification proper: no framing flags, no device wanted.
          identification_.IdentifyHeader(linha, false);
        } else if (json) {
          a.protocolo.id = PROTOCOLO_JSON_DIAGNO;
          a.protocolo.versao = "1.4";
          a.aplicacao = "Diagno";
          a.modelo = "Icounter";
          ports_.Log("Protocolo identificado: Json Diagno ");
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
          fim = linha == fields_.buffer_reading_terminator;
          break;
        case PROTOCOLO_JSON_DIAGNO:
          fim = linha.empty();
          break;
        default:
          break;
      }
      if (fim) break;
    }

    ports_.Log("BLOCO ENCONTRADO " + protocol::LinesText(bloco));
    ports_.Log("BUFFER ATUAL " + protocol::LinesText(buffer));
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.GetBlocoInBuffer", e);
  }
  if (sourceLines) *sourceLines = usadas;
  return bloco;
}
