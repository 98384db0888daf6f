#include "protocol/ArchiveNames.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "util/Encoding.hpp"
#include "util/TString.hpp"

namespace protocol {

namespace {

// Fields and components split at every separator: a double quote in a sample
// identifier is a character of it, never the start of a quoted run.
std::string Piece(const std::string& linha, char separator, int n) {
  return TString::GetFieldFromSplit(linha, separator, n);
}

std::string AstmSampleIdentifier(const TLines& bloco, const std::string& versao) {
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
    if (!OccursFirstAt1Or2(linha, "O|")) continue;
    if (regra == 1) return Piece(linha, '|', 3);
    if (regra == 2) return Piece(Piece(linha, '|', 3), '^', 1);
    std::string valor = Piece(linha, '|', 4);
    if (valor.empty()) valor = Piece(linha, '|', 3);
    if (valor.find('^') != std::string::npos) valor = Piece(valor, '^', 3);
    return TString::TrimLeftRight(valor);
  }
  return {};
}

std::string Hl7SampleIdentifier(const TLines& bloco) {
  std::string paciente;
  for (const auto& linha : bloco) {
    if (linha.compare(0, 4, "PID|") == 0) {
      paciente = Piece(linha, '|', 3);
    } else if (linha.compare(0, 4, "OBR|") == 0) {
      std::string id = Piece(linha, '|', 3);
      if (id.size() < 4) {
        const std::string obr3 = Piece(linha, '|', 4);
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

std::string JsonSampleIdentifier(const TLines& bloco) {
  if (bloco.empty()) return {};
  const auto doc = nlohmann::json::parse(Cp1252ToUtf8(LinesText(bloco)));
  if (!doc.is_object()) throw std::runtime_error("o bloco n\xe3o \xe9 um objeto JSON");
  const auto it = doc.find("identifier");
  if (it == doc.end()) throw std::runtime_error("membro \"identifier\" ausente");
  if (it->is_string()) return Utf8ToCp1252(it->get<std::string>());
  if (it->is_null()) return {};
  return Utf8ToCp1252(it->dump());
}

}  // namespace

std::string ArchiveTimeStamp(const TDateTime& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d-%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.month, t.second);
  return buf;
}

std::string VisibleOrderCode(const std::string& identifier) {
  return identifier.size() == 11 ? identifier.substr(0, 7) : identifier;
}

std::string ShortenIdentifier(const std::string& identifier) {
  std::string nome = identifier;
  if (nome.find('-') != std::string::npos) nome = Piece(nome, '-', 1);
  return VisibleOrderCode(nome);
}

std::string CleanFileName(const std::string& name) {
  std::string nome = TString::ToFileName(name);
  // A NUL would cut the path short inside the system calls.
  std::erase(nome, '\0');
  return nome;
}

std::string UnusableNameReason(const std::string& cleanedName) {
  if (cleanedName.empty()) return "vazio depois de limpo";
  // "." and ".." are the folder itself and its parent; any other name of dots
  // and blanks only is hidden or invisible to whoever looks for the file.
  const bool soPontosOuBrancos = std::all_of(cleanedName.begin(), cleanedName.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return c == '.' || u <= ' ' || u == 0xA0;  // 0xA0: the no-break space
  });
  if (soPontosOuBrancos) return "s\xF3 pontos ou brancos";
  const size_t bytes = Cp1252ToUtf8(cleanedName).size();
  if (bytes > MAX_NAME_BYTES) {
    return std::to_string(bytes) + " bytes em UTF-8, m\xE1ximo " + std::to_string(MAX_NAME_BYTES);
  }
  return {};
}

std::string SubfolderName(const std::string& modelo, const std::string& nomeTevarin) {
  // modelo comes from the analyzer's own header: cleaned like nomeTevarin so
  // that it names one folder inside the output folder and nothing else.
  for (const std::string& candidato : {modelo, nomeTevarin}) {
    const std::string nome = CleanFileName(candidato);
    if (UnusableNameReason(nome).empty()) return nome;
  }
  return {};
}

std::string BlockSampleIdentifier(const TLines& bloco, int32_t protocolo, const std::string& versao) {
  switch (protocolo) {
    case PROTOCOLO_ASTM:
      return AstmSampleIdentifier(bloco, versao);
    case PROTOCOLO_HL7:
      return Hl7SampleIdentifier(bloco);
    case PROTOCOLO_JSON_DIAGNO:
      return JsonSampleIdentifier(bloco);
    default:
      return {};
  }
}

const char* ArchiveExtension(int32_t protocolo) {
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

}  // namespace protocol
