#include "clients/TQueryFlow.hpp"

#include <stdexcept>
#include <utility>

TLisVerdict TQueryFlow::Ask(TPendingQuery query, TLisAnswer& answer) {
  query.question.buscarAparelho = identification_.DeviceWanted();
  if (ports_.LookupsDeferred()) {
    waiting_ = std::move(query);
    handedOver_ = false;
    return TLisVerdict::WaitingForLis;
  }
  answer = ports_.Lis() ? LookUpQuery(*ports_.Lis(), query.question) : TLisAnswer{};
  Receive(answer);
  return TLisVerdict::AnsweredNow;
}

TLisQuery TQueryFlow::TakeQuestion() {
  if (!waiting_ || handedOver_) throw std::logic_error("nenhuma consulta esperando o LIS");
  handedOver_ = true;
  return std::move(waiting_->question);
}

TPendingQuery TQueryFlow::Answered(TLisAnswer& answer) {
  if (!waiting_) throw std::logic_error("nenhuma consulta esperando o LIS");
  TPendingQuery query = std::move(*waiting_);
  waiting_.reset();
  Receive(answer);
  return query;
}

void TQueryFlow::Receive(TLisAnswer& answer) {
  if (answer.aparelhoBuscado) identification_.DeviceArrived(std::move(answer.aparelho));
  if (!answer.semResposta.empty()) {
    ports_.Log("Consulta ao LIS sem resposta (" + answer.semResposta + "): respondida como sem pedido");
  }
}
