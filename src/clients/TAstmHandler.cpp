#include "clients/TAstmHandler.hpp"

#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "protocol/ArchiveNames.hpp"
#include "protocol/Astm.hpp"
#include "protocol/Blocks.hpp"
#include "protocol/Controls.hpp"
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

std::string TAstmHandler::ProcessASTM(bool resuming) {
  std::string result;
  TInputBuffer& input = fields_.inputBuffer;
  try {
    // After ENQ the handler runs at the analyzer's EOT, when the transfer is whole.
    const bool fimDeTransferencia = fields_.usingFrameToFrame;
    auto cortar = [&](std::deque<std::string>& linhas) {
      return astm::GetBlocoProcessarASTM(linhas, fimDeTransferencia);
    };
    // The checksum line of a frame handled at the previous dispatch may arrive
    // on its own (a serial bridge forwards the record line first).
    astm::DropLeadingChecksumLines(input);
    auto bloco = input.Edit(cortar);
    if (ports_.Debug() && bloco) ports_.Log("bloco_para_salvar: " + protocol::LinesText(bloco->linhas));
    size_t blocos = resuming ? 1 : 0;
    while (bloco) {
      ++blocos;
      if (bloco->linhas.empty()) {
        // Only framing (a checksum line left from a message handled before) closed it.
        throw std::runtime_error("bloco ASTM completo sem nenhuma linha");
      }
      const bool consulta = astm::IsQueryMessageASTM(bloco->linhas);
      if (consulta) {
        ports_.Log("");
        ports_.Log("ASTM: Consulta iniciada");
        result = ProcessQueryASTM(bloco->linhas);
        input.Consume(bloco->ultimaLinha + 1);
      } else {
        TLines linhas = std::move(bloco->linhas);
        protocol::PrepararLinhas(linhas);
        if (ports_.Debug()) ports_.Log(protocol::LinesText(linhas));
        // Its frames were acknowledged: kept even when the spool cannot take it.
        archive_.ArchiveBlock(linhas, TWhenSpoolFails::KeepInMemory);
        input.Consume(bloco->ultimaLinha + 1);
      }
      // What stays behind a message is kept unless it holds nothing at all
      // (a line break that arrived on its own), so no data is ever dropped here.
      if (input.size() == 1 || input.size() == 2) {
        input.Edit([](std::deque<std::string>& linhas) { std::erase_if(linhas, protocol::IsBlankLine); });
      }
      astm::DropLeadingChecksumLines(input);
      if (ports_.Debug() && !consulta) ports_.Log("Buffer lines: " + std::to_string(input.size()));
      // The rest waits for the LIS's answer, or for the disk to keep the message.
      if (queries_.Waiting() || archive_.Waiting()) return result;
      bloco = input.Edit(cortar);
    }
    // Outside a transfer a framed message arrives frame by frame; until its
    // terminator record it is no residue and is not logged at every frame.
    const bool mensagemChegando = !fields_.usingFrameToFrame && blocos == 0 && input.Contains(std::string(1, STX));
    if (!input.empty() && !mensagemChegando) ports_.LogResidue(input);
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.ProcessarASTM", e);
  }
  return result;
}

std::string TAstmHandler::ProcessQueryASTM(const TLines& msg) {
  try {
    const std::string identificador = astm::SampleIdentifier(TString::GetFieldFromSplit(msg.at(1), '|', 3));
    TLisAnswer answer;  // with nothing to look for: not found, without asking the LIS
    if (identificador.empty()) return ReplyQueryASTM(msg, answer);
    TPendingQuery query;
    query.protocol = TPendingQuery::TProtocol::Astm;
    query.message = msg;
    query.question.analisador = CopyForLookup(*fields_.analisador);
    query.question.codigo = protocol::VisibleOrderCode(identificador);
    query.question.buscarNomes = fields_.analisador->GetAtibutosDeExames().empty();
    if (queries_.Ask(std::move(query), answer) == TLisVerdict::WaitingForLis) return {};
    return ReplyQueryASTM(msg, answer);
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.ProcessQuery", e);
  }
  return {};
}

std::string TAstmHandler::ReplyQueryASTM(const TLines& msg, TLisAnswer& answer) {
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
      testes = GetTestsIDs(*fields_.analisador, answer);
    }

    if (ports_.Debug()) ports_.Log("Gerar resposta");
    const std::string versao = TString::GetFieldFromSplit(header, '|', 13);
    astm::TRespostaASTM resposta;
    if (encontrado) {
      ports_.Log("ASTM: Pedido encontrado");
      resposta = astm::FoundReply(versao, range, pedido, testes);
    } else {
      resposta = astm::NotFoundReply(versao, range, TString::GetFieldFromSplit(q, '|', 7));
    }

    auto& output = fields_.outputBuffer;
    output.clear();
    for (auto& item : astm::ReplyItems(resposta, fields_.analisador->usandoSTXETX, fields_.usingFrameToFrame)) {
      output.push_back(std::move(item));
    }
    if (ports_.Debug()) {
      ports_.Log("TSocketClient.ProcessQueryASTM() -> RESULT" + std::string(1, CR) + protocol::LinesText(output));
    }
    result = "use buffer";
    ports_.QueryAnswered(encontrado);
    ports_.ReplyQueued();
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.ProcessQuery", e);
  }
  return result;
}
