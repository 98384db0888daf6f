#include "clients/TJsonHandler.hpp"

#include <exception>

#include "protocol/Blocks.hpp"

namespace {
// A Diagno Icounter result document always comes as exactly this many lines.
constexpr size_t LINHAS_DOCUMENTO_JSON = 34;
}  // namespace

std::string TJsonHandler::ProcessJsonDiagno() {
  TInputBuffer& input = fields_.inputBuffer;
  try {
    // A blank line at the head would make a one-line block and hold back every
    // document behind it; it can never belong to a document, so it goes.
    input.DropLeadingBlankLines(false);
    size_t usadas = 0;
    TLines bloco = blocks_.GetBlocoInBuffer(&usadas);
    while (bloco.size() == LINHAS_DOCUMENTO_JSON) {
      protocol::PrepararLinhas(bloco);
      // The analyzer expects no answer and will not send it again: kept even
      // when the spool cannot take it.
      archive_.ArchiveBlock(bloco, TWhenSpoolFails::KeepInMemory);
      // Exactly the input lines the document was cut from leave the buffer.
      input.Consume(usadas);
      input.DropLeadingBlankLines(false);
      if (archive_.Waiting()) return {};  // the rest waits for the disk to keep it
      bloco = blocks_.GetBlocoInBuffer(&usadas);
    }
    if (!input.empty()) ports_.LogResidue(input);
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.ProcessarJsonDiagno", e);
  }
  return {};
}
