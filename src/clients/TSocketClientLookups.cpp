// The record's LIS lookups go through the LIS port of its context. A host
// query asks them all in one go (TLisQuery): at once, or, when the context
// defers lookups, through the connection layer, while the record waits.
#include <exception>
#include <stdexcept>

#include "clients/TSocketClient.hpp"

std::unique_ptr<TAparelhoTevarin> TSocketClient::GetAparelhoTevarinInDB() {
  if (!analisador || !context_.lis) return nullptr;
  return context_.lis->GetAparelhoTevarin(*analisador);
}

std::unique_ptr<TResultTable> TSocketClient::GetDadosProtocolo(const TAnalisador& pAnalisador,
                                                               const std::string& pProtocolo) {
  if (!context_.lis) return nullptr;
  return context_.lis->GetDadosProtocolo(pAnalisador, pProtocolo);
}

std::unique_ptr<TResultTable> TSocketClient::GetExamesProtocolo(const TAnalisador& pAnalisador, int32_t pPED_COD) {
  if (!context_.lis) return nullptr;
  return context_.lis->GetExamesProtocolo(pAnalisador, pPED_COD);
}

std::string TSocketClient::AskLis(std::unique_ptr<TPendingQuery> pendente) {
  pendente->query.buscarAparelho = aparelhoPendente_;
  if (context_.lookupsDeferred) {
    pending_ = std::move(pendente);
    return {};
  }
  TLisAnswer answer = context_.lis ? ::AskLis(*context_.lis, pendente->query) : TLisAnswer{};
  return FinishQuery(*pendente, answer);
}

TLisQuery TSocketClient::TakeLisQuery() {
  if (!pending_ || pending_->perguntado) throw std::logic_error("nenhuma consulta esperando o LIS");
  pending_->perguntado = true;
  return std::move(pending_->query);
}

std::string TSocketClient::FinishQuery(TPendingQuery& pendente, TLisAnswer& answer) {
  if (answer.aparelhoBuscado) {
    analisador->aparelhoTevarin = std::move(answer.aparelho);
    aparelhoPendente_ = false;
  }
  if (!answer.semResposta.empty()) {
    Log("Consulta ao LIS sem resposta (" + answer.semResposta + "): respondida como sem pedido");
  }
  return pendente.kind == TPendingQuery::Astm ? ReplyQueryASTM(pendente.msg, answer)
                                              : ReplyQueryHL7(pendente.msg, pendente.tipo, answer);
}

void TSocketClient::AnswerQuery(TLisAnswer answer) {
  if (!pending_) return;
  std::unique_ptr<TPendingQuery> pendente = std::move(pending_);
  try {
    FinishQuery(*pendente, answer);
    // What the query interrupted goes on, in the order it would have.
    processandoEOT_ = pendente->fimDeTransferencia;
    continuandoConsulta_ = true;
    ProcessBuffer();
    continuandoConsulta_ = false;
    if (pending_) {
      pending_->fimDeTransferencia = pendente->fimDeTransferencia;
      return;
    }
    if (pendente->fimDeTransferencia) FinishEot();
    processandoEOT_ = false;
  } catch (const std::exception& e) {
    continuandoConsulta_ = false;
    processandoEOT_ = false;
    LogError("TSocketClient.AnswerQuery", e);
  }
}
