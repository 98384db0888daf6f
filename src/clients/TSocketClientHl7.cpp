// HL7 handler: cuts MLLP-framed messages from the head of the input buffer,
// archives result messages and acknowledges them with ACK^R01, and hands
// queries and orders to the query reply.
#include <exception>

#include "clients/TSocketClient.hpp"
#include "protocol/Hl7.hpp"

void TSocketClient::ArchiveHL7(TLines& bloco) {
  hl7::PrepararBlocoHL7(bloco);
  if (Debug()) Log(protocol::LinesText(bloco));
  try {
    // ArchiveBlock throws when nothing holds the message (the spool refused it):
    // the acknowledgement below is only reached once it is on disk, so an
    // analyzer never hears AA for a message that a power cut could take.
    ArchiveBlock(bloco, TArchiveDelivery::TWhenSpoolFails::Refuse);
    const hl7::AckValues valores = hl7::ReadAckValues(bloco[hl7::HeaderLineIndex(bloco)]);
    outputBuffer.push_back(hl7::BuildAckR01(valores, Now()));
    Count([&](TClientEvents& e) { e.ReplyQueued(*this); });
  } catch (const std::exception& e) {
    Log(std::string("\r\rN\xE3o foi poss\xEDvel salvar informa\xE7\xF5") + "es recebidas.\rErro: " + e.what() +
        "\r\rInforma\xE7\xF5" + "es:\r" + protocol::LinesText(bloco));
  }
}

std::string TSocketClient::ProcessHL7() {
  try {
    const bool debug = Debug();
    DropLeadingBlankLines(true);
    size_t origem = 0;
    auto bloco = hl7::GetBlocoProcessarHL7(inputBuffer, origem);
    if (debug && bloco) Log("bloco_para_salvar: \r" + protocol::LinesText(*bloco));
    while (bloco) {
      hl7::LimparBlocoHL7(*bloco);
      if (debug) Log("bloco_para salvar (limpo): \r" + protocol::LinesText(*bloco));
      // The header decides; text that preceded it in the block does not.
      const size_t cabecalho = hl7::HeaderLineIndex(*bloco);
      const TLines mensagem(bloco->begin() + static_cast<std::ptrdiff_t>(cabecalho), bloco->end());
      const int32_t tipo = mensagem.empty() ? hl7::QUERY_NID : hl7::GetMessageType(mensagem.front());

      if (tipo == hl7::QUERY_QRY || tipo == hl7::QUERY_ORM) {
        if (debug) {
          Log("");
          Log("Consulta iniciada");
        }
        ProcessQueryHL7(mensagem, tipo);
        // Only this message leaves; what came after it is handled below.
        ConsumeInputLines(origem);
      } else if (hl7::IsConfirmationMessageHL7(mensagem)) {
        ConsumeInputLines(origem);
        if (debug) {
          Log("");
          Log("Consulta finalizada");
        }
      } else {
        ArchiveHL7(*bloco);
        // The lines the block was cut from, not the joined count: a split
        // segment's tail must not come back as a message of its own.
        ConsumeInputLines(origem);
      }

      DropLeadingBlankLines(true);
      if (debug) Log("Buffer lines: " + std::to_string(inputBuffer.size()));
      if (pending_) return {};  // the rest waits for the LIS's answer
      bloco = hl7::GetBlocoProcessarHL7(inputBuffer, origem);
      if (debug && bloco) Log("bloco_para_salvar: \r" + protocol::LinesText(*bloco));
    }
    if (!inputBuffer.empty()) LogResidue();
  } catch (const std::exception& e) {
    LogError("TSocketClient.ProcessarHL7", e);
  }
  return {};
}
