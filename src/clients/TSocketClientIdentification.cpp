#include <exception>

#include "clients/TSocketClient.hpp"
#include "clients/TSocketClientRules.hpp"
#include "config/TGlobal.hpp"
#include "util/TString.hpp"

namespace clientrules {

bool OccursFirstAt1Or2(const std::string& linha, const std::string& what) {
  // The first occurrence is at index 0 or 1 exactly when it occurs at either.
  return linha.compare(0, what.size(), what) == 0 ||
         (linha.size() > what.size() && linha.compare(1, what.size(), what) == 0);
}

bool PrefixoOK(const std::string& pLinha, const std::vector<std::string>& pPrefixos) {
  for (const auto& prefixo : pPrefixos) {
    if (pLinha.compare(0, prefixo.size(), prefixo) == 0) return true;
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
    if (result.empty() || PrefixoOK(linha, HL7_PREFIXOS)) {
      result.push_back(std::move(linha));
    } else {
      result.back() += linha;
    }
  }
  bloco = std::move(result);
}

}  // namespace clientrules

namespace {

// Component `n` of field `campo` of a "|"-delimited line.
std::string Componente(const std::string& linha, int campo, int n) {
  return GetValueFromSplit(GetValueFromSplit(linha, "|", campo), "^", n);
}

}  // namespace

bool TSocketClient::IsLineASTM(const std::string& linha) {
  return clientrules::OccursFirstAt1Or2(linha, "H|") || clientrules::OccursFirstAt1Or2(linha, "1H|");
}

bool TSocketClient::IsLineHL7(const std::string& linha) {
  return clientrules::OccursFirstAt1Or2(linha, "MSH|");
}

bool TSocketClient::IsLineJson(const std::string& linha) const {
  if (linha.empty() || linha[0] != '{') return false;
  // "Icounter" cannot span two lines, so looking line by line is the same as
  // looking in the buffer's text.
  return HasInBuffer("Icounter");
}

void TSocketClient::IdentificarPorCabecalho(const std::string& linha, bool completar) {
  TAnalisador& a = *analisador;
  bool padrao = false;
  if (IsLineASTM(linha)) {
    a.protocolo.id = PROTOCOLO_ASTM;
    a.protocolo.versao = GetValueFromSplit(linha, "|", 13);
    a.aplicacao = TString::Trim(Componente(linha, 5, 1));
    a.modelo = a.aplicacao;
    padrao = true;
  } else {
    a.protocolo.id = PROTOCOLO_HL7;
    if (GetValueFromSplit(linha, "|", 2) == "^~\\&") {
      a.protocolo.versao = GetValueFromSplit(linha, "|", 12);
      a.aplicacao = TString::Trim(GetValueFromSplit(linha, "|", 3));
      a.modelo = TString::Trim(GetValueFromSplit(linha, "|", 4));
      padrao = true;
    } else if (GetValueFromSplit(linha, "|", 4) == "^~\\&") {
      a.protocolo.versao = GetValueFromSplit(linha, "|", 14);
      a.aplicacao = TString::Trim(GetValueFromSplit(linha, "|", 5));
      a.modelo = TString::Trim(GetValueFromSplit(linha, "|", 6));
      padrao = true;
    }
  }
  if (!padrao) return;  // an MSH without standard encoding characters stays bare
  if (completar) {
    a.usandoVTFS = linha.find(VT) != std::string::npos;
    a.usandoSTXETX = linha.find(STX) != std::string::npos;
  }
  static const std::vector<std::unique_ptr<TAnalisador>> semAnalisadores;
  a.GetConfigs((global && global->config) ? global->config->analisadores : semAnalisadores);
  if (completar) a.aparelhoTevarin = GetAparelhoTevarinInDB();
}

size_t TSocketClient::LinhaDeIdentificacao(bool* json) {
  // Same answer as testing every line from the first in the order ASTM,
  // HL7, JSON, without reading again the lines of earlier chunks.
  inputIndex_.Update(inputBuffer);
  const size_t cabecalho = inputIndex_.FirstHeaderLine();
  const size_t chave = inputIndex_.HasIcounter() ? inputIndex_.FirstBraceLine() : TInputIndex::npos;
  *json = chave != TInputIndex::npos && (cabecalho == TInputIndex::npos || chave < cabecalho);
  return *json ? chave : cabecalho;
}

int32_t TSocketClient::GetProtocolInBuffer() {
  TAnalisador& a = *analisador;
  if (a.protocolo.id != PROTOCOLO_NAO_INDENTIFICADO) return a.protocolo.id;

  int32_t result = PROTOCOLO_NAO_INDENTIFICADO;
  bool json = false;
  const size_t linha = LinhaDeIdentificacao(&json);
  if (json) {
    // Not recorded here: block extraction records it with the JSON defaults.
    result = PROTOCOLO_JSON_DIAGNO;
  } else if (linha != TInputIndex::npos && !(linha + 1 == inputBuffer.size() && UltimaLinhaPodeCrescer())) {
    // A header line that the next chunk may still continue is left for
    // later: read half, it would give this connection a wrong model for good.
    IdentificarPorCabecalho(inputBuffer[linha], true);
    result = a.protocolo.id;
  }

  if (a.protocolo.id == PROTOCOLO_ASTM) doLog("Protocolo identificado: ASTM ");
  if (a.protocolo.id == PROTOCOLO_HL7) doLog("Protocolo identificado: HL7 ");
  return result;
}

std::string TSocketClient::ProcessBuffer() {
  std::string result;
  try {
    switch (GetProtocolInBuffer()) {
      case PROTOCOLO_ASTM:
        result = ProcessASTM();
        break;
      case PROTOCOLO_HL7:
        result = ProcessHL7();
        break;
      case PROTOCOLO_JSON_DIAGNO:
        result = ProcessJsonDiagno();
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    doLog(std::string("TSocketClient.ProcessarBuffer() -> Erro: ") + e.what());
  }
  return result;
}

void TSocketClient::PrepararBuffer(TLines& bloco) const { clientrules::PrepararLinhas(bloco); }

bool TSocketClient::IsMultiLineMessage(const std::string& msg) const {
  try {
    int naoVazias = 0;
    for (const auto& linha : clientrules::CutLines(msg).lines) {
      if (!IsBlankLine(linha)) ++naoVazias;
    }
    return naoVazias > 2;
  } catch (const std::exception& e) {
    doLog(std::string("TSocketClient.IsMultiLineMessage() -> Erro: ") + e.what());
    return false;
  }
}
