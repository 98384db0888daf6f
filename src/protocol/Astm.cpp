#include "protocol/Astm.hpp"

#include <cctype>
#include <cstdio>
#include <initializer_list>

#include "protocol/Controls.hpp"
#include "util/TString.hpp"

namespace astm {

const std::vector<std::string> TESTS_IDS = {
    "WBC",    "RBC",    "HBG",    "HGB",    "HCT",    "MCV",    "MCH",    "MCHC",   "PLT",
    "NEUT%",  "LYMPH%", "MONO%",  "EO%",    "BASO%",  "NEUT#",  "LYMPH#", "MONO#",  "EO#",
    "BASO#",  "RDW-SD", "RDW-CV", "PDW",    "MPV",    "P-LCR",  "PCT"};

namespace {

// Fills the "%s" places of a record pattern in order.
std::string Fmt(const std::string& pattern, std::initializer_list<std::string> valores) {
  std::string out;
  auto it = valores.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's') {
      if (it != valores.end()) out += *it++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

bool IsSeparator(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

// A value from the LIS must not end a record (CR) or open a field, component,
// repeat or escape of its own.
std::string AstmValue(const std::string& valor) {
  std::string out;
  for (char c : valor) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      out += ' ';
    } else if (c == '|') {
      out += "&F&";
    } else if (c == '\\') {
      out += "&R&";
    } else if (c == '^') {
      out += "&S&";
    } else if (c == '&') {
      out += "&E&";
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

std::string Pad(int valor, int digitos) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", digitos, valor);
  return buf;
}

}  // namespace

std::string SampleIdentifier(const std::string& rangeText) {
  if (rangeText.empty()) return {};
  std::string id = TString::GetFieldFromSplit(rangeText, '^', 3);
  if (id.empty()) id = TString::GetFieldFromSplit(rangeText, '^', 2);
  id = TString::Trim(id);
  if (id == "\"\"") id.clear();
  return id;
}

std::string GetNomeEUltimoNome(const std::string& nome_completo) {
  std::vector<std::string> palavras;
  const std::string& s = nome_completo;
  size_t i = 0;
  while (i < s.size()) {
    if (IsSeparator(s[i])) {
      ++i;
      continue;
    }
    std::string palavra;
    if (s[i] == '"') {
      size_t fim = s.find('"', i + 1);
      if (fim == std::string::npos) fim = s.size();
      palavra = s.substr(i + 1, fim - i - 1);
      i = fim < s.size() ? fim + 1 : fim;
    }
    while (i < s.size() && !IsSeparator(s[i])) palavra += s[i++];
    palavras.push_back(std::move(palavra));
  }
  // A name without any word still gets a reply: empty first and last name.
  std::string primeiro = palavras.empty() ? std::string() : palavras.front();
  std::string ultimo = palavras.size() >= 2 ? palavras.back() : std::string();
  return AstmValue(primeiro) + "^" + AstmValue(ultimo);
}

std::string BuildTestList(const std::vector<std::string>& nomes) {
  std::string lista;
  for (const auto& nome : nomes) {
    if (!lista.empty()) lista += '\\';
    lista += "^^^^" + nome;
  }
  return lista;
}

std::string FormatBirthDate(const TDateTime& d) { return Pad(d.year, 4) + Pad(d.month, 2) + Pad(d.day, 2); }

std::string FormatOrderTime(const TDateTime& d) {
  return Pad(d.year, 4) + Pad(d.month, 2) + Pad(d.day, 2) + Pad(d.hour, 2) + std::to_string(d.minute) +
         Pad(d.second, 2);
}

std::string HeaderRecord(const std::string& versao) { return Fmt("H|\\^&|||||||||||%s", {versao}); }

TRespostaASTM FoundReply(const std::string& versao, const std::string& rangeText, const TPedidoASTM& pedido,
                         const std::string& testes) {
  TRespostaASTM r;
  r.h = HeaderRecord(versao);
  r.p = Fmt("P|1|||%s|^%s||%s|%s|||||^%s||||||||||||%s",
            {AstmValue(pedido.cli_cod), GetNomeEUltimoNome(pedido.cli_nom), FormatBirthDate(pedido.cpf_dta_nas),
             AstmValue(pedido.cpf_sex), AstmValue(pedido.med_nom), AstmValue(pedido.grp_dsc)});
  r.o = Fmt("O|1|%s||%s||%s|||||N||||||||||||||Q", {rangeText, testes, FormatOrderTime(pedido.ped_dat)});
  r.l = "L|1|N";
  return r;
}

TRespostaASTM NotFoundReply(const std::string& versao, const std::string& rangeText,
                            const std::string& requestTime) {
  TRespostaASTM r;
  r.h = HeaderRecord(versao);
  r.p = "P|1";
  r.o = Fmt("O|1|%s||||%s|||||||||||||||||||Y", {rangeText, requestTime});
  r.l = "L|1|N";
  return r;
}

std::vector<std::string> ReplyItems(const TRespostaASTM& r, bool usandoSTXETX, bool usingFrameToFrame) {
  const std::string cr(1, CR);
  if (!usandoSTXETX) return {r.h + cr + r.p + cr + r.o + cr + r.l + cr};
  if (usingFrameToFrame) {
    return {std::string(1, ENQ),          EnvelopeASTM("1" + r.h + cr), EnvelopeASTM("2" + r.p + cr),
            EnvelopeASTM("3" + r.o + cr), EnvelopeASTM("4" + r.l + cr), std::string(1, EOT)};
  }
  // Already a whole frame: the block sender passes an item that begins with STX unchanged.
  return {EnvelopeASTM(r.h + cr + r.p + cr + r.o + cr + r.l + cr)};
}

bool IsRecord(const std::string& cleaned, char tipo) {
  if (cleaned.size() >= 2 && cleaned[0] == tipo && cleaned[1] == '|') return true;
  return cleaned.size() >= 3 && std::isdigit(static_cast<unsigned char>(cleaned[0])) && cleaned[1] == tipo &&
         cleaned[2] == '|';
}

std::optional<TBlocoASTM> GetBlocoProcessarASTM(std::deque<std::string>& inputBuffer, bool fimDeTransferencia) {
  PrepareBuffer(inputBuffer);
  TBlocoASTM bloco;
  bool completo = false;
  bool viuEtx = false;
  bool temHeader = false;
  // The line after a frame that ended in ETB inside a record continues that
  // record, so its first characters never start or end a message.
  bool continuacao = false;
  for (size_t i = 0; i < inputBuffer.size(); ++i) {
    const std::string& linha = inputBuffer[i];
    if (linha == TERMINADOR_BLOCO) continue;
    bool etx = false;
    bool etb = false;
    std::string limpa = CleanFramedLine(linha, &etx, &etb);
    if (etx) viuEtx = true;
    if (limpa.empty()) continue;
    const bool inicioDeRegistro = !continuacao;
    continuacao = etb;
    if (inicioDeRegistro && IsRecord(limpa, 'H')) {
      if (temHeader) {
        // A second header starts another message: it goes to a block of its own.
        completo = true;
        bloco.ultimaLinha = i - 1;
        break;
      }
      temHeader = true;
    }
    bloco.linhas.push_back(std::move(limpa));
    bloco.ultimaLinha = i;
    if (inicioDeRegistro && IsRecord(bloco.linhas.back(), 'L')) {
      completo = true;
      break;
    }
  }
  // At the end of a transfer everything the analyzer sent is here: a frame
  // without terminator record is still a message. Outside a transfer frames
  // arrive one by one, and only the terminator record closes the message.
  if (!completo && fimDeTransferencia && viuEtx) {
    completo = true;
    if (!inputBuffer.empty()) bloco.ultimaLinha = inputBuffer.size() - 1;
  }
  if (!completo) return std::nullopt;
  return bloco;
}

bool IsQueryMessageASTM(const TLines& pMsg) {
  if (pMsg.size() < 3) return false;
  auto startsAt = [](const std::string& linha, const std::string& txt, size_t maxPos) {
    size_t p = linha.find(txt);
    return p != std::string::npos && p < maxPos;
  };
  return startsAt(pMsg[0], "H|", 3) && startsAt(pMsg[1], "Q|", 2) && startsAt(pMsg[2], "L|", 2);
}

}  // namespace astm
