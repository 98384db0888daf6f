#include "clients/TReception.hpp"

#include <deque>
#include <exception>
#include <stdexcept>

#include "protocol/Astm.hpp"
#include "protocol/Controls.hpp"

void TReception::ReadMessage(const std::string& msg) {
  try {
    if (msg.empty()) return;
    if (msg.size() == 1 && msg[0] == ENQ)
      Handle(TReceptionEvent::Enq);
    else if (msg.size() == 1 && msg[0] == EOT)
      Handle(TReceptionEvent::Eot);  // the EOT itself is not stored
    else
      Handle(TReceptionEvent::Text, msg);
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.ReadMessage", e);
    Handle(TReceptionEvent::Failed);
  }
}

void TReception::Handle(TReceptionEvent event, const std::string& text, TOutsideAnswer answer) {
  const TReceptionStep step = ReceptionTransition(state_, event);
  state_ = step.next;
  switch (step.action) {
    case TReceptionAction::None: return;
    case TReceptionAction::StartTransfer: StartTransfer(); return;
    case TReceptionAction::StoreAndAcknowledge:
      // Every chunk of a transfer is acknowledged, whatever it holds; processing waits for EOT.
      AddInputBuffer(text);
      fields_.outputBuffer.emplace_back(1, ACK);
      return;
    case TReceptionAction::StoreAndTest:
      AddInputBuffer(text);
      if (BufferPossuiBlocoCompleto()) Handle(TReceptionEvent::BlockComplete);
      return;
    case TReceptionAction::Store: AddInputBuffer(text); return;
    case TReceptionAction::Run: Run(false); return;
    case TReceptionAction::RunAfterSilence:
      ports_.Log("Transmiss\xE3o terminada sem EOT (" + text + "): a mensagem completa recebida \xE9 processada");
      Run(false);
      return;
    case TReceptionAction::DropIncomplete: DropIncomplete(text); return;
    case TReceptionAction::FinishEot:
      ports_.Log("");
      ports_.Log("Finalizando transmiss\xe3o.");
      return;
    case TReceptionAction::FinishAndResume: FinishAndResume(answer); return;
    case TReceptionAction::DropWaiting:
      queries_.Drop();
      archive_.Drop();
      return;
  }
}

void TReception::StartTransfer() {
  ports_.Log("");
  ports_.Log("Iniciando transmiss\xe3o.");
  fields_.usingFrameToFrame = true;
  fields_.inputBuffer.clear();  // whatever was left unconsumed is dropped
  lastFrame_.clear();
  nextFrameNumber_ = '1';
  fields_.outputBuffer.emplace_back(1, ACK);
}

void TReception::Run(bool resuming) {
  Dispatch(resuming);
  Handle(OutsideWaits() ? TReceptionEvent::OutsideWaiting : TReceptionEvent::Handled);
}

void TReception::FinishAndResume(TOutsideAnswer answer) {
  if (answer.lis) {
    TPendingQuery query = queries_.Answered(*answer.lis);
    if (query.protocol == TPendingQuery::TProtocol::Astm)
      astm_.ReplyQueryASTM(query.message, *answer.lis);
    else
      hl7_.ReplyQueryHL7(query.message, query.hl7Type, *answer.lis);
  } else {
    const TKeepRequest kept = archive_.Kept(*answer.kept);
    // ASTM and JSON expect nothing more; an HL7 message gets its ACK^R01 now.
    if (kept.entry.protocolo == PROTOCOLO_HL7) hl7_.Kept(kept.entry.linhas, *answer.kept);
  }
  // What waited interrupted the run: it goes on, in the order it would have.
  Run(true);
}

void TReception::DropIncomplete(const std::string& motivo) {
  TInputBuffer& input = fields_.inputBuffer;
  if (input.empty()) {
    ports_.Log("Transmiss\xE3o terminada sem EOT (" + motivo + ")");
    return;
  }
  ports_.Log("Transmiss\xE3o terminada sem EOT (" + motivo +
             ") antes do registro final; mensagem incompleta descartada: {" + protocol::LinesText(input) + "}");
  input.clear();
}

void TReception::ReadFrame(const TLinkReceiver::TEvent& frame) {
  try {
    const std::string numero(1, frame.number);
    if (ports_.VerifyChecksums() && !frame.ChecksumOk()) {
      // A byte changed on the line: the analyzer sends the frame again.
      ports_.Log("Frame " + numero + " com checksum inv\xE1lido (recebido " + frame.checksum + ", calculado " +
                 frame.expected + "): respondido com NAK");
      fields_.outputBuffer.emplace_back(1, NAK);
      ports_.ChecksumRefused();
      return;
    }
    if (frame.bytes == lastFrame_) {
      ports_.Log("Frame " + numero +
                 " repetido (o ACK anterior n\xE3o chegou ao analisador): confirmado sem gravar de novo");
      fields_.outputBuffer.emplace_back(1, ACK);
      ports_.DuplicateFrame();
      return;
    }
    if (frame.number != nextFrameNumber_) {
      ports_.Log("Frame " + numero + " fora de sequ\xEAncia (esperado " + std::string(1, nextFrameNumber_) + ")");
    }
    nextFrameNumber_ = frame.number >= '0' && frame.number <= '7'
                           ? static_cast<char>('0' + (frame.number - '0' + 1) % 8)
                           : '1';
    lastFrame_ = frame.bytes;
    ReadMessage(frame.bytes);
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.ReadFrame", e);
  }
}

