#include "clients/TArchiveHandOver.hpp"

#include <exception>
#include <stdexcept>

#include "protocol/ArchiveNames.hpp"
#include "util/FileSystem.hpp"

TArchiveEntry TArchiveHandOver::EntryFor(const TLines& bloco) const {
  const TAnalisador& a = *fields_.analisador;
  TArchiveEntry e;
  e.linhas = bloco;
  e.protocolo = a.protocolo.id;
  e.versao = a.protocolo.versao;
  e.modelo = a.modelo;
  e.nomeTevarin = a.nomeTevarin;
  e.pastaSaida = fields_.pasta_saida;
  e.completo = ports_.Now();
  e.origem = fields_.id;
  return e;
}

std::string TArchiveHandOver::GetFileName(const TLines& bloco) {
  const TArchiveEntry entry = EntryFor(bloco);
  try {
    return ArchivePathFor(ports_.Archive(), entry, [this](const std::string& nota) { ports_.Log(nota); });
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.GetFileName", e);
    return ArchiveFolderFor(entry);
  }
}

void TArchiveHandOver::SaveBlock(const std::string& path, const TLines& bloco) {
  if (path.empty() || path.back() == fsys::PATH_SEPARATOR) {
    throw std::runtime_error("Nome de arquivo inv\xe1lido: " + path);
  }
  ports_.Archive().Save(path, protocol::LinesText(bloco));
}

TKeepVerdict TArchiveHandOver::ArchiveBlock(const TLines& bloco, TWhenSpoolFails whenSpoolFails) {
  TArchiveEntry entry = EntryFor(bloco);
  try {
    // A block whose sample identifier cannot be read can never be named: it
    // is refused here, as it always was, instead of waiting for ever.
    protocol::BlockSampleIdentifier(bloco, entry.protocolo, entry.versao);
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.GetFileName", e);
    throw std::runtime_error("Nome de arquivo inv\xe1lido: " + ArchiveFolderFor(entry));
  }
  if (ports_.KeepDeferred()) {
    waiting_ = TKeepRequest{std::move(entry), whenSpoolFails};
    handedOver_ = false;
    return TKeepVerdict::WaitingForDisk;
  }
  const std::string path = ArchiveNow(ports_.Archive(), entry, [this](const std::string& nota) { ports_.Log(nota); });
  ports_.Log("Item salvo em " + path);
  ports_.ResultReceived();
  return TKeepVerdict::KeptNow;
}

TKeepRequest TArchiveHandOver::TakeRequest() {
  if (!waiting_ || handedOver_) throw std::logic_error("nenhum item esperando a grava\xe7\xe3o");
  handedOver_ = true;
  return *waiting_;
}

TKeepRequest TArchiveHandOver::Kept(const TKept& kept) {
  if (!waiting_) throw std::logic_error("nenhum item esperando a grava\xe7\xe3o");
  TKeepRequest request = std::move(*waiting_);
  waiting_.reset();
  if (kept.as != TKeptAs::Refused) ports_.ResultReceived();
  return request;
}
