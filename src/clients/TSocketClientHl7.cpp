// HL7 handler: cuts MLLP-framed messages from the head of the input buffer,
// archives result messages and acknowledges them with ACK^R01, and hands
// queries and orders to the query reply.
#include <cstdio>

#include "clients/Hl7Protocol.hpp"
#include "clients/TSocketClient.hpp"
#include "config/TGlobal.hpp"
#include "util/TString.hpp"

namespace hl7 {

const std::vector<std::string> HL7_PREFIXOS = {"MSH", "PID", "PV1", "SPM", "SAC", "OBR", "ORC", "OBX"};

namespace {
const std::string ENCODING_CHARS = "^~\\&";
}

std::optional<TLines> GetBlocoProcessarHL7(const std::deque<std::string>& inputBuffer, size_t& sourceLines) {
  sourceLines = 0;
  // Find the end first: an unclosed message that keeps growing is scanned, not copied.
  size_t fim = 0;
  bool achou = false;
  for (; fim < inputBuffer.size(); ++fim) {
    if (inputBuffer[fim].find(FS) != std::string::npos) {
      achou = true;
      break;
    }
  }
  if (!achou) return std::nullopt;
  TLines bloco;
  bloco.reserve(fim + 1);
  for (size_t i = 0; i <= fim; ++i) {
    // A terminator marker is never part of a message, only counted as consumed.
    if (inputBuffer[i] != TERMINADOR_BLOCO) bloco.push_back(inputBuffer[i]);
  }
  sourceLines = fim + 1;
  return bloco;
}

void LimparBlocoHL7(TLines& bloco) {
  for (auto& linha : bloco) {
    std::string limpa;
    limpa.reserve(linha.size());
    for (char c : linha)
      if (c != VT && c != FS) limpa.push_back(c);
    linha.swap(limpa);
  }
}

int32_t GetMessageType(const std::string& linhaMSH) {
  if (linhaMSH.find("|QRY^Q02|") != std::string::npos) return QUERY_QRY;
  if (linhaMSH.find("|ORM^O01|") != std::string::npos) return QUERY_ORM;
  return QUERY_NID;
}

bool IsConfirmationMessageHL7(const TLines& bloco) {
  return !bloco.empty() && bloco.front().find("ACK^Q03|") != std::string::npos;
}

void PrepararBlocoHL7(TLines& bloco, const std::vector<std::string>& pPrefixos) {
  TLines unidas;
  unidas.reserve(bloco.size());
  for (auto& linha : bloco) {
    // With nothing before it, a stray first line cannot be a continuation; keep it.
    if (linha.empty() || unidas.empty() || PrefixoOK(linha, pPrefixos))
      unidas.push_back(std::move(linha));
    else
      unidas.back() += linha;
  }
  bloco.swap(unidas);
}

size_t HeaderLineIndex(const TLines& bloco) {
  for (size_t i = 0; i < bloco.size(); ++i)
    if (bloco[i].compare(0, 3, "MSH") == 0) return i;
  return 0;
}

int MshPiece(const std::string& msh, int standardPiece, int specifiedPiece) {
  if (TString::GetValueFromSplit(msh, "|", 2) == ENCODING_CHARS) return standardPiece;
  if (TString::GetValueFromSplit(msh, "|", 4) == ENCODING_CHARS) return standardPiece + 2;
  return specifiedPiece;
}

std::string FormatTimestamp(const TDateTime& t) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return buf;
}

std::string FormatDate(const TDateTime& t) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", t.year, t.month, t.day);
  return buf;
}

AckValues ReadAckValues(const std::string& msh) {
  AckValues v;
  v.fabricante = TString::GetValueFromSplit(msh, "|", MshPiece(msh, 3, 3));
  v.modelo = TString::GetValueFromSplit(msh, "|", MshPiece(msh, 4, 4));
  v.id_message = TString::GetValueFromSplit(msh, "|", MshPiece(msh, 10, 10));
  return v;
}

