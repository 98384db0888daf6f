// ASTM host query reply: finds the sample's order in the LIS and queues the
// header, patient, order and terminator records framed for the analyzer.
#include <cstdio>
#include <initializer_list>
#include <stdexcept>

#include "protocol/ArchiveNames.hpp"
#include "protocol/Astm.hpp"
#include "clients/TSocketClient.hpp"
#include "util/TString.hpp"

namespace {

// Test names for an order: the configured attributes, else the LIS names of
// the order's exams on this device, else the fixed hematology list.
std::string GetTestsIDs(const TAnalisador& pAnalisador, TLisAnswer& answer) {
  std::vector<std::string> nomes = pAnalisador.GetAtibutosDeExames();
  if (nomes.empty()) {
    if (!answer.erroNomes.empty()) throw std::runtime_error(answer.erroNomes);
    auto& tabela = answer.nomes;
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

}  // namespace

std::string TSocketClient::ProcessQueryASTM(const TLines& msg) {
  try {
    const std::string identificador = astm::SampleIdentifier(TString::GetFieldFromSplit(msg.at(1), '|', 3));
    if (identificador.empty()) {
      TLisAnswer semConsulta;  // nothing to look for: not found, without asking the LIS
      return ReplyQueryASTM(msg, semConsulta);
    }
    auto pendente = std::make_unique<TPendingQuery>();
    pendente->kind = TPendingQuery::Astm;
    pendente->msg = msg;
    pendente->query.analisador = CopyForLookup(*analisador);
    pendente->query.codigo = protocol::VisibleOrderCode(identificador);
    pendente->query.buscarNomes = analisador->GetAtibutosDeExames().empty();
    return AskLis(std::move(pendente));
  } catch (const std::exception& e) {
    LogError("TSocketClient.ProcessQuery", e);
  }
  return {};
}

std::string TSocketClient::ReplyQueryASTM(const TLines& msg, TLisAnswer& answer) {
  std::string result;
  try {
    if (!answer.erroPedido.empty()) throw std::runtime_error(answer.erroPedido);
    const std::string& header = msg.at(0);
    const std::string& q = msg.at(1);
    const std::string range = TString::GetFieldFromSplit(q, '|', 3);

    bool encontrado = false;
    astm::TPedidoASTM pedido;
    std::string testes;
    if (answer.Encontrado()) {
      auto& tabela = answer.pedido;
      tabela->First();
      encontrado = true;
      pedido.ped_cod = static_cast<int32_t>(tabela->AsInteger("ped_cod"));
      pedido.ped_dat = tabela->AsDateTime("ped_dat");
      pedido.cli_cod = tabela->AsString("cli_cod");
      pedido.cli_nom = protocol::Cut30(tabela->AsString("cli_nom"));
      pedido.cpf_dta_nas = tabela->AsDateTime("cpf_dta_nas");
      pedido.cpf_sex = tabela->AsString("cpf_sex");
      pedido.med_nom = protocol::Cut30(tabela->AsString("med_nom"));
      pedido.grp_dsc = protocol::Cut30(tabela->AsString("grp_dsc"));
      testes = GetTestsIDs(*analisador, answer);
    }

    if (Debug()) Log("Gerar resposta");
    const std::string versao = TString::GetFieldFromSplit(header, '|', 13);
    astm::TRespostaASTM resposta;
    if (encontrado) {
      Log("ASTM: Pedido encontrado");
      resposta = astm::FoundReply(versao, range, pedido, testes);
    } else {
      resposta = astm::NotFoundReply(versao, range, TString::GetFieldFromSplit(q, '|', 7));
    }

    outputBuffer.clear();
    for (auto& item : astm::ReplyItems(resposta, analisador->usandoSTXETX, usingFrameToFrame)) {
      outputBuffer.push_back(std::move(item));
    }
    if (Debug()) {
      Log("TSocketClient.ProcessQueryASTM() -> RESULT" + std::string(1, CR) + protocol::LinesText(outputBuffer));
    }
    result = "use buffer";
    Count([&](TClientEvents& e) {
      e.QueryAnswered(*this, encontrado);
      e.ReplyQueued(*this);
    });
  } catch (const std::exception& e) {
    LogError("TSocketClient.ProcessQuery", e);
  }
  return result;
}
