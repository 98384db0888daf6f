// Protocol identification: which protocol and analyzer a connection speaks,
// found once from the first header line.
#include <exception>

#include "clients/TSocketClient.hpp"
#include "config/TConfigJson.hpp"
#include "protocol/Blocks.hpp"
#include "protocol/Headers.hpp"

bool TSocketClient::IsLineJson(const std::string& linha) const {
  if (linha.empty() || linha[0] != '{') return false;
  // "Icounter" cannot span two lines, so looking line by line is the same as
  // looking in the buffer's text.
  return HasInBuffer("Icounter");
}

void TSocketClient::IdentificarPorCabecalho(const std::string& linha, bool completar) {
  TAnalisador& a = *analisador;
  const protocol::THeaderIdentity h = protocol::ReadHeader(linha);
  a.protocolo.id = h.protocolo;
  if (!h.padrao) return;  // an MSH without standard encoding characters stays bare
  a.protocolo.versao = h.versao;
  a.aplicacao = h.aplicacao;
  a.modelo = h.modelo;
  if (completar) {
    a.usandoVTFS = linha.find(VT) != std::string::npos;
    a.usandoSTXETX = linha.find(STX) != std::string::npos;
  }
  static const std::vector<std::unique_ptr<TAnalisador>> semAnalisadores;
  a.GetConfigs(context_.config ? context_.config->analisadores : semAnalisadores);
  if (!completar) return;
  // A result message never waits for the LIS: with deferred lookups the
  // device is looked up with the first host query, the only one that needs it.
  if (context_.lookupsDeferred)
    aparelhoPendente_ = true;
  else
    a.aparelhoTevarin = GetAparelhoTevarinInDB();
}

size_t TSocketClient::LinhaDeIdentificacao(bool* json) {
  // Same answer as testing every line from the first in the order ASTM,
  // HL7, JSON, without reading again the lines of earlier chunks.
  const size_t cabecalho = inputBuffer.FirstHeaderLine();
  const size_t chave = inputBuffer.HasIcounter() ? inputBuffer.FirstBraceLine() : TInputBuffer::npos;
  *json = chave != TInputBuffer::npos && (cabecalho == TInputBuffer::npos || chave < cabecalho);
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
  } else if (linha != TInputBuffer::npos && !(linha + 1 == inputBuffer.size() && UltimaLinhaPodeCrescer())) {
    // A header line that the next chunk may still continue is left for
    // later: read half, it would give this connection a wrong model for good.
    IdentificarPorCabecalho(inputBuffer[linha], true);
    result = a.protocolo.id;
  }

  if (a.protocolo.id == PROTOCOLO_ASTM) Log("Protocolo identificado: ASTM ");
  if (a.protocolo.id == PROTOCOLO_HL7) Log("Protocolo identificado: HL7 ");
  return result;
}

void TSocketClient::PrepararBuffer(TLines& bloco) const { protocol::PrepararLinhas(bloco); }

bool TSocketClient::IsMultiLineMessage(const std::string& msg) const {
  try {
    int naoVazias = 0;
    for (const auto& linha : protocol::CutLines(msg).lines) {
      if (!IsBlankLine(linha)) ++naoVazias;
    }
    return naoVazias > 2;
  } catch (const std::exception& e) {
    LogError("TSocketClient.IsMultiLineMessage", e);
    return false;
  }
}
