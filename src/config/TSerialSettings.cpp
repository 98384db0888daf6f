#include "config/TSerialSettings.hpp"

#include <algorithm>
#include <cctype>

namespace {
std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}
}  // namespace

std::optional<TParidade> ParidadeFromWord(const std::string& word) {
  const std::string w = Lower(word);
  if (w == "nenhuma") return TParidade::Nenhuma;
  if (w == "par") return TParidade::Par;
  if (w == "impar") return TParidade::Impar;
  return std::nullopt;
}

std::optional<TControleFluxo> ControleFluxoFromWord(const std::string& word) {
  const std::string w = Lower(word);
  if (w == "nenhum") return TControleFluxo::Nenhum;
  if (w == "rtscts") return TControleFluxo::RtsCts;
  if (w == "xonxoff") return TControleFluxo::XonXoff;
  return std::nullopt;
}

std::string Word(TParidade p) {
  switch (p) {
    case TParidade::Nenhuma: return "nenhuma";
    case TParidade::Par: return "par";
    case TParidade::Impar: return "impar";
  }
  return "?";
}

std::string Word(TControleFluxo c) {
  switch (c) {
    case TControleFluxo::Nenhum: return "nenhum";
    case TControleFluxo::RtsCts: return "rtscts";
    case TControleFluxo::XonXoff: return "xonxoff";
  }
  return "?";
}

std::string Describe(const TSerialSettings& s) {
  const char parity = s.paridade == TParidade::Par ? 'E' : s.paridade == TParidade::Impar ? 'O' : 'N';
  std::string text = std::to_string(s.velocidade);
  text.append(1, ' ').append(std::to_string(s.bitsDados)).append(1, parity).append(std::to_string(s.bitsParada));
  if (s.controleFluxo != TControleFluxo::Nenhum) text.append(1, ' ').append(Word(s.controleFluxo));
  return text;
}
