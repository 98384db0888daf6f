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
  std::string resposta;
  try {
    hl7::QueryValues v = hl7::ReadQueryValues(msg, pTipo);
    Log("HL7: Query(" + v.id_amostra + ")");
    if (v.id_amostra == "\"\"") v.id_amostra.clear();  // the HL7 null value

    bool encontrou = false;
    hl7::OrderData pedido;
    int32_t ped_cod = 0;
    if (!v.id_amostra.empty()) {
      const std::string codigo = protocol::VisibleOrderCode(v.id_amostra);
      // The code stands unquoted in the order statement: anything but digits
      // could change what the statement selects, so it is simply not found.
      std::unique_ptr<TResultTable> tabela;
      if (hl7::CodigoPesquisavel(codigo)) tabela = GetDadosProtocolo(*analisador, codigo);
      if (tabela && tabela->RecordCount() > 0) {
        encontrou = true;
        pedido = ReadOrder(*tabela);
        ped_cod = static_cast<int32_t>(tabela->AsInteger("ped_cod"));
      }
    }
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
          if (auto nomes = GetExamesProtocolo(*analisador, ped_cod)) {
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
