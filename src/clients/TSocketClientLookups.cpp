// The record's LIS lookups go through the LIS port of its context.
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
