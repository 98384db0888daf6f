#include "util/TString.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

// Windows-1252 accented letters the Portuguese texts use, lower and upper case.
const std::string kAcentosMinusculos = "\xE0\xE2\xEA\xF4\xFB\xE3\xF5\xE1\xE9\xED\xF3\xFA\xE7\xFC";
const std::string kAcentosMaiusculos = "\xC0\xC2\xCA\xD4\xDB\xC3\xD5\xC1\xC9\xCD\xD3\xDA\xC7\xDC";
const std::string kSemAcentos = "aaeouaoaeioucuAAEOUAOAEIOUCU";

bool IsBlank(char c) { return c == ' '; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Splits at CR, LF and CR LF the way a string list loads a text: a line break
// at the very end does not open an empty last line.
std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(text.substr(start, i - start));
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
    ++i;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

}  // namespace

std::string TString::GetValueFromSplit(const std::string& pDadosStr, const std::string& pSeparator,
                                       int pIndex) {
  try {
    // A separator of any length other than one never matches: the whole text is one piece.
    const bool separatorUsable = pSeparator.size() == 1;
    const char sep = separatorUsable ? pSeparator[0] : '\0';
    std::vector<std::string> pieces;
    std::string current;
    bool quoted = false;
    for (size_t i = 0; i < pDadosStr.size(); ++i) {
      const char c = pDadosStr[i];
      if (c == '"') quoted = !quoted;
      const bool isSeparator = separatorUsable && c == sep;
      if (quoted || !isSeparator) current += c;
      if ((!quoted && isSeparator) || i + 1 == pDadosStr.size()) {
        pieces.push_back(std::move(current));
        current.clear();
      }
    }
    if (pIndex >= 1 && static_cast<size_t>(pIndex) <= pieces.size()) return pieces[pIndex - 1];
    return {};
  } catch (...) {
    return {};
  }
}

std::string TString::GetFieldFromSplit(const std::string& pTexto, char pSeparator, int pIndex) {
  if (pIndex < 1) return {};
  size_t inicio = 0;
  for (int n = 1; n < pIndex; ++n) {
    const size_t sep = pTexto.find(pSeparator, inicio);
    if (sep == std::string::npos) return {};
    inicio = sep + 1;
  }
  const size_t fim = pTexto.find(pSeparator, inicio);
  return pTexto.substr(inicio, fim == std::string::npos ? std::string::npos : fim - inicio);
}

std::string TString::Coalesce(const std::vector<std::string>& textos) {
  for (const auto& t : textos)
    if (!t.empty()) return t;
  return {};
}

std::string TString::ToFileName(std::string str) {
  for (char bad : std::string("/\\:*?\"<>|")) str.erase(std::remove(str.begin(), str.end(), bad), str.end());
  return str;
}

void TString::Concat(std::string& pString, const std::string& pSeparator, const std::string& pNewString) {
  if (pNewString.empty()) return;
  if (!pString.empty()) pString += pSeparator;
  pString += pNewString;
}

std::string TString::RemoveChars(std::string pString, const std::string& pCharsToRemove) {
  pString.erase(std::remove_if(pString.begin(), pString.end(),
                               [&](char c) { return pCharsToRemove.find(c) != std::string::npos; }),
                pString.end());
  return pString;
}

std::string TString::RetirarAcentos(const std::string& Palavra, int OpcaoRemoveOuTroca,
                                    const std::string& novoChar) {
  if (OpcaoRemoveOuTroca != 1 && OpcaoRemoveOuTroca != 2) return {};
  const std::string acentos = kAcentosMinusculos + kAcentosMaiusculos;
  std::string out;
  for (char c : Palavra) {
    const size_t pos = acentos.find(c);
    if (pos == std::string::npos) {
      out += c;
    } else if (OpcaoRemoveOuTroca == 2) {
      out += novoChar.empty() ? std::string(1, kSemAcentos[pos]) : novoChar;
    }
  }
  return out;
}

std::string TString::FormatCod(int64_t CODIGO, int QtdeCasas) {
  return Completar(std::to_string(CODIGO), '0', QtdeCasas, 1);
}

