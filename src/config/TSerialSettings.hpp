#pragma once
#include <cstdint>
#include <optional>
#include <string>

// The line settings of a serial port, as an analyzer's host interface screen
// gives them. The words are those of the analyzer keys velocidade, bitsDados,
// paridade, bitsParada and controleFluxo.
enum class TParidade { Nenhuma, Par, Impar };
enum class TControleFluxo { Nenhum, RtsCts, XonXoff };

struct TSerialSettings {
  int32_t velocidade = 9600;  // bits per second
  int32_t bitsDados = 8;      // 7 or 8
  TParidade paridade = TParidade::Nenhuma;
  int32_t bitsParada = 1;     // 1 or 2
  TControleFluxo controleFluxo = TControleFluxo::Nenhum;

  bool operator==(const TSerialSettings&) const = default;
};

// "nenhuma", "par", "impar" and "nenhum", "rtscts", "xonxoff" (letter case
// aside); nullopt for any other word.
std::optional<TParidade> ParidadeFromWord(const std::string& word);
std::optional<TControleFluxo> ControleFluxoFromWord(const std::string& word);
std::string Word(TParidade p);
std::string Word(TControleFluxo c);

// The short form analyzer screens use: "9600 8N1", "2400 7E2 xonxoff".
std::string Describe(const TSerialSettings& s);