std::string BuildAckR01(const AckValues& v, const TDateTime& now) {
  return "MSH|^~\\&|" + v.fabricante + "|" + v.modelo + "|||" + FormatTimestamp(now) + "||ACK^R01|" +
         v.id_message + "|P|2.3.1||||0||ASCII|||\r" + "MSA|AA|" + v.id_message + "|Message accepted|||0|\r";
}

}  // namespace hl7

namespace {

bool DebugOn() { return global && global->config && global->config->debug; }

TDateTime Agora() { return global ? global->clock() : SystemNow(); }

// Drops lines at the head that hold only blanks or control characters (the CR
// after an FS, stray NULs). A line holding VT opens the next message and stays.
void DescartarLinhasVazias(std::deque<std::string>& buffer) {
  while (!buffer.empty() && buffer.front().find(VT) == std::string::npos &&
         TSocketClient::IsBlankLine(buffer.front()))
    buffer.pop_front();
}

}  // namespace

std::string TSocketClient::ProcessHL7() {
  try {
    const bool debug = DebugOn();
    DescartarLinhasVazias(inputBuffer);
    size_t origem = 0;
    auto bloco = hl7::GetBlocoProcessarHL7(inputBuffer, origem);
    if (debug && bloco) doLog("bloco_para_salvar: \r" + clientrules::LinesText(*bloco));
    while (bloco) {
      hl7::LimparBlocoHL7(*bloco);
      if (debug) doLog("bloco_para salvar (limpo): \r" + clientrules::LinesText(*bloco));
      // The header decides; text that preceded it in the block does not.
      const size_t cabecalho = hl7::HeaderLineIndex(*bloco);
      const TLines mensagem(bloco->begin() + static_cast<std::ptrdiff_t>(cabecalho), bloco->end());
      const int32_t tipo = mensagem.empty() ? hl7::QUERY_NID : hl7::GetMessageType(mensagem.front());

      if (tipo == hl7::QUERY_QRY || tipo == hl7::QUERY_ORM) {
        if (debug) {
          doLog("");
          doLog("Consulta iniciada");
        }
        ProcessQueryHL7(mensagem, tipo);
        // Only this message leaves; what came after it is handled below.
        ConsumeInputLines(origem);
      } else if (hl7::IsConfirmationMessageHL7(mensagem)) {
        ConsumeInputLines(origem);
        if (debug) {
          doLog("");
          doLog("Consulta finalizada");
        }
      } else {
        hl7::PrepararBlocoHL7(*bloco);
        if (debug) doLog(clientrules::LinesText(*bloco));
        const std::string arquivo = GetFileName(*bloco);
        try {
          // SaveBlock throws when nothing was archived (a folder path included):
          // the acknowledgement below is only reached for a written file.
          SaveBlock(arquivo, *bloco);
          const hl7::AckValues valores = hl7::ReadAckValues((*bloco)[hl7::HeaderLineIndex(*bloco)]);
          outputBuffer.push_back(hl7::BuildAckR01(valores, Agora()));
          doLog("Item salvo em " + arquivo);
        } catch (const std::exception& e) {
          doLog(std::string("\r\rN\xE3o foi poss\xEDvel salvar informa\xE7\xF5") + "es recebidas.\rErro: " +
                e.what() + "\r\rInforma\xE7\xF5" + "es:\r" + clientrules::LinesText(*bloco));
        }
        // The lines the block was cut from, not the joined count: a split
        // segment's tail must not come back as a message of its own.
        ConsumeInputLines(origem);
      }

      DescartarLinhasVazias(inputBuffer);
      if (debug) doLog("Buffer lines: " + std::to_string(inputBuffer.size()));
      bloco = hl7::GetBlocoProcessarHL7(inputBuffer, origem);
      if (debug && bloco) doLog("bloco_para_salvar: \r" + clientrules::LinesText(*bloco));
    }
    if (!inputBuffer.empty()) {
      doLog("");
      doLog("Buffer cont\xE9m res\xED" "duos da \xFAltima mensagem recebida: {" + clientrules::LinesText(inputBuffer) + "}");
    }
  } catch (const std::exception& e) {
    doLog(std::string("TSocketClient.ProcessarHL7() -> Erro: ") + e.what());
  }
  return {};
}
