#include "clients/TSocketClient.hpp"

#include <algorithm>

#include "protocol/Blocks.hpp"

TSocketClient::TSocketClient(const std::string& cliente_id, const std::string& pasta_saida_, TClientContext pContext)
    : TClientFields(cliente_id, pasta_saida_),
      ports_(*this, std::move(pContext)),
      archive_(*this, ports_),
      identification_(*this, ports_),
      blocks_(*this, identification_, ports_),
      queries_(identification_, ports_),
      astm_(*this, queries_, archive_, ports_),
      hl7_(*this, queries_, archive_, ports_),
      json_(*this, blocks_, archive_, ports_),
      reception_(*this, blocks_, identification_, queries_, archive_, astm_, hl7_, json_, ports_) {}

TSocketClient::~TSocketClient() = default;

void TSocketClient::PrepararBuffer(TLines& bloco) const { protocol::PrepararLinhas(bloco); }

std::unique_ptr<TAparelhoTevarin> TSocketClient::GetAparelhoTevarinInDB() {
  return analisador && ports_.Lis() ? ports_.Lis()->GetAparelhoTevarin(*analisador) : nullptr;
}

std::unique_ptr<TResultTable> TSocketClient::GetDadosProtocolo(const TAnalisador& pAnalisador,
                                                               const std::string& pProtocolo) {
  return ports_.Lis() ? ports_.Lis()->GetDadosProtocolo(pAnalisador, pProtocolo) : nullptr;
}

std::unique_ptr<TResultTable> TSocketClient::GetExamesProtocolo(const TAnalisador& pAnalisador, int32_t pPED_COD) {
  return ports_.Lis() ? ports_.Lis()->GetExamesProtocolo(pAnalisador, pPED_COD) : nullptr;
}

TSocketClient& TSocketClientList::AddItem(const std::string& client_id, const std::string& pasta_saida,
                                          TClientContext pContext) {
  // No check for an existing id: look-up by id acts on the oldest match.
  items_.push_back(std::make_unique<TSocketClient>(client_id, pasta_saida, std::move(pContext)));
  return *items_.back();
}

void TSocketClientList::FreeItem(const std::string& client_id) {
  const auto it = std::find_if(items_.begin(), items_.end(), [&](const auto& c) { return c->id == client_id; });
  if (it != items_.end()) items_.erase(it);
}

void TSocketClientList::FreeItem(const TSocketClient* client) {
  // By identity: two connections may share an id (peers without a name, same port).
  std::erase_if(items_, [&](const auto& c) { return c.get() == client; });
}

TSocketClient* TSocketClientList::GetItem(const std::string& client_id) {
  for (const auto& item : items_) {
    if (item->id == client_id) return item.get();
  }
  return nullptr;
}
