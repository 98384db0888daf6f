// Archive files: the name a result block is filed under and its atomic write,
// and the hand-over of a complete result message to the delivery.
#include <exception>
#include <stdexcept>

#include "clients/TSocketClient.hpp"
#include "protocol/ArchiveNames.hpp"
#include "util/FileSystem.hpp"

TArchiveEntry TSocketClient::EntryFor(const TLines& bloco) const {
  TArchiveEntry e;
  e.linhas = bloco;
  e.protocolo = analisador->protocolo.id;
  e.versao = analisador->protocolo.versao;
  e.modelo = analisador->modelo;
  e.nomeTevarin = analisador->nomeTevarin;
  e.pastaSaida = pasta_saida;
  e.completo = Now();
  e.origem = id;
  return e;
}

std::string TSocketClient::GetFileName(const TLines& bloco) {
  const TArchiveEntry entry = EntryFor(bloco);
  try {
    return ArchivePathFor(Archive(), entry, [this](const std::string& nota) { Log(nota); });
  } catch (const std::exception& e) {
    LogError("TSocketClient.GetFileName", e);
    return ArchiveFolderFor(entry);
  }
}

void TSocketClient::SaveBlock(const std::string& path, const TLines& bloco) {
  if (path.empty() || path.back() == fsys::PATH_SEPARATOR) {
    throw std::runtime_error("Nome de arquivo inv\xe1lido: " + path);
  }
  Archive().Save(path, protocol::LinesText(bloco));
}

void TSocketClient::ArchiveBlock(const TLines& bloco, TArchiveDelivery::TWhenSpoolFails whenSpoolFails) {
  const TArchiveEntry entry = EntryFor(bloco);
  try {
    // A block whose sample identifier cannot be read can never be named: it
    // is refused here, as it always was, instead of waiting for ever.
    protocol::BlockSampleIdentifier(bloco, analisador->protocolo.id, analisador->protocolo.versao);
  } catch (const std::exception& e) {
    LogError("TSocketClient.GetFileName", e);
    throw std::runtime_error("Nome de arquivo inv\xe1lido: " + ArchiveFolderFor(entry));
  }
  Delivery().Accept(entry, whenSpoolFails);
  Count([&](TClientEvents& e) { e.ResultReceived(*this); });
}

TArchiveDelivery& TSocketClient::Delivery() {
  if (context_.delivery) return *context_.delivery;
  if (!ownDelivery_) ownDelivery_ = std::make_unique<TArchiveDelivery>(Archive(), nullptr, context_.log);
  return *ownDelivery_;
}
