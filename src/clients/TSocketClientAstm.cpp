// ASTM handler: cleans the framed lines gathered by reception, cuts them into
// messages, answers host queries and archives result messages.
#include <cctype>
#include <stdexcept>
#include <utility>

#include "clients/AstmProtocol.hpp"
#include "clients/TSocketClient.hpp"
#include "clients/TSocketClientRules.hpp"
#include "config/TGlobal.hpp"

namespace astm {

void PrepareBuffer(std::deque<std::string>& inputBuffer) {
  // Walking upwards lets every checksum line join the record line right above it.
  for (size_t i = inputBuffer.size(); i-- > 1;) {
    const std::string& linha = inputBuffer[i];
    if (linha.size() == 3 && linha[0] == ETX) {
      inputBuffer[i - 1] += linha;
      inputBuffer.erase(inputBuffer.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

std::string CleanFramedLine(const std::string& linha, bool* heldEtx, bool* heldEtb) {
  std::string s = linha;
  size_t stx = s.find(STX);
  if (stx != std::string::npos) s.erase(0, stx + 1);
  // The frame's end character and whatever follows it (checksum) never belong to the record.
  size_t etx = s.find(ETX);
  size_t etb = s.find(ETB);
  if (heldEtx) *heldEtx = etx != std::string::npos;
  if (heldEtb) *heldEtb = etx == std::string::npos && etb != std::string::npos;
  if (etx != std::string::npos) {
    s.erase(etx);
  } else if (etb != std::string::npos) {
    s.erase(etb);
  }
  return s;
}

size_t DropLeadingChecksumLines(std::deque<std::string>& inputBuffer) {
  size_t n = 0;
  while (!inputBuffer.empty() && inputBuffer.front().size() == 3 &&
         (inputBuffer.front()[0] == ETX || inputBuffer.front()[0] == ETB)) {
    inputBuffer.pop_front();
    ++n;
  }
  return n;
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
  try {
    if (pMsg.size() < 3) return false;
    auto startsAt = [](const std::string& linha, const std::string& txt, size_t maxPos) {
      size_t p = linha.find(txt);
      return p != std::string::npos && p < maxPos;
    };
    return startsAt(pMsg[0], "H|", 3) && startsAt(pMsg[1], "Q|", 2) && startsAt(pMsg[2], "L|", 2);
  } catch (...) {
    return false;
  }
}

}  // namespace astm

std::string TSocketClient::ProcessASTM() {
  std::string result;
  try {
    // After ENQ the handler runs at the analyzer's EOT, when the transfer is whole.
    const bool fimDeTransferencia = usingFrameToFrame;
    // The checksum line of a frame handled at the previous dispatch may arrive
    // on its own (a serial bridge forwards the record line first).
    astm::DropLeadingChecksumLines(inputBuffer);
    auto bloco = astm::GetBlocoProcessarASTM(inputBuffer, fimDeTransferencia);
    if (modoDebug() && bloco) doLog("bloco_para_salvar: " + clientrules::LinesText(bloco->linhas));
    size_t blocos = 0;
    while (bloco) {
      ++blocos;
      if (bloco->linhas.empty()) {
        // Only framing (a checksum line left from a message handled before) closed it.
        throw std::runtime_error("bloco ASTM completo sem nenhuma linha");
      }
      const bool consulta = astm::IsQueryMessageASTM(bloco->linhas);
      if (consulta) {
        doLog("");
        doLog("ASTM: Consulta iniciada");
        result = ProcessQueryASTM(bloco->linhas);
        ConsumeInputLines(bloco->ultimaLinha + 1);
      } else {
        TLines linhas = std::move(bloco->linhas);
        PrepararBuffer(linhas);
        if (modoDebug()) doLog(clientrules::LinesText(linhas));
        const std::string path = GetFileName(linhas);
        SaveBlock(path, linhas);
        doLog("Item salvo em " + path);
        ConsumeInputLines(bloco->ultimaLinha + 1);
      }
      // What stays behind a message is kept unless it holds nothing at all
      // (a line break that arrived on its own), so no data is ever dropped here.
      if (inputBuffer.size() == 1 || inputBuffer.size() == 2) {
        std::erase_if(inputBuffer, [](const std::string& l) { return IsBlankLine(l); });
      }
      astm::DropLeadingChecksumLines(inputBuffer);
      if (modoDebug() && !consulta) {
        doLog("Buffer lines: " + std::to_string(inputBuffer.size()));
      }
      bloco = astm::GetBlocoProcessarASTM(inputBuffer, fimDeTransferencia);
    }
    // Outside a transfer a framed message arrives frame by frame; until its
    // terminator record it is no residue and is not logged at every frame.
    const bool mensagemChegando = !usingFrameToFrame && blocos == 0 && HasInBuffer(std::string(1, STX));
    if (!inputBuffer.empty() && !mensagemChegando) {
      doLog("");
      doLog(std::string("Buffer cont\xe9m res\xed") + "duos da \xfaltima mensagem recebida: {" +
            clientrules::LinesText(inputBuffer) + "}");
    }
  } catch (const std::exception& e) {
    doLog(std::string("TSocketClient.ProcessarASTM() -> Erro: ") + e.what());
  }
  return result;
}
