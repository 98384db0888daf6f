// HL7 query and order replies: QCK^Q02 (+ DSR^Q03) to a QRY^Q02, ORR^O02 to an
// ORM^O01, answered from the LIS order of the sample.
#include <stdexcept>

#include "clients/TSocketClient.hpp"
#include "protocol/ArchiveNames.hpp"
#include "protocol/Hl7.hpp"

namespace {

// The order values of the lookup's first row.
hl7::OrderData ReadOrder(TResultTable& tabela) {
  hl7::OrderData pedido;
  tabela.First();
  pedido.ped_urg = tabela.AsString("ped_urg");
  pedido.cli_nom = protocol::Cut30(tabela.AsString("cli_nom"));
  pedido.cpf_dta_nas = tabela.AsDateTime("cpf_dta_nas");
  pedido.cpf_sex = tabela.AsString("cpf_sex");
  pedido.mat_cod = tabela.AsString("mat_cod");
  pedido.mat_dsc = tabela.AsString("mat_dsc");
  pedido.med_nom = protocol::Cut30(tabela.AsString("med_nom"));
  pedido.grp_dsc = protocol::Cut30(tabela.AsString("grp_dsc"));
  return pedido;
}

}  // namespace

std::string TSocketClient::ProcessQueryHL7(const TLines& msg, int32_t pTipo) {
  try {
    hl7::QueryValues v = hl7::ReadQueryValues(msg, pTipo);
    Log("HL7: Query(" + v.id_amostra + ")");
    if (v.id_amostra == "\"\"") v.id_amostra.clear();  // the HL7 null value
    const std::string codigo = v.id_amostra.empty() ? std::string() : protocol::VisibleOrderCode(v.id_amostra);
    // The code stands for a number in the order statement: anything but
    // digits is simply not found, without asking the LIS.
    if (!hl7::CodigoPesquisavel(codigo)) {
      TLisAnswer semConsulta;
      return ReplyQueryHL7(msg, pTipo, semConsulta);
    }
    auto pendente = std::make_unique<TPendingQuery>();
    pendente->kind = TPendingQuery::Hl7;
    pendente->msg = msg;
    pendente->tipo = pTipo;
    pendente->query.analisador = CopyForLookup(*analisador);
    pendente->query.codigo = codigo;
    pendente->query.buscarNomes = pTipo == hl7::QUERY_QRY;
    return AskLis(std::move(pendente));
  } catch (const std::exception& e) {
    LogError("ProcessQueryHL7", e);
  }
  return {};
}

std::string TSocketClient::ReplyQueryHL7(const TLines& msg, int32_t pTipo, TLisAnswer& answer) {
  std::string resposta;
  try {
    if (!answer.erroPedido.empty()) throw std::runtime_error(answer.erroPedido);
    hl7::QueryValues v = hl7::ReadQueryValues(msg, pTipo);
    if (v.id_amostra == "\"\"") v.id_amostra.clear();

    const bool encontrou = answer.Encontrado();
    hl7::OrderData pedido;
    if (encontrou) pedido = ReadOrder(*answer.pedido);
    if (Debug()) Log("Gerar resposta");

    const hl7::Remetente remetente{analisador->aplicacao, analisador->modelo};
    if (pTipo == hl7::QUERY_QRY) {
      if (encontrou) {
        Log("HL7: Pedido encontrado");
        hl7::IncMessageID(v.message_id);
        outputBuffer.push_back(hl7::BuildQckQ02Found(remetente, v, Now()));
        outputBuffer.push_back(LINHA_SEPARADORA);
        hl7::IncMessageID(v.message_id);
        std::vector<std::string> exames;
        try {
          if (!answer.erroNomes.empty()) throw std::runtime_error(answer.erroNomes);
          if (auto& nomes = answer.nomes) {
            for (nomes->First(); !nomes->Eof(); nomes->Next()) exames.push_back(nomes->AsString("are_nom_apa"));
          }
        } catch (const std::exception& e) {
          LogError("TSocketClient.ProcessQuery", e, "obter exames");
        }
        resposta = hl7::BuildDsrQ03(remetente, v, pedido, exames, Now());
        outputBuffer.push_back(resposta);
      } else {
        Log("HL7 : Nenhum pedido encontrado");
        hl7::IncMessageID(v.message_id);
        resposta = hl7::BuildQckQ02NotFound(remetente, v, Now());
        outputBuffer.push_back(resposta);
        Log("HL7: QCK^Q02 \r" + resposta);
      }
    } else {
      if (encontrou)
        Log("HL7: Pedido encontrado");
      else
        Log("HL7 : Nenhum pedido encontrado");
      resposta = hl7::BuildOrrO02(v, encontrou ? &pedido : nullptr, Now());
      outputBuffer.push_back(resposta);
      Log("HL7: ORR^O02 \r" + resposta);
    }
    Count([&](TClientEvents& e) {
      e.QueryAnswered(*this, encontrou);
      e.ReplyQueued(*this);
    });
  } catch (const std::exception& e) {
    LogError("ProcessQueryHL7", e);
  }
  return resposta;
}
