// Reception and dispatch: the ASTM handshake, the cutting of received chunks
// into the lines of the input buffer, and the hand-over to the protocol handler.
#include <exception>

#include "clients/TSocketClient.hpp"
#include "config/TConfigJson.hpp"
#include "protocol/Astm.hpp"

void TSocketClient::ReadMessage(const std::string& msg) {
  try {
    if (msg.empty()) return;
    if (msg.size() == 1 && msg[0] == ENQ) {
      Log("");
      Log("Iniciando transmiss\xe3o.");
      usingFrameToFrame = true;
      inTransferPhase = true;
      inputBuffer.clear();  // whatever was left unconsumed is dropped
      lastFrame_.clear();
      nextFrameNumber_ = '1';
      outputBuffer.emplace_back(1, ACK);
    } else if (msg.size() == 1 && msg[0] == EOT) {
      inTransferPhase = false;
      processandoEOT_ = true;
      ProcessBuffer();
      if (pending_) {
        // A query waits for the LIS: the transfer ends after its reply.
        pending_->fimDeTransferencia = true;
        return;
      }
      FinishEot();
    } else {
      AddInputBuffer(msg);
      if (inTransferPhase) {
        // Every chunk of a transfer is acknowledged; processing waits for EOT.
        outputBuffer.emplace_back(1, ACK);
      } else if (BufferPossuiBlocoCompleto()) {
        ProcessBuffer();
      }
    }
  } catch (const std::exception& e) {
    LogError("TSocketClient.ReadMessage", e);
  }
}

void TSocketClient::FinishEot() {
  processandoEOT_ = false;
  Log("");
  Log("Finalizando transmiss\xe3o.");
}

void TSocketClient::ReadFrame(const TLinkReceiver::TEvent& frame) {
  try {
    const std::string numero(1, frame.number);
    if ((!context_.config || context_.config->verificarChecksum) && !frame.ChecksumOk()) {
      // A byte changed on the line: the analyzer sends the frame again.
      Log("Frame " + numero + " com checksum inv\xE1lido (recebido " + frame.checksum + ", calculado " +
          frame.expected + "): respondido com NAK");
      outputBuffer.emplace_back(1, NAK);
      Count([&](TClientEvents& e) { e.ChecksumRefused(*this); });
      return;
    }
    if (frame.bytes == lastFrame_) {
      Log("Frame " + numero + " repetido (o ACK anterior n\xE3o chegou ao analisador): confirmado sem gravar de novo");
      outputBuffer.emplace_back(1, ACK);
      Count([&](TClientEvents& e) { e.DuplicateFrame(*this); });
      return;
    }
    if (frame.number != nextFrameNumber_) {
      Log("Frame " + numero + " fora de sequ\xEAncia (esperado " + std::string(1, nextFrameNumber_) + ")");
    }
    nextFrameNumber_ = frame.number >= '0' && frame.number <= '7' ? static_cast<char>('0' + (frame.number - '0' + 1) % 8)
                                                                  : '1';
    lastFrame_ = frame.bytes;
    ReadMessage(frame.bytes);
  } catch (const std::exception& e) {
    LogError("TSocketClient.ReadFrame", e);
  }
}

void TSocketClient::ReadEvent(const TLinkReceiver::TEvent& event) {
  if (event.kind == TLinkReceiver::TEvent::Frame)
    ReadFrame(event);
  else
    ReadMessage(event.bytes);
}

void TSocketClient::EndTransferWithoutEot(const std::string& motivo) {
  try {
    if (!inTransferPhase) return;
    std::deque<std::string> linhas = inputBuffer.Lines();
    if (astm::GetBlocoProcessarASTM(linhas, false)) {
      Log("Transmiss\xE3o terminada sem EOT (" + motivo + "): a mensagem completa recebida \xE9 processada");
      ReadMessage(std::string(1, EOT));
      return;
    }
    inTransferPhase = false;
    if (inputBuffer.empty()) {
      Log("Transmiss\xE3o terminada sem EOT (" + motivo + ")");
      return;
    }
    Log("Transmiss\xE3o terminada sem EOT (" + motivo + ") antes do registro final; mensagem incompleta descartada: {" +
        protocol::LinesText(inputBuffer) + "}");
    inputBuffer.clear();
  } catch (const std::exception& e) {
    LogError("TSocketClient.EndTransferWithoutEot", e);
  }
}

void TSocketClient::AddInputBuffer(const std::string& msg) {
  try {
    if (msg.empty()) return;
    protocol::TCutLines cut = protocol::CutLines(msg);
    // VT is looked for before the new lines are added.
    bool juntar = false;
    if (!inputBuffer.empty() && !cut.lines.empty() && msg[0] != VT) {
      if (inputBuffer.HasVT()) {
        // A segment split by a chunk boundary is glued back together. When the
        // previous chunk ended exactly at a line break, its last line is whole:
        // a non-empty first line here is a segment of its own.
        juntar = !lastChunkEndedAtBreak_ || cut.lines[0].empty();
      } else if (msg[0] != STX) {
        // Without VT the same holds for records and JSON lines that a serial
        // bridge forwarded in pieces: a line cut by a chunk boundary is glued
        // back, and the LF of a CR LF pair that fell apart adds nothing. The
        // lines come out as if the text had arrived in one read. A chunk that
        // starts a frame (STX) always starts a line.
        juntar = !lastChunkEndedAtBreak_ || (lastChunkEndedWithCR_ && msg[0] == LF);
      }
    }
    size_t first = 0;
    if (juntar) {
      inputBuffer.AppendToLast(cut.lines[0]);
      first = 1;
    }
    lastChunkEndedAtBreak_ = cut.endsAtBreak;
    lastChunkEndedWithCR_ = msg.back() == CR;
    for (size_t i = first; i < cut.lines.size(); ++i) inputBuffer.push_back(std::move(cut.lines[i]));

    const bool hasVT = msg.find(VT) != std::string::npos;
    const bool hasFS = msg.find(FS) != std::string::npos;
    if (hasVT && !hasFS && !buffer_receiving_waiting_terminator) {
      buffer_receiving_waiting_terminator = true;
      buffer_receiving_terminator = std::string(1, FS);
    } else if (hasFS && !hasVT && buffer_receiving_waiting_terminator) {
      buffer_receiving_waiting_terminator = false;
      buffer_receiving_terminator.clear();
    }
  } catch (const std::exception& e) {
    LogError("TSocketClient.AddInBuffer", e);
  }
}

std::string TSocketClient::ProcessBuffer() {
  std::string result;
  try {
    switch (GetProtocolInBuffer()) {
      case PROTOCOLO_ASTM:
        result = ProcessASTM();
        break;
      case PROTOCOLO_HL7:
        result = ProcessHL7();
        break;
      case PROTOCOLO_JSON_DIAGNO:
        result = ProcessJsonDiagno();
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    LogError("TSocketClient.ProcessarBuffer", e);
  }
  return result;
}
