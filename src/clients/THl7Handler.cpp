#include "clients/THl7Handler.hpp"

#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "protocol/ArchiveNames.hpp"
#include "protocol/Controls.hpp"
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

void THl7Handler::ArchiveHL7(TLines& bloco) {
  hl7::PrepararBlocoHL7(bloco);
  if (ports_.Debug()) ports_.Log(protocol::LinesText(bloco));
  try {
    // Only a kept message is acknowledged: an analyzer never hears AA for a
    // message that a power cut could take. One that waits for the disk is
    // acknowledged by Kept.
    if (archive_.ArchiveBlock(bloco, TWhenSpoolFails::Refuse) == TKeepVerdict::WaitingForDisk) return;
    Acknowledge(bloco);
  } catch (const std::exception& e) {
    NotSaved(bloco, e.what());
  }
}

void THl7Handler::Kept(const TLines& bloco, const TKept& kept) {
  if (kept.as == TKeptAs::Refused) {
    NotSaved(bloco, kept.error);
    return;
  }
  try {
    Acknowledge(bloco);
  } catch (const std::exception& e) {
    NotSaved(bloco, e.what());
  }
}

void THl7Handler::Acknowledge(const TLines& bloco) {
  const hl7::AckValues valores = hl7::ReadAckValues(bloco[hl7::HeaderLineIndex(bloco)]);
  fields_.outputBuffer.push_back(hl7::BuildAckR01(valores, ports_.Now()));
  ports_.ReplyQueued();
}

void THl7Handler::NotSaved(const TLines& bloco, const std::string& why) {
  ports_.Log(std::string("\r\rN\xE3o foi poss\xEDvel salvar informa\xE7\xF5") + "es recebidas.\rErro: " + why +
             "\r\rInforma\xE7\xF5" + "es:\r" + protocol::LinesText(bloco));
}

std::string THl7Handler::ProcessHL7() {
  TInputBuffer& input = fields_.inputBuffer;
  try {
    const bool debug = ports_.Debug();
    input.DropLeadingBlankLines(true);
    size_t origem = 0;
    auto bloco = hl7::GetBlocoProcessarHL7(input, origem);
    if (debug && bloco) ports_.Log("bloco_para_salvar: \r" + protocol::LinesText(*bloco));
    while (bloco) {
      hl7::LimparBlocoHL7(*bloco);
      if (debug) ports_.Log("bloco_para salvar (limpo): \r" + protocol::LinesText(*bloco));
      // The header decides; text that preceded it in the block does not.
      const size_t cabecalho = hl7::HeaderLineIndex(*bloco);
      const TLines mensagem(bloco->begin() + static_cast<std::ptrdiff_t>(cabecalho), bloco->end());
      const int32_t tipo = mensagem.empty() ? hl7::QUERY_NID : hl7::GetMessageType(mensagem.front());

      if (tipo == hl7::QUERY_QRY || tipo == hl7::QUERY_ORM) {
        if (debug) {
          ports_.Log("");
          ports_.Log("Consulta iniciada");
        }
        ProcessQueryHL7(mensagem, tipo);
        // Only this message leaves; what came after it is handled below.
        input.Consume(origem);
      } else if (hl7::IsConfirmationMessageHL7(mensagem)) {
        input.Consume(origem);
        if (debug) {
          ports_.Log("");
          ports_.Log("Consulta finalizada");
        }
      } else {
        ArchiveHL7(*bloco);
        // The lines the block was cut from, not the joined count: a split
        // segment's tail must not come back as a message of its own.
        input.Consume(origem);
      }

      input.DropLeadingBlankLines(true);
      if (debug) ports_.Log("Buffer lines: " + std::to_string(input.size()));
      // The rest waits for the LIS's answer, or for the disk to keep the message.
      if (queries_.Waiting() || archive_.Waiting()) return {};
      bloco = hl7::GetBlocoProcessarHL7(input, origem);
      if (debug && bloco) ports_.Log("bloco_para_salvar: \r" + protocol::LinesText(*bloco));
    }
    if (!input.empty()) ports_.LogResidue(input);
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.ProcessarHL7", e);
  }
  return {};
}

