// Placeholder until this concern is built; replaced wholesale by its owner.
#include "clients/TSocketClient.hpp"

TSocketClient::TSocketClient(const std::string& cliente_id, const std::string& pasta_saida_)
    : id(cliente_id), analisador(std::make_unique<TAnalisador>()), pasta_saida(pasta_saida_) {}
TSocketClient::~TSocketClient() = default;
TSocketClient& TSocketClientList::AddItem(const std::string& client_id, const std::string& pasta_saida) {
  items_.push_back(std::make_unique<TSocketClient>(client_id, pasta_saida));
  return *items_.back();
}
void TSocketClientList::FreeItem(const std::string&) {}
TSocketClient* TSocketClientList::GetItem(const std::string&) { return nullptr; }
std::string GetValueFromSplit(const std::string&, const std::string&, int) { return {}; }
