#include <string>
#include <utility>

#include <asio/write.hpp>

#include "protocol/Controls.hpp"
#include "protocol/E1381.hpp"
#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"

void TKVRedurozozi::SendFromOutputBuffer(TClientSession& pSocket, TSocketClient& client) {
  if (!client.outputBuffer.empty()) {
    const std::string item = client.outputBuffer.front();
    if (global->config && global->config->debug) doLog("SendFromOutputBuffer(" + item + ")");
    SendText(pSocket, item + CR + LF);
    client.outputBuffer.pop_front();
  } else if (client.usingFrameToFrame) {
    SendText(pSocket, std::string(1, EOT));
  }
}

void TKVRedurozozi::handleReply(TClientSession& pSocket, TSocketClient& pClient) {
  // The 5 ms pause already ran on this connection's own timer.
  if (pClient.usingFrameToFrame)
    SendFromOutputBuffer(pSocket, pClient);
  else
    SendMessageByBlock(pSocket, pClient);
}

void TKVRedurozozi::SendMessageByBlock(TClientSession& pSocket, TSocketClient& pClient) {
  for (const std::string& item : pClient.outputBuffer) {
    if (item.empty() || item == LINHA_SEPARADORA) continue;
    const TAnalisador* a = pClient.analisador.get();
    const std::string text = protocol::BlockModeText(item, a && a->usandoVTFS, a && a->usandoSTXETX);
    SendText(pSocket, text);
    doLog("Mensagem enviada: " + std::string(1, CR) + "->" + CR + text);
  }
  pClient.outputBuffer.clear();
}

void TKVRedurozozi::SendText(TClientSession& session, std::string text) {
  if (session.closed || text.empty()) return;
  session.writeQueuedBytes += text.size();
  session.writeQueue.push_back(std::move(text));
  if (!session.writing) WriteNext(session);
}

void TKVRedurozozi::WriteNext(TClientSession& session) {
  session.writing = true;
  auto self = Find(session);
  // async_write goes on until the whole text is taken; the queue keeps the
  // replies in order (the deque keeps the front element where it is).
  asio::async_write(session.socket, asio::buffer(session.writeQueue.front()),
                    [this, self](const std::error_code& ec, size_t) {
                      self->writing = false;
                      if (self->closed) return;
                      if (ec) {
                        ServerSocketClientError(*self, ec);
                        return;
                      }
                      self->writeQueuedBytes -= self->writeQueue.front().size();
                      self->writeQueue.pop_front();
                      if (!self->writeQueue.empty()) {
                        WriteNext(*self);
                      } else if (self->closeAfterWrite) {
                        CloseSession(*self);
                        return;
                      }
                      if (self->readPaused && self->writeQueuedBytes <= MAX_WRITE_BACKLOG) {
                        self->readPaused = false;
                        StartRead(*self);
                      }
                    });
}
