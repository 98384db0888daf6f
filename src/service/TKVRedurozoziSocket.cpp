#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <asio/post.hpp>

#include "protocol/Controls.hpp"
#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"

namespace {
const char* const kNewConnection = "** Nova conex\xE3o: ";
const char* const kConnectionClosed = "Conex\xE3o encerrada: ";

// Reverse look-up of the peer's address; "" when it has no name.
std::string ReverseLookup(const asio::ip::tcp::endpoint& peer) {
  char host[NI_MAXHOST] = {};
  const int rc = ::getnameinfo(peer.data(), static_cast<socklen_t>(peer.size()), host, sizeof host,
                               nullptr, 0, NI_NAMEREQD);
  return rc == 0 ? std::string(host) : std::string();
}
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
    auto session = std::make_shared<TClientSession>(std::move(socket));
    session->serial = ++nextSerial_;
    std::error_code ignored;
    session->socket.non_blocking(true, ignored);
    session->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    sessions_[session->serial] = session;
    LookupHost(session);
    StartAccept();
  });
}

void TKVRedurozozi::LookupHost(const std::shared_ptr<TClientSession>& session) {
  std::error_code ec;
  const asio::ip::tcp::endpoint peer = session->socket.remote_endpoint(ec);
  if (ec) {  // gone before it could be named: there is no record to release
    CloseSession(*session);
    return;
  }
  session->RemotePort = peer.port();
  // A slow name server must not hold up the other connections: the look-up
  // runs on a helper thread and the connect event follows on the loop.
  std::weak_ptr<TClientSession> weak = session;
  asio::post(lookups_, [this, weak, peer] {
    std::string host = ReverseLookup(peer);
    asio::post(Context(), [this, weak, host = std::move(host)] {
      const auto s = weak.lock();
      if (!s || s->closed) return;
      s->RemoteHost = host;
      ServerSocketClientConnect(*s);
    });
  });
}

void TKVRedurozozi::ServerSocketClientConnect(TClientSession& Socket) {
  Socket.id = GetClientID(Socket.RemoteHost, Socket.RemotePort);
  Socket.client = &global->clients->AddItem(Socket.id, global->config->pastaSaida, global->ClientContext());
  doLog("");
  doLog(kNewConnection + Socket.id + "**");
  StartRead(Socket);
}

void TKVRedurozozi::StartRead(TClientSession& session) {
  if (session.closed || session.reading || session.waitingReply || !session.chunks.empty()) return;
  if (session.writeQueuedBytes > MAX_WRITE_BACKLOG) {
    // A peer that does not read its replies is not read either.
    session.readPaused = true;
    return;
  }
  session.reading = true;
  auto self = Find(session);
  session.socket.async_wait(asio::ip::tcp::socket::wait_read, [this, self](const std::error_code& ec) {
    self->reading = false;
    if (self->closed) return;
    if (ec) {
      ServerSocketClientError(*self, ec);
      return;
    }
    ReadAvailable(*self);
  });
}

void TKVRedurozozi::ReadAvailable(TClientSession& session) {
  std::error_code ec;
  const size_t available = session.socket.available(ec);
  std::string chunk(std::clamp<size_t>(available, 1, MAX_READ_BYTES), '\0');
  const size_t got = ec ? 0 : session.socket.read_some(asio::buffer(chunk), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) {
    StartRead(session);
    return;
  }
  if (ec == asio::error::eof) {
    // A peer that only closed its sending side still gets the replies queued
    // for it before the connection is closed.
    if (session.writing) {
      session.closeAfterWrite = true;
      return;
    }
    CloseSession(session);
    return;
  }
  if (ec) {
    ServerSocketClientError(session, ec);
    return;
  }
  chunk.resize(got);
  ServerSocketClientRead(session, chunk);
}

void TKVRedurozozi::ServerSocketClientRead(TClientSession& Socket, const std::string& pChunk) {
  doLog("");
  doLog("Nova mensagem: [" + Socket.id + "] " + std::string(1, CR) + pChunk);
  if (!Socket.client) return;
  for (std::string& piece : Socket.frames.Feed(pChunk, Socket.client->inTransferPhase))
    Socket.chunks.push_back(std::move(piece));
  if (CheckInputBound(Socket)) return;
  ProcessChunks(Socket);
}

void TKVRedurozozi::ProcessChunks(TClientSession& session) {
  while (!session.closed && !session.waitingReply && !session.chunks.empty()) {
    const std::string chunk = std::move(session.chunks.front());
    session.chunks.pop_front();
    TSocketClient& client = *session.client;
    try {
      if (chunk.size() == 1 && chunk[0] == ACK) {
        // The analyzer acknowledged the previous item: the next one goes at once.
        SendFromOutputBuffer(session, client);
        continue;
      }
      client.ReadMessage(chunk);
    } catch (const std::exception& e) {
      // The chunk counts as handled; the connection goes on with the next one.
      ReportError(e.what());
    }
    if (CheckInputBound(session)) return;
    if (!client.outputBuffer.empty()) {
      // The reply leaves 5 ms after its chunk; this connection's next chunk
      // waits for it, the other connections go on meanwhile.
      session.waitingReply = true;
      auto self = Find(session);
      session.replyTimer.expires_after(std::chrono::milliseconds(5));
      session.replyTimer.async_wait([this, self](const std::error_code& ec) {
        self->waitingReply = false;
        if (ec || self->closed) return;
        try {
          handleReply(*self, *self->client);
        } catch (const std::exception& e) {
          ReportError(e.what());
        }
        ProcessChunks(*self);
      });
      return;
    }
  }
  StartRead(session);
}

bool TKVRedurozozi::CheckInputBound(TClientSession& session) {
  size_t held = session.frames.PendingBytes();
  for (const std::string& c : session.chunks) held += c.size();
  if (session.client) {
    // Each held line costs its bookkeeping too: a flood of bare line breaks
    // would otherwise take ~30 times the bound in memory before tripping it.
    held += session.client->InputBufferBytes() + session.client->inputBuffer.size() * sizeof(std::string);
  }
  if (held <= MAX_INPUT_BYTES) return false;
  doLog("Cliente " + session.id + " desconectado: " + std::to_string(held) +
        " bytes recebidos sem processar (limite de 16 MiB)");
  CloseSession(session);
  return true;
}

void TKVRedurozozi::ServerSocketClientError(TClientSession& Socket, const std::error_code& ec) {
  doLog("TKVRedurozozi.ServerSocketClientError() -> Erro: [" + Socket.id + "] " + ec.message());
  CloseSession(Socket);
}

void TKVRedurozozi::CloseSession(TClientSession& session) {
  if (session.closed) return;
  session.closed = true;
  std::error_code ec;
  session.replyTimer.cancel();
  session.socket.shutdown(asio::socket_base::shutdown_both, ec);
  session.socket.close(ec);
  if (session.client) ServerSocketClientDisconnect(session);
  sessions_.erase(session.serial);  // pending handlers still hold the object
}

void TKVRedurozozi::ServerSocketClientDisconnect(TClientSession& Socket) {
  doLog(kConnectionClosed + Socket.id);
  ReleaseClient(Socket);
}

void TKVRedurozozi::ReleaseClient(TClientSession& session) {
  // By identity: another live connection may have the same id.
  if (TSocketClient* mine = std::exchange(session.client, nullptr)) global->clients->FreeItem(mine);
}

std::shared_ptr<TClientSession> TKVRedurozozi::Find(const TClientSession& session) const {
  const auto it = sessions_.find(session.serial);
  return it != sessions_.end() ? it->second : nullptr;
}
