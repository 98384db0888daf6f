// Archive files: the name a result block is filed under and its atomic write.
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "clients/TSocketClient.hpp"
#include "protocol/ArchiveNames.hpp"

namespace {

// An identifier as the log shows it: a long one cut, so the line stays readable.
std::string ShownIdentifier(const std::string& identificador) {
  constexpr size_t kMostrar = 80;
  if (identificador.size() <= kMostrar) return identificador;
  return identificador.substr(0, kMostrar) + "...";
}

}  // namespace

std::string TSocketClient::GetFileName(const TLines& bloco) {
  std::string path = pasta_saida;
  try {
    const TAnalisador& a = *analisador;
    const std::string subpasta = protocol::SubfolderName(a.modelo, a.nomeTevarin);
    if (!subpasta.empty()) path += subpasta + "/";
    // One level only; a folder that cannot be made shows up when the file is written.
    TArchiveWriter& archive = Archive();
    if (!archive.IsDirectory(path)) archive.CreateFolder(path);

    const std::string carimbo = protocol::ArchiveTimeStamp(Now());
    const std::string identificador = protocol::BlockSampleIdentifier(bloco, a);
    // The identifier comes from the analyzer: cleaned so the file stays in its folder.
    std::string nome = identificador.empty()
                           ? carimbo
                           : protocol::CleanFileName(protocol::ShortenIdentifier(identificador));
    // A name that cannot be written, or that nobody would see, gives way to the
    // time stamp, as when the block names no sample.
    const std::string motivo = identificador.empty() ? std::string() : protocol::UnusableNameReason(nome);
    if (!motivo.empty()) {
      Log("Identificador da amostra '" + ShownIdentifier(identificador) + "' n\xE3o serve como nome de arquivo (" +
          motivo + "); o arquivo leva a data e hora");
      nome = carimbo;
    }
    const std::string extensao = protocol::ArchiveExtension(a.protocolo.id);

    std::string sufixo;
    int contador = 0;
    while (archive.IsTakenByFile(path + nome + sufixo + extensao)) {
      ++contador;
      char buf[16];
      std::snprintf(buf, sizeof buf, "-%02d", contador);
      sufixo = buf;
    }
    return path + nome + sufixo + extensao;
  } catch (const std::exception& e) {
    LogError("TSocketClient.GetFileName", e);
    return path;
  }
}

void TSocketClient::SaveBlock(const std::string& path, const TLines& bloco) {
  if (path.empty() || path.back() == '/') {
    throw std::runtime_error("Nome de arquivo inv\xe1lido: " + path);
  }
  Archive().Save(path, protocol::LinesText(bloco));
}

