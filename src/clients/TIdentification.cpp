#include "clients/TIdentification.hpp"

#include <exception>
#include <vector>

#include "config/TConfigJson.hpp"
#include "protocol/Controls.hpp"
#include "protocol/Headers.hpp"
#include "protocol/Lines.hpp"

bool TIdentification::IsLineJson(const std::string& linha) const {
  if (linha.empty() || linha[0] != '{') return false;
  // "Icounter" cannot span two lines, so looking line by line is the same as
  // looking in the buffer's text.
  return fields_.inputBuffer.Contains("Icounter");
}

void TIdentification::IdentifyHeader(const std::string& linha, bool withFraming) {
  TAnalisador& a = *fields_.analisador;
  const protocol::THeaderIdentity h = protocol::ReadHeader(linha);
  a.protocolo.id = h.protocolo;
  if (!h.padrao) return;  // an MSH without standard encoding characters stays bare
  a.protocolo.versao = h.versao;
  a.aplicacao = h.aplicacao;
  a.modelo = h.modelo;
  if (withFraming) {
    a.usandoVTFS = linha.find(VT) != std::string::npos;
    a.usandoSTXETX = linha.find(STX) != std::string::npos;
  }
  static const std::vector<std::unique_ptr<TAnalisador>> semAnalisadores;
  const TConfigJson* config = ports_.Config();
  a.GetConfigs(config ? config->analisadores : semAnalisadores);
  // A result message never waits for the LIS: the device is looked up with
  // the first host query, the only one that needs it.
  if (withFraming) deviceWanted_ = true;
}

void TIdentification::DeviceArrived(std::unique_ptr<TAparelhoTevarin> device) {
  fields_.analisador->aparelhoTevarin = std::move(device);
  deviceWanted_ = false;
}

size_t TIdentification::IdentificationLine(bool* json) const {
  // Same answer as testing every line from the first in the order ASTM,
  // HL7, JSON, without reading again the lines of earlier chunks.
  const TInputBuffer& buffer = fields_.inputBuffer;
  const size_t cabecalho = buffer.FirstHeaderLine();
  const size_t chave = buffer.HasIcounter() ? buffer.FirstBraceLine() : TInputBuffer::npos;
  *json = chave != TInputBuffer::npos && (cabecalho == TInputBuffer::npos || chave < cabecalho);
  return *json ? chave : cabecalho;
}

int32_t TIdentification::GetProtocolInBuffer(bool lastLineMayGrow) {
  TAnalisador& a = *fields_.analisador;
  if (a.protocolo.id != PROTOCOLO_NAO_INDENTIFICADO) return a.protocolo.id;

  int32_t result = PROTOCOLO_NAO_INDENTIFICADO;
  bool json = false;
  const size_t linha = IdentificationLine(&json);
  if (json) {
    // Not recorded here: block extraction records it with the JSON defaults.
    result = PROTOCOLO_JSON_DIAGNO;
  } else if (linha != TInputBuffer::npos && !(linha + 1 == fields_.inputBuffer.size() && lastLineMayGrow)) {
    IdentifyHeader(fields_.inputBuffer[linha], true);
    result = a.protocolo.id;
  }

  if (a.protocolo.id == PROTOCOLO_ASTM) ports_.Log("Protocolo identificado: ASTM ");
  if (a.protocolo.id == PROTOCOLO_HL7) ports_.Log("Protocolo identificado: HL7 ");
  return result;
}

bool TIdentification::IsMultiLineMessage(const std::string& msg) const {
  try {
    int naoVazias = 0;
    for (const auto& linha : protocol::CutLines(msg).lines) {
      if (!protocol::IsBlankLine(linha)) ++naoVazias;
    }
    return naoVazias > 2;
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.IsMultiLineMessage", e);
    return false;
  }
}
