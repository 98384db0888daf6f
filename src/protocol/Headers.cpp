#include "protocol/Headers.hpp"

#include "protocol/Lines.hpp"
#include "util/TString.hpp"

namespace protocol {

namespace {

std::string Piece(const std::string& linha, int n) { return TString::GetFieldFromSplit(linha, '|', n); }

}  // namespace

bool IsLineASTM(const std::string& linha) {
  return OccursFirstAt1Or2(linha, "H|") || OccursFirstAt1Or2(linha, "1H|");
}

bool IsLineHL7(const std::string& linha) { return OccursFirstAt1Or2(linha, "MSH|"); }

THeaderIdentity ReadHeader(const std::string& linha) {
  THeaderIdentity h;
  if (IsLineASTM(linha)) {
    h.protocolo = PROTOCOLO_ASTM;
    h.versao = Piece(linha, 13);
    h.aplicacao = TString::Trim(TString::GetFieldFromSplit(Piece(linha, 5), '^', 1));
    h.modelo = h.aplicacao;
    h.padrao = true;
    return h;
  }
  h.protocolo = PROTOCOLO_HL7;
  // The encoding characters stand in MSH-2, or two pieces further right.
  for (const int desvio : {0, 2}) {
    if (Piece(linha, 2 + desvio) == "^~\\&") {
      h.versao = Piece(linha, 12 + desvio);
      h.aplicacao = TString::Trim(Piece(linha, 3 + desvio));
      h.modelo = TString::Trim(Piece(linha, 4 + desvio));
      h.padrao = true;
      break;
    }
  }
  return h;
}

}  // namespace protocol
