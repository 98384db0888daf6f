#include <cstdio>

#include "archive/TArchiveEntry.hpp"
#include "protocol/ArchiveNames.hpp"
#include "util/FileSystem.hpp"

namespace {

// An identifier as the log shows it: a long one cut, so the line stays readable.
std::string ShownIdentifier(const std::string& identificador) {
  constexpr size_t MOST_SHOWN = 80;
  if (identificador.size() <= MOST_SHOWN) return identificador;
  return identificador.substr(0, MOST_SHOWN) + "...";
}

}  // namespace

std::string ArchiveFolderFor(const TArchiveEntry& entry) {
  std::string path = entry.pastaSaida;
  const std::string subpasta = protocol::SubfolderName(entry.modelo, entry.nomeTevarin);
  if (!subpasta.empty()) path += subpasta + fsys::PATH_SEPARATOR;
  return path;
}

std::string ArchivePathFor(TArchiveWriter& archive, const TArchiveEntry& entry,
                           const std::function<void(const std::string&)>& note) {
  const std::string path = ArchiveFolderFor(entry);
  // One level only; a folder that cannot be made shows up when the file is written.
  if (!archive.IsDirectory(path)) archive.CreateFolder(path);

  const std::string carimbo = protocol::ArchiveTimeStamp(entry.completo);
  const std::string identificador = protocol::BlockSampleIdentifier(entry.linhas, entry.protocolo, entry.versao);
  // The identifier comes from the analyzer: cleaned so the file stays in its folder.
  std::string nome =
      identificador.empty() ? carimbo : protocol::CleanFileName(protocol::ShortenIdentifier(identificador));
  // A name that cannot be written, or that nobody would see, gives way to the
  // time stamp, as when the block names no sample.
  std::string motivo = identificador.empty() ? std::string() : protocol::UnusableNameReason(nome);
  // (On Windows, CON or NUL would fail to be written for ever.)
  if (!identificador.empty() && motivo.empty() && fsys::IsReservedName(nome)) motivo = "nome reservado do sistema";
  if (!motivo.empty()) {
    if (note)
      note("Identificador da amostra '" + ShownIdentifier(identificador) + "' n\xE3o serve como nome de arquivo (" +
           motivo + "); o arquivo leva a data e hora");
    nome = carimbo;
  }
  const std::string extensao = protocol::ArchiveExtension(entry.protocolo);

  std::string sufixo;
  int contador = 0;
  while (archive.IsTakenByFile(path + nome + sufixo + extensao)) {
    ++contador;
    char buf[16];
    std::snprintf(buf, sizeof buf, "-%02d", contador);
    sufixo = buf;
  }
  return path + nome + sufixo + extensao;
}

std::string ArchiveNow(TArchiveWriter& archive, const TArchiveEntry& entry,
                       const std::function<void(const std::string&)>& note) {
  const std::string path = ArchivePathFor(archive, entry, note);
  archive.Save(path, protocol::LinesText(entry.linhas));
  return path;
}