void TReception::ReadEvent(const TLinkReceiver::TEvent& event) {
  if (event.kind == TLinkReceiver::TEvent::Frame)
    ReadFrame(event);
  else
    ReadMessage(event.bytes);
}

void TReception::EndTransferWithoutEot(const std::string& motivo) {
  try {
    if (!InTransfer()) return;
    std::deque<std::string> linhas = fields_.inputBuffer.Lines();
    const bool completa = astm::GetBlocoProcessarASTM(linhas, false).has_value();
    Handle(completa ? TReceptionEvent::SilentAfterEnd : TReceptionEvent::SilentBeforeEnd, motivo);
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.EndTransferWithoutEot", e);
    Handle(TReceptionEvent::Failed);
  }
}

void TReception::AddInputBuffer(const std::string& msg) {
  try {
    if (msg.empty()) return;
    TInputBuffer& input = fields_.inputBuffer;
    protocol::TCutLines cut = protocol::CutLines(msg);
    // VT is looked for before the new lines are added.
    bool juntar = false;
    if (!input.empty() && !cut.lines.empty() && msg[0] != VT) {
      if (input.HasVT()) {
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
      input.AppendToLast(cut.lines[0]);
      first = 1;
    }
    lastChunkEndedAtBreak_ = cut.endsAtBreak;
    lastChunkEndedWithCR_ = msg.back() == CR;
    for (size_t i = first; i < cut.lines.size(); ++i) input.push_back(std::move(cut.lines[i]));

    const bool hasVT = msg.find(VT) != std::string::npos;
    const bool hasFS = msg.find(FS) != std::string::npos;
    if (hasVT && !hasFS && !fields_.buffer_receiving_waiting_terminator) {
      fields_.buffer_receiving_waiting_terminator = true;
      fields_.buffer_receiving_terminator = std::string(1, FS);
    } else if (hasFS && !hasVT && fields_.buffer_receiving_waiting_terminator) {
      fields_.buffer_receiving_waiting_terminator = false;
      fields_.buffer_receiving_terminator.clear();
    }
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.AddInBuffer", e);
  }
}

std::string TReception::Dispatch(bool resuming) {
  std::string result;
  try {
    switch (GetProtocolInBuffer()) {
      case PROTOCOLO_ASTM:
        result = astm_.ProcessASTM(resuming);
        break;
      case PROTOCOLO_HL7:
        result = hl7_.ProcessHL7();
        break;
      case PROTOCOLO_JSON_DIAGNO:
        result = json_.ProcessJsonDiagno();
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.ProcessarBuffer", e);
  }
  return result;
}

std::string TReception::ProcessBuffer() {
  const std::string result = Dispatch(false);
  // Run straight through (not from a chunk): a query left waiting still waits here.
  if (OutsideWaits() && !QueryPending() && !KeepPending()) Handle(TReceptionEvent::OutsideWaiting);
  return result;
}

bool TReception::LastLineMayGrow() const {
  const TInputBuffer& input = fields_.inputBuffer;
  // At the end of a transfer the last line is all there is.
  const bool atEot = state_ == TReceptionState::ProcessingEot || state_ == TReceptionState::AwaitingOutsideAtEot;
  if (input.empty() || lastChunkEndedAtBreak_ || atEot) return false;
  // FS ends an MLLP message: nothing is glued onto it any more.
  return !input.LastHasFS();
}

bool TReception::QueryPending() const {
  const bool awaiting = state_ == TReceptionState::AwaitingOutside || state_ == TReceptionState::AwaitingOutsideAtEot;
  return awaiting && queries_.Waiting();
}

bool TReception::KeepPending() const {
  const bool awaiting = state_ == TReceptionState::AwaitingOutside || state_ == TReceptionState::AwaitingOutsideAtEot;
  return awaiting && archive_.Waiting();
}

TLisQuery TReception::TakeLisQuery() {
  if (!QueryPending()) throw std::logic_error("nenhuma consulta esperando o LIS");
  return queries_.TakeQuestion();
}

TKeepRequest TReception::TakeKeep() {
  if (!KeepPending()) throw std::logic_error("nenhum item esperando a grava\xe7\xe3o");
  return archive_.TakeRequest();
}

void TReception::AnswerQuery(TLisAnswer answer) {
  if (!QueryPending()) return;
  try {
    Handle(TReceptionEvent::OutsideAnswered, {}, {&answer, nullptr});
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.AnswerQuery", e);
    Handle(TReceptionEvent::Failed);
  }
}

void TReception::AnswerKept(const TKept& kept) {
  if (!KeepPending()) return;
  try {
    Handle(TReceptionEvent::OutsideAnswered, {}, {nullptr, &kept});
  } catch (const std::exception& e) {
    ports_.LogError("TSocketClient.AnswerKept", e);
    Handle(TReceptionEvent::Failed);
  }
}
