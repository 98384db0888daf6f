#include <exception>

#include "clients/TSocketClient.hpp"

namespace {
// A Diagno Icounter result document always comes as exactly this many lines.
constexpr size_t LINHAS_DOCUMENTO_JSON = 34;
}  // namespace

std::string TSocketClient::ProcessJsonDiagno() {
  try {
    // A blank line at the head would make a one-line block and hold back every
    // document behind it; it can never belong to a document, so it goes.
    DropLeadingBlankLines(false);
    size_t usadas = 0;
    TLines bloco = GetBlocoInBuffer(&usadas);
    while (bloco.size() == LINHAS_DOCUMENTO_JSON) {
      PrepararBuffer(bloco);
      // The analyzer expects no answer and will not send it again: kept even
      // when the spool cannot take it.
      ArchiveBlock(bloco, TArchiveDelivery::TWhenSpoolFails::KeepInMemory);
      // Exactly the input lines the document was cut from leave the buffer.
      ConsumeInputLines(usadas);
      DropLeadingBlankLines(false);
      bloco = GetBlocoInBuffer(&usadas);
    }
    if (!inputBuffer.empty()) LogResidue();
  } catch (const std::exception& e) {
    LogError("TSocketClient.ProcessarJsonDiagno", e);
  }
  return {};
}
