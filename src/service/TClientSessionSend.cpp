#include <string>
#include <utility>

#include <asio/write.hpp>

#include "clients/TSocketClient.hpp"
#include "protocol/Controls.hpp"
#include "protocol/E1381.hpp"
#include "service/TClientSession.hpp"
#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"

using sessionstate::WriteAction;

namespace {

// How often one item of our transfer goes out before a NAK ends the transfer.
constexpr int MAX_SENDS = 6;

bool IsControl(const std::string& item) {
  return item.size() == 1 && (item[0] == ACK || item[0] == NAK || item[0] == ENQ || item[0] == EOT);
}

// An item of frame-to-frame mode as it goes on the wire: followed by CR LF,
// except a lone control character when controleSemCRLF asks for single bytes.
std::string WireItem(const std::string& item) {
  if (IsControl(item) && global->config && global->config->controleSemCRLF) return item;
  return item + CR + LF;
}

}  // namespace

void TClientSession::SendFromOutputBuffer(TSocketClient& client) {
  if (!client.outputBuffer.empty()) {
    const std::string item = client.outputBuffer.front();
    if (global->config && global->config->debug) doLog("SendFromOutputBuffer(" + item + ")");
    const std::string wire = WireItem(item);
    SendText(wire);
    client.outputBuffer.pop_front();
    if (item.size() == 1 && item[0] == ENQ) sendingReply_ = true;
    if (item.size() == 1 && item[0] == EOT) sendingReply_ = false;
    lastSent_ = sendingReply_ ? wire : std::string();
    sends_ = 1;
  } else if (client.usingFrameToFrame) {
    SendText(std::string(1, EOT));
    sendingReply_ = false;
    lastSent_.clear();
  }
  ArmLinkTimers();
}

void TClientSession::ResendAfterNak(TSocketClient& client) {
  if (!sendingReply_ || lastSent_.empty()) return;  // nothing of ours to send again
  owner_.NakReceived(client);
  if (sends_ < MAX_SENDS) {
    ++sends_;
    doLog("NAK do analisador: item reenviado (envio " + std::to_string(sends_) + " de " +
          std::to_string(MAX_SENDS) + ")");
    SendText(lastSent_);
    ArmLinkTimers();
    return;
  }
  doLog("NAK do analisador " + std::to_string(MAX_SENDS) +
        " vezes para o mesmo item: transmiss\xE3o encerrada com EOT");
  EndReply(client);
}

void TClientSession::StopReplyAfterEot(TSocketClient& client) {
  doLog("EOT do analisador durante o envio: transmiss\xE3o encerrada com EOT");
  EndReply(client);
}

void TClientSession::EndReply(TSocketClient& client) {
  client.outputBuffer.clear();
  SendText(WireItem(std::string(1, EOT)));
  sendingReply_ = false;
  lastSent_.clear();
  ArmLinkTimers();
}

void TClientSession::handleReply(TSocketClient& pClient) {
  // The 5 ms pause already ran on this connection's own timer.
  if (pClient.usingFrameToFrame)
    owner_.SendFromOutputBuffer(*this, pClient);
  else
    owner_.SendMessageByBlock(*this, pClient);
}

void TClientSession::SendMessageByBlock(TSocketClient& pClient) {
  for (const std::string& item : pClient.outputBuffer) {
    if (item.empty() || item == LINHA_SEPARADORA) continue;
    const TAnalisador* a = pClient.analisador.get();
    const std::string text = protocol::BlockModeText(item, a && a->usandoVTFS, a && a->usandoSTXETX);
    SendText(text);
    doLog("Mensagem enviada: " + std::string(1, CR) + "->" + CR + text);
  }
  pClient.outputBuffer.clear();
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
    case WriteAction::ReportError: owner_.ServerSocketClientError(*this, ec); return;
  }
}

void TClientSession::WriteFront() {
  // async_write goes on until the whole text is taken; the queue keeps the
  // replies in order (the deque keeps the front element where it is).
  asio::async_write(socket_, asio::buffer(writeQueue_.front()),
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
