#pragma once
#include <memory>
#include <string>

#include "config/TAnalisador.hpp"
#include "db/TResultTable.hpp"
#include "lis/TLisLookups.hpp"

// What one host query asks the LIS, in one go: the analyzer's device when the
// connection does not know it yet, the sample's order, and the order's test
// names. It carries its own copy of the analyzer, so it can be answered on
// another thread while the connection's record goes on living.
struct TLisQuery {
  TAnalisador analisador;        // a copy (exam entries still refer to the configuration)
  bool buscarAparelho = false;   // the device is looked up first
  std::string codigo;            // the visible order code, as the reply prepared it
  bool buscarNomes = false;      // the test names are wanted when the order is found
};

// The LIS's answer to a TLisQuery.
struct TLisAnswer {
  bool aparelhoBuscado = false;                // the device lookup ran (aparelho may still be none)
  std::unique_ptr<TAparelhoTevarin> aparelho;  // the device found
  std::unique_ptr<TResultTable> pedido;        // the order rows; none when the lookup failed
  std::unique_ptr<TResultTable> nomes;         // the test names; none when not asked or none
  std::string erroPedido;                      // the order lookup raised this
  std::string erroNomes;                       // the test-name lookup raised this
  std::string semResposta;                     // why the LIS gave no answer at all (empty: it did)
  std::string falhaBanco;                      // the database layer's message when a lookup failed there

  // True when the order was found (a table with at least one row).
  bool Encontrado() const { return pedido && pedido->RecordCount() > 0; }
};

// A copy of a client analyzer for a lookup: names, exams (by reference, as the
// client analyzer holds them), protocol and the device record.
TAnalisador CopyForLookup(const TAnalisador& a);

// Asks the LIS in the order the connection would: device, order, test names.
// Never throws: what a lookup raises is kept in the answer.
TLisAnswer LookUpQuery(TLisLookups& lis, TLisQuery& q);

// The answer given when the LIS did not answer: no order, and why.
TLisAnswer NoAnswer(const std::string& motivo);
