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
const char* const NEW_CONNECTION = "** Nova conex\xE3o: ";
const char* const CONNECTION_CLOSED = "Conex\xE3o encerrada: ";
}  // namespace

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
    std::error_code ec2;
    const asio::ip::tcp::endpoint peer = socket.remote_endpoint(ec2);
    if (!ec2) {  // (gone before it could be named: there is nothing to serve)
      socket.set_option(asio::ip::tcp::no_delay(true), ec2);
      auto session = std::make_shared<TClientSession>(static_cast<TSessionHost&>(*this), SessionSettings(),
                                                      MakeLinkStream(std::move(socket)));
      KeepSession(session);
      session->Start(lookups_, peer);
    }
    StartAccept();
  });
}

void TKVRedurozozi::KeepSession(const std::shared_ptr<TClientSession>& session) {
  std::erase_if(sessions_, [](const std::weak_ptr<TClientSession>& w) { return w.expired(); });
  sessions_.push_back(session);
}

void TKVRedurozozi::CloseConnections() {
  stopping_ = true;
  StopLinks();
  std::error_code ec;
  acceptor_.close(ec);
  acceptRetry_.cancel();
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

TSessionSettings TKVRedurozozi::SessionSettings() const {
  const TConfigJson& c = *global->config;
  return {std::chrono::milliseconds(c.pausaRespostaMs),
          std::chrono::seconds(c.timeoutRecepcaoSegundos),
          std::chrono::seconds(c.timeoutRespostaSegundos),
          c.controleSemCRLF,
          c.debug,
          MAX_INPUT_BYTES,
          MAX_READ_BYTES,
          MAX_WRITE_BACKLOG};
}

TSocketClient& TKVRedurozozi::Connected(const std::string& id) {
  TSocketClient& client = global->clients->AddItem(id, global->config->pastaSaida, global->ClientContext());
  if (connectingLink_) linkRecords_[&client] = connectingLink_;
  if (TStatusCollector* s = Status()) s->Connected(&client, id);
  doLog("");
  doLog(NEW_CONNECTION + id + "**");
  return client;
}

void TKVRedurozozi::Received(const std::string& id, const std::string& chunk) {
  doLog("");
  doLog("Nova mensagem: [" + id + "] " + std::string(1, CR) + chunk);
}

void TKVRedurozozi::ReadHandled(const TSocketClient& client) {
  if (TStatusCollector* s = Status()) s->Received(&client);
}

void TKVRedurozozi::ConnectionFailed(const std::string& id, const std::error_code& ec) {
  doLog("TKVRedurozozi.ServerSocketClientError() -> Erro: [" + id + "] " + ec.message());
}

void TKVRedurozozi::Disconnected(const std::string& id, TSocketClient& client, const std::error_code& how) {
  // The stop lines stay the last of a run: connections closed by the stop log nothing.
  if (!stopping_) doLog(CONNECTION_CLOSED + id);
  if (TStatusCollector* s = Status()) s->Disconnected(&client);
  LinkEnded(client, how);
  // By identity: another live connection may have the same id.
  global->clients->FreeItem(&client);
}

void TKVRedurozozi::Log(const std::string& text) { doLog(text); }

std::string TKVRedurozozi::GetClientID(const std::string& pRemoteHost, int pRemotePort) {
  return TClientSession::ClientId(pRemoteHost, pRemotePort);
}

void TKVRedurozozi::ServerSocketClientConnect(TClientSession& Socket) { Socket.Connect(); }

void TKVRedurozozi::ServerSocketClientRead(TClientSession& Socket, const std::string& pChunk) { Socket.Read(pChunk); }

void TKVRedurozozi::ServerSocketClientDisconnect(TClientSession& Socket) { Socket.Close(); }

void TKVRedurozozi::SendFromOutputBuffer(TClientSession& pSocket) { pSocket.SendFromOutputBuffer(); }

void TKVRedurozozi::handleReply(TClientSession& pSocket) { pSocket.handleReply(); }

void TKVRedurozozi::SendMessageByBlock(TClientSession& pSocket) { pSocket.SendMessageByBlock(); }
