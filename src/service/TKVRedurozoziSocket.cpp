#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "protocol/Controls.hpp"
#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"

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
  acceptor_.open(endpoint.protocol());
  // Lets a restarted service bind at once while old connections linger in
  // TIME_WAIT; a port held by a listening process still fails.
  acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(asio::socket_base::max_listen_connections);
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
    lastAcceptError_.clear();
    std::error_code ignored;
    socket.non_blocking(true, ignored);
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    std::make_shared<TClientSession>(*this, std::move(socket))->Start(lookups_);
    StartAccept();
  });
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
  doLog(kConnectionClosed + Socket.id);
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