std::string TString::ExtrairNumeros(const std::string& Texto) {
  std::string out;
  for (char c : Texto)
    if (c >= '0' && c <= '9') out += c;
  return out;
}

std::string TString::Completar(const std::string& Texto, char Caracter, int TamanhoFinal, int Posicao) {
  if (TamanhoFinal <= static_cast<int>(Texto.size())) return Texto;
  const std::string fill(static_cast<size_t>(TamanhoFinal) - Texto.size(), Caracter);
  if (Posicao == 1) return fill + Texto;
  if (Posicao == 2) return Texto + fill;
  return Texto;
}

std::string TString::TrimAll(const std::string& Texto) { return RemoveChars(Texto, " "); }

std::string TString::TrimLeftRight(const std::string& Texto) { return Trim(Texto); }

std::string TString::Trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

std::string TString::LowerCase(const std::string& texto) {
  std::string out = texto;
  for (char& c : out) {
    const size_t pos = kAcentosMaiusculos.find(c);
    c = pos != std::string::npos ? kAcentosMinusculos[pos] : AsciiLower(c);
  }
  return out;
}

std::string TString::RemoverEspacosDuplicados(const std::string& texto) {
  std::string out;
  for (char c : texto)
    if (!(IsBlank(c) && !out.empty() && IsBlank(out.back()))) out += c;
  return out;
}

