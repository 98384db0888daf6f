#include "clients/TSocketClient.hpp"

#include <exception>

#include "config/TGlobal.hpp"
#include "util/TString.hpp"

TSocketClient::TSocketClient(const std::string& cliente_id, const std::string& pasta_saida_)
    : id(cliente_id), analisador(std::make_unique<TAnalisador>()), pasta_saida(pasta_saida_) {}

TSocketClient::~TSocketClient() = default;

TSocketClient& TSocketClientList::AddItem(const std::string& client_id, const std::string& pasta_saida) {
  // No check for an existing id: look-up and removal act on the oldest match.
  items_.push_back(std::make_unique<TSocketClient>(client_id, pasta_saida));
  return *items_.back();
}

void TSocketClientList::FreeItem(const std::string& client_id) {
  try {
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if ((*it)->id == client_id) {
        items_.erase(it);
        return;
      }
    }
  } catch (const std::exception& e) {
    doLog(std::string("TSocketClientList.FreeItem() -> Erro: ") + e.what());
  }
}

TSocketClient* TSocketClientList::GetItem(const std::string& client_id) {
  try {
    for (const auto& item : items_) {
      if (item->id == client_id) return item.get();
    }
  } catch (const std::exception& e) {
    doLog(std::string("TSocketClientList.() -> Erro: ") + e.what());
  }
  return nullptr;
}

std::string GetValueFromSplit(const std::string& dadosStr, const std::string& separator, int index) {
  try {
    return TString::GetValueFromSplit(dadosStr, separator, index);
  } catch (const std::exception& e) {
    doLog(std::string("GetValueFromSplit() -> Erro: ") + e.what());
    return {};
  }
}
