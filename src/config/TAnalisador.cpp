#include "config/TAnalisador.hpp"

#include <algorithm>

namespace {

// Letter case folded for A to Z and the Windows-1252 accented capitals, so
// that "Na" and "NA", or "Ç" and "ç", count as the same attribute.
std::string FoldCase(const std::string& s) {
  std::string out = s;
  for (char& ch : out) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) ch = static_cast<char>(c + 0x20);
  }
  return out;
}

}  // namespace

void TExame::AddAtributo(const std::string& pDescricao) { atributos.push_back(pDescricao); }

std::string TExames::GetCodigos() const {
  std::string out;
  for (const TExame* exame : *this) {
    if (!out.empty()) out += ", ";
    out += std::to_string(exame->codigo);
  }
  return out;
}

std::string TProtocolo::GetNome() const {
  switch (id) {
    case PROTOCOLO_ASTM: return "ASTM";
    case PROTOCOLO_HL7: return "HL7";
    case PROTOCOLO_JSON_DIAGNO: return "JSON DIAGNO";
    default: return "N\xE3o identificado";
  }
}

void TProtocolo::SetID(const std::string& pNome) {
  if (pNome == "ASTM")
    id = PROTOCOLO_ASTM;
  else if (pNome == "HL7")
    id = PROTOCOLO_HL7;
  else if (pNome == "JSON DIAGNO")
    id = PROTOCOLO_JSON_DIAGNO;
}

TExame& TAnalisador::AddExame(std::unique_ptr<TExame> exame) {
  TExame& ref = *exame;
  examesProprios.push_back(std::move(exame));
  exames.push_back(&ref);
  return ref;
}

void TAnalisador::GetConfigs(const std::vector<std::unique_ptr<TAnalisador>>& pAnalisadores) {
  for (const auto& configurado : pAnalisadores) {
    if (!configurado || configurado->modelo != modelo) continue;
    nomeTevarin = configurado->nomeTevarin;
    // References only: the entries stay owned by the configured analyzer.
    exames.assign(configurado->exames.begin(), configurado->exames.end());
    return;
  }
}

std::vector<std::string> TAnalisador::GetAtibutosDeExames() const {
  std::vector<std::string> out;
  std::vector<std::string> folded;
  for (const TExame* exame : exames) {
    for (const auto& atributo : exame->atributos) {
      std::string key = FoldCase(atributo);
      if (std::find(folded.begin(), folded.end(), key) != folded.end()) continue;
      folded.push_back(std::move(key));
      out.push_back(atributo);
    }
  }
  return out;
}

bool TAnalisador::UsandoCaracterControle() const { return usandoVTFS || usandoSTXETX; }
