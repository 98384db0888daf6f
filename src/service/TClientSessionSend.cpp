#include <optional>
#include <string>
#include <utility>

#include <asio/write.hpp>

#include "clients/TSocketClient.hpp"
#include "protocol/Controls.hpp"
#include "protocol/E1381.hpp"
#include "service/TClientSession.hpp"

using sessionstate::WriteAction;
using protocol::TLinkSender;

void TClientSession::SendFromOutputBuffer() {
  if (!client) return;
  std::optional<std::string> item;
  if (!client->outputBuffer.empty()) {
    item = client->outputBuffer.front();
    if (settings_.debug) host_.Log("SendFromOutputBuffer(" + *item + ")");
  }
  DriveSender({TLinkSender::TEvent::Next, std::move(item), client->usingFrameToFrame});
}

void TClientSession::handleReply() {
  // The pause already ran on this connection's own timer.
  if (!client) return;
  if (client->usingFrameToFrame)
    SendFromOutputBuffer();
  else
    SendMessageByBlock();
}

void TClientSession::SendMessageByBlock() {
  if (!client) return;
  for (const std::string& item : client->outputBuffer) {
    if (item.empty() || item == LINHA_SEPARADORA) continue;
    const TAnalisador* a = client->analisador.get();
    const std::string text = protocol::BlockModeText(item, a && a->usandoVTFS, a && a->usandoSTXETX);
    SendText(text);
    host_.Log("Mensagem enviada: " + std::string(1, CR) + "->" + CR + text);
  }
  client->outputBuffer.clear();
}

bool TClientSession::DriveSender(const TLinkSender::TEvent& event) {
  bool forReception = false;
  bool wrote = false;
  for (TLinkSender::TAction& action : sender_.On(event)) {
    switch (action.kind) {
      case TLinkSender::TAction::Write:
        SendText(std::move(action.text));
        wrote = true;
        break;
      case TLinkSender::TAction::Dequeue: client->outputBuffer.pop_front(); break;
      case TLinkSender::TAction::ClearQueue: client->outputBuffer.clear(); break;
      case TLinkSender::TAction::ArmAnswerTimer: ArmAnswerTimer(action.seconds); break;
      case TLinkSender::TAction::CancelAnswerTimer: answerTimer_.cancel(); break;
      case TLinkSender::TAction::CountNak: host_.NakReceived(*client); break;
      case TLinkSender::TAction::Log: host_.Log(action.text); break;
      case TLinkSender::TAction::Receive: forReception = true; break;
    }
  }
  // The analyzer's next frame can only follow what we wrote: the silence of
  // its transfer counts from here.
  if (wrote) ArmReceiveTimer();
  return forReception;
}

void TClientSession::SendText(std::string text) {
  if (text.empty()) return;
  writeQueuedBytes_ += text.size();
  writeQueue_.push_back(std::move(text));
  OnWrite(WriteEvent::Queued);
}

void TClientSession::OnWrite(WriteEvent event, const std::error_code& ec) {
  const sessionstate::WriteStep step = sessionstate::WriteTransition(write_, event, writeQueue_.empty());
  write_ = step.next;
  switch (step.action) {
    case WriteAction::None: return;
    case WriteAction::Discard:  // only the text just queued: no write holds it
      writeQueuedBytes_ -= writeQueue_.back().size();
      writeQueue_.pop_back();
      return;
    case WriteAction::WriteFront: WriteFront(); return;
    case WriteAction::Close: Close(); return;
    case WriteAction::ReportError:
      endedBy_ = ec;
      host_.ConnectionFailed(id, ec);
      Close();
      return;
  }
}

void TClientSession::WriteFront() {
  // async_write goes on until the whole text is taken; the queue keeps the
  // replies in order (the deque keeps the front element where it is).
  stream_->AsyncWrite(asio::buffer(writeQueue_.front()),
                    [self = shared_from_this()](const std::error_code& ec, size_t) { self->WriteDone(ec); });
}

void TClientSession::WriteDone(const std::error_code& ec) {
  if (ec) {
    OnWrite(WriteEvent::Failed, ec);
    return;
  }
  writeQueuedBytes_ -= writeQueue_.front().size();
  writeQueue_.pop_front();
  OnWrite(WriteEvent::Written);
  OnRead(ReadEvent::WriteFinished);
}
