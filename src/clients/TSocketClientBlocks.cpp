#include <exception>

#include "clients/TSocketClient.hpp"
#include "clients/TSocketClientRules.hpp"
#include "config/TGlobal.hpp"
#include "util/TString.hpp"

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

std::string LinesText(const std::deque<std::string>& lines) {
  std::string text;
  for (const auto& linha : lines) text += linha + "\r\n";
  return text;
}

std::string LinesText(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& linha : lines) text += linha + "\r\n";
  return text;
}

}  // namespace clientrules

bool TSocketClient::BufferPossuiBlocoCompleto() {
  try {
    switch (GetProtocolInBuffer()) {
      case PROTOCOLO_ASTM:
        return clientrules::PossuiBlocoCompletoASTM(inputBuffer);
      case PROTOCOLO_HL7:
        return clientrules::PossuiBlocoCompletoHL7(inputBuffer);
      default:
        return false;  // JSON waits for EOT
    }
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
    static const std::vector<std::unique_ptr<TAnalisador>> semAnalisadores;
    const auto& configurados = (global && global->config) ? global->config->analisadores : semAnalisadores;

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
        if (astm) {
          a.protocolo.id = PROTOCOLO_ASTM;
          a.protocolo.versao = GetValueFromSplit(linha, "|", 13);
          a.aplicacao = TString::Trim(GetValueFromSplit(GetValueFromSplit(linha, "|", 5), "^", 1));
          a.modelo = a.aplicacao;
          a.GetConfigs(configurados);
        } else if (hl7) {
          a.protocolo.id = PROTOCOLO_HL7;
          if (GetValueFromSplit(linha, "|", 2) == "^~\\&") {
            a.protocolo.versao = GetValueFromSplit(linha, "|", 12);
            a.aplicacao = TString::Trim(GetValueFromSplit(linha, "|", 3));
            a.modelo = TString::Trim(GetValueFromSplit(linha, "|", 4));
            a.GetConfigs(configurados);
          } else if (GetValueFromSplit(linha, "|", 4) == "^~\\&") {
            a.protocolo.versao = GetValueFromSplit(linha, "|", 14);
            a.aplicacao = TString::Trim(GetValueFromSplit(linha, "|", 5));
            a.modelo = TString::Trim(GetValueFromSplit(linha, "|", 6));
            a.GetConfigs(configurados);
          }
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
