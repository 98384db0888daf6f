#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "clients/TSocketClient.hpp"
#include "clients/TSocketClientRules.hpp"
#include "config/TGlobal.hpp"
#include "util/Encoding.hpp"
#include "util/TString.hpp"

namespace clientrules {

std::string FormatTimeStamp(const TDateTime& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d-%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.month, t.second);
  return buf;
}

std::string ShortenIdentifier(const std::string& identifier) {
  std::string nome = identifier;
  if (nome.find('-') != std::string::npos) nome = GetValueFromSplit(nome, "-", 1);
  return VisibleOrderCode(nome);
}

std::string VisibleOrderCode(const std::string& identifier) {
  return identifier.size() == 11 ? identifier.substr(0, 7) : identifier;
}

std::string CleanFileName(const std::string& name) {
  std::string nome = TString::ToFileName(name);
  // A NUL would cut the path short inside the system calls.
  std::erase(nome, '\0');
  return nome;
}

std::string SubfolderName(const std::string& modelo, const std::string& nomeTevarin) {
  // modelo comes from the analyzer's own header: cleaned like nomeTevarin so
  // that it names one folder inside the output folder and nothing else.
  for (const std::string& candidato : {modelo, nomeTevarin}) {
    const std::string nome = CleanFileName(candidato);
    if (!nome.empty() && nome != "." && nome != "..") return nome;
  }
  return {};
}

}  // namespace clientrules