std::vector<std::string> TString::Split(const std::string& itens, char delimitador) {
  std::vector<std::string> out;
  std::string current;
  for (char c : itens) {
    if (c == delimitador) {
      out.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) out.push_back(std::move(current));
  return out;
}

std::string TString::getEspacosBrancos(int qtde) { return std::string(std::max(qtde, 0), ' '); }

std::string TString::getStringLength(const std::string& S, int maxLen, char padChar) {
  const size_t len = static_cast<size_t>(std::max(maxLen, 0));
  if (S.size() > len) return S.substr(0, len);
  return S + std::string(len - S.size(), padChar);
}

std::string TString::getTruncate(const std::string& S, int maxLen, bool pIncludeDots) {
  const size_t len = static_cast<size_t>(std::max(maxLen, 0));
  if (S.size() <= len) return S;
  return S.substr(0, len) + (pIncludeDots ? "..." : "");
}

std::string TString::padLeft(const std::string& str, int maxLen, const std::string& Char) {
  if (Char.empty()) return str;  // nothing to pad with
  std::string out = str;
  while (static_cast<int>(out.size()) < maxLen) out = Char + out;
  return out;
}

std::string TString::padRight(const std::string& str, int maxLen, const std::string& Char) {
  if (Char.empty()) return str;
  std::string out = str;
  while (static_cast<int>(out.size()) < maxLen) out += Char;
  return out;
}

std::string TString::ajustaCaixaDoTexto(const std::string& texto, const std::string& opcao) {
  std::string out = Trim(texto);
  if (opcao == "CAIXA ALTA") {
    for (char& c : out) c = AsciiUpper(c);
  } else if (opcao == "Primeira letra") {
    out = LowerCase(out);
    if (!out.empty()) out[0] = AsciiUpper(out[0]);
  } else if (opcao == "Todas Primeiras Letras") {
    out = NormalCaseEspecial(out);
  }
  return out;
}

std::string TString::NormalCaseEspecial(const std::string& Valor) {
  static const std::vector<std::string> kMinusculas = {"de", "da", "dos", "das"};
  static const std::vector<std::string> kRomanos = {"i", "ii", "iii", "iv", "v",
                                                    "vi", "vii", "viii", "ix", "x"};
  std::string out;
  for (std::string word : Split(Valor, ' ')) {
    if (word.empty()) continue;
    word = LowerCase(word);
    if (InArray(word, kRomanos)) {
      for (char& c : word) c = AsciiUpper(c);
    } else if (!InArray(word, kMinusculas)) {
      word[0] = AsciiUpper(word[0]);
    }
    Concat(out, " ", word);
  }
  return out;
}

bool TString::InStr(const std::string& strToSearch, const std::string& strBase) {
  if (strToSearch.empty()) return false;
  std::string needle = strToSearch;
  std::string base = strBase;
  for (char& c : needle) c = AsciiUpper(c);
  for (char& c : base) c = AsciiUpper(c);
  return base.find(needle) != std::string::npos;
}

bool TString::InArray(const std::string& str, const std::vector<std::string>& itens) {
  return std::find(itens.begin(), itens.end(), str) != itens.end();
}

void TString::IncStr(std::string& str, const std::string& strToAdd) { str += strToAdd; }

bool TString::IsCPF(const std::string& str) {
  std::string digits;
  for (char c : str) {
    if (c == '/' || c == '-' || c == '.') continue;
    if (c < '0' || c > '9') return false;
    digits += c;
  }
  if (digits.empty()) return true;
  if (digits.size() < 3) return false;
  const size_t n = digits.size() - 2;
  auto checkDigit = [&](size_t count) {
    int sum = 0;
    for (size_t i = 0; i < count; ++i) sum += (digits[i] - '0') * static_cast<int>(count + 1 - i);
    const int rest = sum % 11;
    return rest < 2 ? 0 : 11 - rest;
  };
  return checkDigit(n) == digits[n] - '0' && checkDigit(n + 1) == digits[n + 1] - '0';
}

std::string TString::AsCPF(const std::string& str) {
  const std::string d = RemoveChars(str, ".-");
  if (d.size() != 11 || ExtrairNumeros(d) != d) return {};
  return d.substr(0, 3) + "." + d.substr(3, 3) + "." + d.substr(6, 3) + "-" + d.substr(9, 2);
}

std::optional<int64_t> TString::ToInt64(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  size_t i = b;
  if (i < e && (s[i] == '+' || s[i] == '-')) ++i;
  if (i == e) return std::nullopt;
  for (size_t k = i; k < e; ++k)
    if (s[k] < '0' || s[k] > '9') return std::nullopt;
  std::string digits = s.substr(b, e - b);
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(digits.c_str(), &end, 10);
  if (errno == ERANGE || !end || *end != '\0') return std::nullopt;
  return static_cast<int64_t>(v);
}

bool TString::OnlyNumbers(const std::string& str) {
  // No blanks around the digits here.
  return !str.empty() && str.front() != ' ' && str.front() != '\t' && str.back() != ' ' && str.back() != '\t' &&
         ToInt64(str).has_value();
}

TArrayOfString TString::ToArrayOfString(const std::string& delimitedString, const std::string& delimiter) {
  if (delimiter.size() != 1) {
    // No one-character delimiter: the whole text is the only piece.
    return delimitedString.empty() ? TArrayOfString{} : TArrayOfString{delimitedString};
  }
  return Split(delimitedString, delimiter[0]);
}

std::string TString::FromFile(const std::string& pFilename) {
  std::ifstream in(pFilename, std::ios::binary);
  if (!in) return {};
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string out;
  for (const auto& line : TextLines(text)) out += line + "\r\n";
  return out;
}

std::string TString::Center(const std::string& pString, int pMaxLen) {
  std::string out = pString;
  bool atEnd = true;
  while (static_cast<int>(out.size()) < pMaxLen) {
    if (atEnd)
      out += ' ';
    else
      out.insert(out.begin(), ' ');
    atEnd = !atEnd;
  }
  return out;
}

std::string TString::Multilines(const std::string& pString, int pMaxLen) {
  if (pMaxLen <= 0) return pString;
  std::string out;
  for (size_t i = 0; i < pString.size(); i += static_cast<size_t>(pMaxLen)) {
    if (i > 0) out += "\r\n";
    out += pString.substr(i, static_cast<size_t>(pMaxLen));
  }
  return out;
}

bool TString::SaveToFile(const std::string& pString, const std::string& pFileName) {
  std::ofstream out(pFileName, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  for (const auto& line : TextLines(pString)) out << line << "\r\n";
  out.flush();
  return static_cast<bool>(out);
}