std::string THl7Handler::ProcessQueryHL7(const TLines& msg, int32_t pTipo) {
  try {
    hl7::QueryValues v = hl7::ReadQueryValues(msg, pTipo);
    ports_.Log("HL7: Query(" + v.id_amostra + ")");
    if (v.id_amostra == "\"\"") v.id_amostra.clear();  // the HL7 null value
    const std::string codigo = v.id_amostra.empty() ? std::string() : protocol::VisibleOrderCode(v.id_amostra);
    TLisAnswer answer;
    // The code stands for a number in the order statement: anything but
    // digits is simply not found, without asking the LIS.
    if (!hl7::CodigoPesquisavel(codigo)) return ReplyQueryHL7(msg, pTipo, answer);
    TPendingQuery query;
    query.protocol = TPendingQuery::TProtocol::Hl7;
    query.message = msg;
    query.hl7Type = pTipo;
    query.question.analisador = CopyForLookup(*fields_.analisador);
    query.question.codigo = codigo;
    query.question.buscarNomes = pTipo == hl7::QUERY_QRY;
    if (queries_.Ask(std::move(query), answer) == TLisVerdict::WaitingForLis) return {};
    return ReplyQueryHL7(msg, pTipo, answer);
  } catch (const std::exception& e) {
    ports_.LogError("ProcessQueryHL7", e);
  }
  return {};
}

std::string THl7Handler::ReplyQueryHL7(const TLines& msg, int32_t pTipo, TLisAnswer& answer) {
  std::string resposta;
  auto& output = fields_.outputBuffer;
  try {
    if (!answer.erroPedido.empty()) throw std::runtime_error(answer.erroPedido);
    hl7::QueryValues v = hl7::ReadQueryValues(msg, pTipo);
    if (v.id_amostra == "\"\"") v.id_amostra.clear();

    const bool encontrou = answer.Encontrado();
    hl7::OrderData pedido;
    if (encontrou) pedido = ReadOrder(*answer.pedido);
    if (ports_.Debug()) ports_.Log("Gerar resposta");

    const hl7::Remetente remetente{fields_.analisador->aplicacao, fields_.analisador->modelo};
    if (pTipo == hl7::QUERY_QRY) {
      if (encontrou) {
        ports_.Log("HL7: Pedido encontrado");
        hl7::IncMessageID(v.message_id);
        output.push_back(hl7::BuildQckQ02Found(remetente, v, ports_.Now()));
        output.push_back(LINHA_SEPARADORA);
        hl7::IncMessageID(v.message_id);
        std::vector<std::string> exames;
        try {
          if (!answer.erroNomes.empty()) throw std::runtime_error(answer.erroNomes);
          if (auto& nomes = answer.nomes) {
            for (nomes->First(); !nomes->Eof(); nomes->Next()) exames.push_back(nomes->AsString("are_nom_apa"));
          }
        } catch (const std::exception& e) {
          ports_.LogError("TSocketClient.ProcessQuery", e, "obter exames");
        }
        resposta = hl7::BuildDsrQ03(remetente, v, pedido, exames, ports_.Now());
        output.push_back(resposta);
      } else {
        ports_.Log("HL7 : Nenhum pedido encontrado");
        hl7::IncMessageID(v.message_id);
        resposta = hl7::BuildQckQ02NotFound(remetente, v, ports_.Now());
        output.push_back(resposta);
        ports_.Log("HL7: QCK^Q02 \r" + resposta);
      }
    } else {
      if (encontrou)
        ports_.Log("HL7: Pedido encontrado");
      else
        ports_.Log("HL7 : Nenhum pedido encontrado");
      resposta = hl7::BuildOrrO02(v, encontrou ? &pedido : nullptr, ports_.Now());
      output.push_back(resposta);
      ports_.Log("HL7: ORR^O02 \r" + resposta);
    }
    ports_.QueryAnswered(encontrou);
    ports_.ReplyQueued();
  } catch (const std::exception& e) {
    ports_.LogError("ProcessQueryHL7", e);
  }
  return resposta;
}
