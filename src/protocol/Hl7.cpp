#include "protocol/Hl7.hpp"

#include <cstdio>

#include "protocol/Controls.hpp"
#include "protocol/Mllp.hpp"
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
    linha = mllp::Unwrap(linha);
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
  if (TString::GetFieldFromSplit(msh, '|', 2) == ENCODING_CHARS) return standardPiece;
  if (TString::GetFieldFromSplit(msh, '|', 4) == ENCODING_CHARS) return standardPiece + 2;
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
  v.fabricante = TString::GetFieldFromSplit(msh, '|', MshPiece(msh, 3, 3));
  v.modelo = TString::GetFieldFromSplit(msh, '|', MshPiece(msh, 4, 4));
  v.id_message = TString::GetFieldFromSplit(msh, '|', MshPiece(msh, 10, 10));
  return v;
}

std::string BuildAckR01(const AckValues& v, const TDateTime& now) {
  return "MSH|^~\\&|" + v.fabricante + "|" + v.modelo + "|||" + FormatTimestamp(now) + "||ACK^R01|" +
         v.id_message + "|P|2.3.1||||0||ASCII|||\r" + "MSA|AA|" + v.id_message + "|Message accepted|||0|\r";
}

}  // namespace hl7
