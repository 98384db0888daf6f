// ASTM handler: cleans the framed lines gathered by reception, cuts them into
// messages, answers host queries and archives result messages.
#include <cctype>
#include <stdexcept>
#include <utility>

#include "protocol/Astm.hpp"
#include "clients/TSocketClient.hpp"

std::string TSocketClient::ProcessASTM() {
  std::string result;
  try {
    // After ENQ the handler runs at the analyzer's EOT, when the transfer is whole.
    const bool fimDeTransferencia = usingFrameToFrame;
    // The checksum line of a frame handled at the previous dispatch may arrive
    // on its own (a serial bridge forwards the record line first).
    auto cortar = [&](std::deque<std::string>& linhas) {
      return astm::GetBlocoProcessarASTM(linhas, fimDeTransferencia);
    };
    astm::DropLeadingChecksumLines(inputBuffer);
    auto bloco = inputBuffer.Edit(cortar);
    if (Debug() && bloco) Log("bloco_para_salvar: " + protocol::LinesText(bloco->linhas));
    // Run again after a query that waited for the LIS, blocks came before.
    size_t blocos = continuandoConsulta_ ? 1 : 0;
    while (bloco) {
      ++blocos;
      if (bloco->linhas.empty()) {
        // Only framing (a checksum line left from a message handled before) closed it.
        throw std::runtime_error("bloco ASTM completo sem nenhuma linha");
      }
      const bool consulta = astm::IsQueryMessageASTM(bloco->linhas);
      if (consulta) {
        Log("");
        Log("ASTM: Consulta iniciada");
        result = ProcessQueryASTM(bloco->linhas);
        ConsumeInputLines(bloco->ultimaLinha + 1);
      } else {
        TLines linhas = std::move(bloco->linhas);
        PrepararBuffer(linhas);
        if (Debug()) Log(protocol::LinesText(linhas));
        // Its frames were acknowledged: kept even when the spool cannot take it.
        ArchiveBlock(linhas, TArchiveDelivery::TWhenSpoolFails::KeepInMemory);
        ConsumeInputLines(bloco->ultimaLinha + 1);
      }
      // What stays behind a message is kept unless it holds nothing at all
      // (a line break that arrived on its own), so no data is ever dropped here.
      if (inputBuffer.size() == 1 || inputBuffer.size() == 2) {
        inputBuffer.Edit([](std::deque<std::string>& linhas) { std::erase_if(linhas, protocol::IsBlankLine); });
      }
      astm::DropLeadingChecksumLines(inputBuffer);
      if (Debug() && !consulta) {
        Log("Buffer lines: " + std::to_string(inputBuffer.size()));
      }
      if (pending_) return result;  // the rest waits for the LIS's answer
      bloco = inputBuffer.Edit(cortar);
    }
    // Outside a transfer a framed message arrives frame by frame; until its
    // terminator record it is no residue and is not logged at every frame.
    const bool mensagemChegando = !usingFrameToFrame && blocos == 0 && HasInBuffer(std::string(1, STX));
    if (!inputBuffer.empty() && !mensagemChegando) LogResidue();
  } catch (const std::exception& e) {
    LogError("TSocketClient.ProcessarASTM", e);
  }
  return result;
}
