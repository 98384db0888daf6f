#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/ProtocolCodes.hpp"

// One exam of a configured analyzer.
struct TExame {
  int32_t codigo = 0;                  // the exam's code in the LIS
  std::string nome;                    // the exam's name
  std::vector<std::string> atributos;  // analyzer-side test codes, configuration order

  void AddAtributo(const std::string& pDescricao);
};

// Ordered references to exam entries owned by a configured analyzer.
class TExames : public std::vector<const TExame*> {
 public:
  // Decimal codes joined with ", ".
  std::string GetCodigos() const;
};

// Protocol code and version of an analyzer.
struct TProtocolo {
  int32_t id = PROTOCOLO_NAO_INDENTIFICADO;
  std::string versao;

  std::string GetNome() const;
  void SetID(const std::string& pNome);
};

// The analyzer's device record in the LIS.
struct TAparelhoTevarin {
  int32_t codigo = 0;
  std::vector<std::string> exames;  // LIS exam codes as text
};

// A configured analyzer (built by the configuration load, owns its exams) or
// a client analyzer (filled by protocol identification, refers to the exams
// of the configured analyzer it matched).
class TAnalisador {
 public:
  std::string aplicacao;
  std::string modelo;
  std::string nomeTevarin;
  TExames exames;
  TProtocolo protocolo;
  std::unique_ptr<TAparelhoTevarin> aparelhoTevarin;
  bool usandoVTFS = false;
  bool usandoSTXETX = false;
  // Minutes without a byte from this (configured) analyzer before the silence alarm (0: off).
  int32_t alertaSilencioMinutos = 0;
  // The link the service opens itself for this (configured) analyzer, when it
  // has one: a serial device and its line, or a port server's "host:porta".
  std::string portaSerial;
  int32_t velocidade = 0;
  int32_t bitsDados = 0;
  std::string paridade;
  int32_t bitsParada = 0;
  std::string controleFluxo;
  std::string conectarEm;
  int32_t intervaloReconexaoSegundos = 0;  // a failed or lost link is opened again after this
  bool controleSemCRLF = false;            // the top-level controleSemCRLF, for this analyzer's links

  // Storage of a configured analyzer's own exams; `exames` refers into it.
  std::vector<std::unique_ptr<TExame>> examesProprios;

  // Adds an exam owned by this (configured) analyzer and lists it in `exames`.
  TExame& AddExame(std::unique_ptr<TExame> exame);
  // Completes a client analyzer from the first configured analyzer of the same modelo.
  void GetConfigs(const std::vector<std::unique_ptr<TAnalisador>>& pAnalisadores);
  // Attributes of all exams, first-seen order, duplicates (ignoring case) dropped.
  std::vector<std::string> GetAtibutosDeExames() const;
  bool UsandoCaracterControle() const;
};
