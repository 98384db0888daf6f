#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "protocol/Controls.hpp"
#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"

#include "host/Listener.hpp"

namespace {
const char* const kNewConnection = "** Nova conex\xE3o: ";
const char* const kConnectionClosed = "Conex\xE3o encerrada: ";
}  // namespace

std::string TKVRedurozozi::GetClientID(const std::string& pRemoteHost, int pRemotePort) {
  return pRemoteHost + ":" + std::to_string(pRemotePort);
}

void TKVRedurozozi::OpenListener(int32_t pPort) {
  if (pPort < 0 || pPort > 65535) throw std::runtime_error("porta inv\xE1lida: " + std::to_string(pPort));
  const asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v4(), static_cast<unsigned short>(pPort));
  OpenListeningSocket(acceptor_, endpoint);
  listeningPort_ = acceptor_.local_endpoint().port();
  StartAccept();
}

void TKVRedurozozi::ServerSocketListen() {
  doLog("Servidor ativo e ouvindo porta " + std::to_string(global->config->portaServico));
}

void TKVRedurozozi::StartAccept() {
  acceptor_.async_accept([this](const std::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors and the like: try again shortly instead of spinning,
      // and log a repeated error once.
      if (ec != lastAcceptError_) ReportError("ServerSocket.Accept: " + ec.message());
      lastAcceptError_ = ec;
      acceptRetry_.expires_after(std::chrono::milliseconds(200));
      acceptRetry_.async_wait([this](const std::error_code& e) {
        if (!e) StartAccept();
      });
      return;
    }
    if (stopping_) return;  // accepted just before the stop: it closes unread
    lastAcceptError_.clear();
    std::error_code ignored;
    socket.non_blocking(true, ignored);
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    auto session = std::make_shared<TClientSession>(*this, std::move(socket));
    std::erase_if(sessions_, [](const std::weak_ptr<TClientSession>& w) { return w.expired(); });
    sessions_.push_back(session);
    session->Start(lookups_);
    StartAccept();
  });
}

void TKVRedurozozi::CloseConnections() {
  stopping_ = true;
  std::error_code ec;
  acceptor_.close(ec);
  acceptRetry_.cancel();
  redelivery_.cancel();
  std::vector<std::shared_ptr<TClientSession>> open;
  for (const std::weak_ptr<TClientSession>& w : sessions_)
    if (std::shared_ptr<TClientSession> s = w.lock()) open.push_back(std::move(s));
  sessions_.clear();
  // An acknowledgement the analyzer never gets makes it send the message again.
  for (const auto& s : open) s->Drain();
  const auto deadline = std::chrono::steady_clock::now() + STOP_WRITE_TIME;
  const auto anyOpen = [&] { return std::any_of(open.begin(), open.end(), [](const auto& s) { return !s->Closed(); }); };
  while (anyOpen() && std::chrono::steady_clock::now() < deadline)
    if (!ProcessRequestsUntil(deadline)) break;
  // A peer that does not read its replies does not hold up the stop.
  for (const auto& s : open) s->Close();
}

void TKVRedurozozi::ServerSocketClientConnect(TClientSession& Socket) {
  Socket.id = GetClientID(Socket.RemoteHost, Socket.RemotePort);
  Socket.client = &global->clients->AddItem(Socket.id, global->config->pastaSaida, global->ClientContext());
  if (TStatusCollector* s = Status()) s->Connected(Socket.client, Socket.id);
  doLog("");
  doLog(kNewConnection + Socket.id + "**");
}

void TKVRedurozozi::ServerSocketClientRead(TClientSession& Socket, const std::string& pChunk) {
  doLog("");
  doLog("Nova mensagem: [" + Socket.id + "] " + std::string(1, CR) + pChunk);
  if (!Socket.client) return;
  Socket.Receive(pChunk);
  if (TStatusCollector* s = Status(); s && Socket.client) s->Received(Socket.client);
}

void TKVRedurozozi::ServerSocketClientError(TClientSession& Socket, const std::error_code& ec) {
  doLog("TKVRedurozozi.ServerSocketClientError() -> Erro: [" + Socket.id + "] " + ec.message());
  Socket.Close();
}

void TKVRedurozozi::ServerSocketClientDisconnect(TClientSession& Socket) {
  // The stop lines stay the last of a run: connections closed by the stop log nothing.
  if (!stopping_) doLog(kConnectionClosed + Socket.id);
  if (TStatusCollector* s = Status()) s->Disconnected(Socket.client);
  ReleaseClient(Socket);
}

void TKVRedurozozi::ReleaseClient(TClientSession& session) {
  // By identity: another live connection may have the same id.
  if (TSocketClient* mine = std::exchange(session.client, nullptr)) global->clients->FreeItem(mine);
}

void TKVRedurozozi::SendFromOutputBuffer(TClientSession& pSocket, TSocketClient& client) {
  pSocket.SendFromOutputBuffer(client);
}

void TKVRedurozozi::handleReply(TClientSession& pSocket, TSocketClient& pClient) { pSocket.handleReply(pClient); }

void TKVRedurozozi::SendMessageByBlock(TClientSession& pSocket, TSocketClient& pClient) {
  pSocket.SendMessageByBlock(pClient);
}
