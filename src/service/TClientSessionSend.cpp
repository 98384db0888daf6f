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

void TClientSession::SendFromOutputBuffer(TSocketClient& client) {
  if (!client.outputBuffer.empty()) {
    const std::string item = client.outputBuffer.front();
    if (global->config && global->config->debug) doLog("SendFromOutputBuffer(" + item + ")");
    SendText(item + CR + LF);
    client.outputBuffer.pop_front();
  } else if (client.usingFrameToFrame) {
    SendText(std::string(1, EOT));
  }
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