namespace {

std::string SysPath(const std::string& cp1252) { return Cp1252ToUtf8(cp1252); }

// The process's file-creation mask, read without changing it (umask() would
// race with other threads creating files).
mode_t CurrentUmask() {
  static const mode_t mask = [] {
    mode_t m = 022;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
      char line[128];
      unsigned value = 0;
      while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
          m = static_cast<mode_t>(value);
          break;
        }
      }
      std::fclose(f);
    }
    return m;
  }();
  return mask;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(SysPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFileNotDirectory(const std::string& path) {
  struct stat st {};
  return ::lstat(SysPath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string SysError(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + std::strerror(err);
}

// The identifier of the block's sample, or "" when the block names none.
std::string SampleIdentifier(const TLines& bloco, const TAnalisador& a) {
  switch (a.protocolo.id) {
    case PROTOCOLO_ASTM: {
      const std::string& versao = a.protocolo.versao;
      if (versao.empty()) return {};
      int regra = 0;
      if (std::string("|LIS2-A2|xxx|yyy|zzz").find(versao) != std::string::npos) {
        regra = 1;
      } else if (std::string("|1394-97|xxx|yyy|zzz").find(versao) != std::string::npos) {
        regra = 2;
      } else if (std::string("|E1394-97|xxx|yyy|zzz").find(versao) != std::string::npos) {
        regra = 3;
      } else {
        return {};  // no rule: no order line can give a name
      }
      for (const auto& linha : bloco) {
        if (!clientrules::OccursFirstAt1Or2(linha, "O|")) continue;
        if (regra == 1) return GetValueFromSplit(linha, "|", 3);
        if (regra == 2) return GetValueFromSplit(GetValueFromSplit(linha, "|", 3), "^", 1);
        std::string valor = GetValueFromSplit(linha, "|", 4);
        if (valor.empty()) valor = GetValueFromSplit(linha, "|", 3);
        if (valor.find('^') != std::string::npos) valor = GetValueFromSplit(valor, "^", 3);
        return TString::TrimLeftRight(valor);
      }
      return {};
    }
    case PROTOCOLO_HL7: {
      std::string paciente;
      for (const auto& linha : bloco) {
        if (linha.compare(0, 4, "PID|") == 0) {
          paciente = GetValueFromSplit(linha, "|", 3);
        } else if (linha.compare(0, 4, "OBR|") == 0) {
          std::string id = GetValueFromSplit(linha, "|", 3);
          if (id.size() < 4) {
            const std::string obr3 = GetValueFromSplit(linha, "|", 4);
            if (obr3.size() >= 4) {
              id = obr3;
            } else if (!paciente.empty()) {
              id = paciente;
            }
          }
          return id;
        }
      }
      return {};
    }
    case PROTOCOLO_JSON_DIAGNO: {
      if (bloco.empty()) return {};
      const auto doc = nlohmann::json::parse(Cp1252ToUtf8(clientrules::LinesText(bloco)));
      if (!doc.is_object()) throw std::runtime_error("o bloco n\xe3o \xe9 um objeto JSON");
      const auto it = doc.find("identifier");
      if (it == doc.end()) throw std::runtime_error("membro \"identifier\" ausente");
      if (it->is_string()) return Utf8ToCp1252(it->get<std::string>());
      if (it->is_null()) return {};
      return Utf8ToCp1252(it->dump());
    }
    default:
      return {};
  }
}

const char* Extensao(int32_t protocolo) {
  switch (protocolo) {
    case PROTOCOLO_NAO_INDENTIFICADO:
      return ".txt";
    case PROTOCOLO_ASTM:
      return ".astm";
    case PROTOCOLO_HL7:
      return ".hl7";
    case PROTOCOLO_JSON_DIAGNO:
      return ".json";
    default:
      return "";
  }
}

}  // namespace

std::string TSocketClient::GetFileName(const TLines& bloco) {
  std::string path = pasta_saida;
  try {
    const TAnalisador& a = *analisador;
    const std::string subpasta = clientrules::SubfolderName(a.modelo, a.nomeTevarin);
    if (!subpasta.empty()) path += subpasta + "/";
    // One level only; a folder that cannot be made shows up when the file is written.
    if (!IsDirectory(path)) ::mkdir(SysPath(path).c_str(), 0777);

    const TDateTime agora = (global && global->clock) ? global->clock() : SystemNow();
    const std::string carimbo = clientrules::FormatTimeStamp(agora);

    const std::string identificador = SampleIdentifier(bloco, a);
    // The identifier comes from the analyzer: cleaned so the file stays in its folder.
    const std::string nome =
        identificador.empty() ? carimbo : clientrules::CleanFileName(clientrules::ShortenIdentifier(identificador));
    const std::string extensao = Extensao(a.protocolo.id);

    std::string sufixo;
    int contador = 0;
    while (IsFileNotDirectory(path + nome + sufixo + extensao)) {
      ++contador;
      char buf[16];
      std::snprintf(buf, sizeof buf, "-%02d", contador);
      sufixo = buf;
    }
    return path + nome + sufixo + extensao;
  } catch (const std::exception& e) {
    doLog(std::string("TSocketClient.GetFileName() -> Erro: ") + e.what());
    return path;
  }
}

void TSocketClient::SaveBlock(const std::string& path, const TLines& bloco) const {
  if (path.empty() || path.back() == '/') {
    throw std::runtime_error("Nome de arquivo inv\xe1lido: " + path);
  }
  const std::string destino = SysPath(path);
  const std::string conteudo = clientrules::LinesText(bloco);

  // Written under a temporary name in the same folder and then given its
  // final name in one step, so the LIS never imports half a file.
  std::string temp = destino + ".XXXXXX.tmp";
  const int fd = ::mkstemps(temp.data(), 4);
  if (fd < 0) throw std::runtime_error(SysError("N\xe3o foi poss\xedvel criar", path, errno));
  auto descartar = [&](const std::string& what, int err) {
    ::unlink(temp.c_str());
    throw std::runtime_error(SysError(what, path, err));
  };

  size_t escritos = 0;
  while (escritos < conteudo.size()) {
    const ssize_t n = ::write(fd, conteudo.data() + escritos, conteudo.size() - escritos);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      descartar("N\xe3o foi poss\xedvel gravar", err);
    }
    escritos += static_cast<size_t>(n);
  }
  // mkstemps makes the file private; give it the mode an ordinary new file gets.
  ::fchmod(fd, 0666 & ~CurrentUmask());
  if (::fsync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    descartar("N\xe3o foi poss\xedvel gravar", err);
  }
  if (::close(fd) != 0) descartar("N\xe3o foi poss\xedvel gravar", errno);

  // Never replaces a file: an archive of another message may carry that name.
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, destino.c_str(), RENAME_NOREPLACE) != 0) {
    const int err = errno;
    if (err != EINVAL && err != ENOSYS && err != ENOTSUP) descartar("N\xe3o foi poss\xedvel renomear para", err);
    // File systems without RENAME_NOREPLACE: a hard link fails as well when the name is taken.
    if (::link(temp.c_str(), destino.c_str()) != 0) descartar("N\xe3o foi poss\xedvel renomear para", errno);
    ::unlink(temp.c_str());
  }

  // Makes the new name itself durable.
  const std::string pasta = destino.substr(0, destino.rfind('/') + 1);
  const int dfd = ::open(pasta.empty() ? "." : pasta.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

void TSocketClient::ConsumeInputLines(size_t count) {
  for (size_t i = 0; i < count && !inputBuffer.empty(); ++i) inputBuffer.pop_front();
  while (!inputBuffer.empty() && inputBuffer.front() == TERMINADOR_BLOCO) inputBuffer.pop_front();
  inputIndex_.Invalidate();
}

bool TSocketClient::IsBlankLine(const std::string& linha) {
  for (const unsigned char c : linha) {
    if (c > ' ') return false;
  }
  return true;
}
