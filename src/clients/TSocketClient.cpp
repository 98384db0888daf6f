#include "clients/TSocketClient.hpp"

#include <algorithm>

#include "config/TConfigJson.hpp"
#include "log/TLogSink.hpp"

TSocketClient::TSocketClient(const std::string& cliente_id, const std::string& pasta_saida_,
                             TClientContext pContext)
    : id(cliente_id),
      analisador(std::make_unique<TAnalisador>()),
      pasta_saida(pasta_saida_),
      context_(std::move(pContext)) {}

TSocketClient::~TSocketClient() = default;

void TSocketClient::Log(const std::string& txt) const {
  if (context_.log) context_.log->make(txt);
  if (txt.find("Erro") != std::string::npos) Count([&](TClientEvents& e) { e.ErrorLogged(*this, txt); });
}

void TSocketClient::LogError(const std::string& where, const std::exception& e, const std::string& detail) const {
  ::LogError(context_.log, where, e, detail);
  Count([&](TClientEvents& ev) { ev.ErrorLogged(*this, ErrorLine(where, e.what(), detail)); });
}

bool TSocketClient::Debug() const { return context_.config && context_.config->debug; }

TDateTime TSocketClient::Now() const { return context_.clock ? context_.clock() : SystemNow(); }

void TSocketClient::LogResidue() const {
  Log("");
  Log("Buffer cont\xe9m res\xed" "duos da \xfaltima mensagem recebida: {" + protocol::LinesText(inputBuffer) + "}");
}

TArchiveWriter& TSocketClient::Archive() { return context_.archive ? *context_.archive : fileArchive_; }

// --- the input buffer's own operations, shared by reception and the handlers

bool TSocketClient::HasInBuffer(const std::string& pStr) const {
  for (const auto& linha : inputBuffer) {
    if (linha.find(pStr) != std::string::npos) return true;
  }
  return false;
}

bool TSocketClient::UltimaLinhaPodeCrescer() const {
  if (inputBuffer.empty() || lastChunkEndedAtBreak_ || processandoEOT_) return false;
  // FS ends an MLLP message: nothing is glued onto it any more.
  return !inputBuffer.LastHasFS();
}

size_t TSocketClient::InputBufferBytes() const { return inputBuffer.Bytes(); }

void TSocketClient::ConsumeInputLines(size_t count) {
  for (size_t i = 0; i < count && !inputBuffer.empty(); ++i) inputBuffer.pop_front();
  while (!inputBuffer.empty() && inputBuffer.front() == TERMINADOR_BLOCO) inputBuffer.pop_front();
}

void TSocketClient::DropLeadingBlankLines(bool keepVT) {
  while (!inputBuffer.empty() && protocol::IsBlankLine(inputBuffer.front()) &&
         !(keepVT && inputBuffer.front().find(VT) != std::string::npos))
    inputBuffer.pop_front();
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
