// ASTM host query reply: finds the sample's order in the LIS and queues the
// header, patient, order and terminator records framed for the analyzer.
#include <cstdio>
#include <initializer_list>

#include "clients/AstmProtocol.hpp"
#include "clients/TSocketClient.hpp"
#include "clients/TSocketClientRules.hpp"
#include "config/TGlobal.hpp"
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
  std::string id = GetValueFromSplit(rangeText, "^", 3);
  if (id.empty()) id = GetValueFromSplit(rangeText, "^", 2);
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

std::string GetCheckSumASTM(const std::string& MessageText) {
  unsigned soma = 0;
  for (char c : MessageText) soma = (soma + static_cast<unsigned char>(c)) & 0xff;
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", soma);
  return buf;
}

std::string EnvelopeASTM(const std::string& str) {
  return std::string(1, STX) + str + ETX + GetCheckSumASTM(str + ETX);
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

}  // namespace astm

namespace {

// Test names for an order: the configured attributes, else the LIS names of
// the order's exams on this device, else the fixed hematology list.
std::string GetTestsIDs(TSocketClient& client, const TAnalisador& pAnalisador, int32_t pPED_COD) {
  std::vector<std::string> nomes = pAnalisador.GetAtibutosDeExames();
  if (nomes.empty()) {
    auto tabela = client.GetExamesProtocolo(pAnalisador, pPED_COD);
    if (tabela && tabela->RecordCount() > 0) {
      for (tabela->First(); !tabela->Eof(); tabela->Next()) {
        nomes.push_back(tabela->AsString("are_nom_apa"));
      }
      for (auto& n : nomes) n = astm::AstmValue(n);
    }
  }
  if (nomes.empty()) nomes = astm::TESTS_IDS;
  return astm::BuildTestList(nomes);
}

std::string Cut30(const std::string& s) { return s.size() > 30 ? s.substr(0, 30) : s; }

}  // namespace

std::string TSocketClient::ProcessQueryASTM(const TLines& msg) {
  std::string result;
  try {
    const std::string& header = msg.at(0);
    const std::string& q = msg.at(1);
    const std::string range = GetValueFromSplit(q, "|", 3);
    const std::string identificador = astm::SampleIdentifier(range);

    bool encontrado = false;
    astm::TPedidoASTM pedido;
    std::string testes;
    if (!identificador.empty()) {
      auto tabela = GetDadosProtocolo(*analisador, astm::VisibleOrderCode(identificador));
      if (tabela && tabela->RecordCount() > 0) {
        tabela->First();
        encontrado = true;
        pedido.ped_cod = static_cast<int32_t>(tabela->AsInteger("ped_cod"));
        pedido.ped_dat = tabela->AsDateTime("ped_dat");
        pedido.cli_cod = tabela->AsString("cli_cod");
        pedido.cli_nom = Cut30(tabela->AsString("cli_nom"));
        pedido.cpf_dta_nas = tabela->AsDateTime("cpf_dta_nas");
        pedido.cpf_sex = tabela->AsString("cpf_sex");
        pedido.med_nom = Cut30(tabela->AsString("med_nom"));
        pedido.grp_dsc = Cut30(tabela->AsString("grp_dsc"));
      }
      tabela.reset();
      if (encontrado) testes = GetTestsIDs(*this, *analisador, pedido.ped_cod);
    }

    if (modoDebug()) doLog("Gerar resposta");
    const std::string versao = GetValueFromSplit(header, "|", 13);
    astm::TRespostaASTM resposta;
    if (encontrado) {
      doLog("ASTM: Pedido encontrado");
      resposta = astm::FoundReply(versao, range, pedido, testes);
    } else {
      resposta = astm::NotFoundReply(versao, range, GetValueFromSplit(q, "|", 7));
    }

    outputBuffer.clear();
    for (auto& item : astm::ReplyItems(resposta, analisador->usandoSTXETX, usingFrameToFrame)) {
      outputBuffer.push_back(std::move(item));
    }
    if (modoDebug()) {
      doLog("TSocketClient.ProcessQueryASTM() -> RESULT" + std::string(1, CR) + clientrules::LinesText(outputBuffer));
    }
    result = "use buffer";
  } catch (const std::exception& e) {
    doLog(std::string("TSocketClient.ProcessQuery() -> Erro: ") + e.what());
  }
  return result;
}
