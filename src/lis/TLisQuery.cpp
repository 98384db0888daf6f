#include "lis/TLisQuery.hpp"

#include <exception>

TAnalisador CopyForLookup(const TAnalisador& a) {
  TAnalisador c;
  c.aplicacao = a.aplicacao;
  c.modelo = a.modelo;
  c.nomeTevarin = a.nomeTevarin;
  c.exames = a.exames;
  c.protocolo = a.protocolo;
  if (a.aparelhoTevarin) c.aparelhoTevarin = std::make_unique<TAparelhoTevarin>(*a.aparelhoTevarin);
  c.usandoVTFS = a.usandoVTFS;
  c.usandoSTXETX = a.usandoSTXETX;
  return c;
}

TLisAnswer LookUpQuery(TLisLookups& lis, TLisQuery& q) {
  TLisAnswer answer;
  // Each step keeps its own failure: the device and the order decide the
  // reply, the names only fill it.
  if (q.buscarAparelho) {
    try {
      answer.aparelho = lis.GetAparelhoTevarin(q.analisador);
    } catch (const std::exception&) {
      answer.aparelho.reset();  // as a device the LIS does not know
    }
    answer.aparelhoBuscado = true;
    q.analisador.aparelhoTevarin =
        answer.aparelho ? std::make_unique<TAparelhoTevarin>(*answer.aparelho) : nullptr;
  }
  try {
    answer.pedido = lis.GetDadosProtocolo(q.analisador, q.codigo);
  } catch (const std::exception& e) {
    answer.erroPedido = e.what();
    return answer;
  }
  if (q.buscarNomes && answer.Encontrado()) {
    answer.pedido->First();
    const auto pedCod = static_cast<int32_t>(answer.pedido->AsInteger("ped_cod"));
    try {
      answer.nomes = lis.GetExamesProtocolo(q.analisador, pedCod);
    } catch (const std::exception& e) {
      answer.erroNomes = e.what();
    }
  }
  return answer;
}

TLisAnswer NoAnswer(const std::string& motivo) {
  TLisAnswer answer;
  answer.semResposta = motivo;
  return answer;
}
