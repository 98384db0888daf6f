#include "service/TClientSession.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include <asio/post.hpp>

#include "clients/TSocketClient.hpp"
#include "protocol/Controls.hpp"
#include "config/TConfigJson.hpp"
#include "service/HostNames.hpp"
#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"

using sessionstate::ReadAction;
using sessionstate::ReadState;

TClientSession::TClientSession(TKVRedurozozi& owner, asio::ip::tcp::socket pSocket)
    : owner_(owner),
      socket_(std::move(pSocket)),
      replyTimer_(socket_.get_executor()),
      receiveTimer_(socket_.get_executor()),
      answerTimer_(socket_.get_executor()) {}

void TClientSession::Start(asio::thread_pool& lookups) {
  std::error_code ec;
  const asio::ip::tcp::endpoint peer = socket_.remote_endpoint(ec);
  if (ec) {  // gone before it could be named: there is no record to release
    Close();
    return;
  }
  RemotePort = peer.port();
  // A slow name server must not hold up the other connections: the look-up
  // runs on a helper thread and the connect event follows on the loop. The
  // reference moves along, so the helper thread never drops the last one.
  asio::post(lookups, [self = shared_from_this(), peer, loop = socket_.get_executor()]() mutable {
    std::string host = ReverseLookup(peer);
    asio::post(loop, [self = std::move(self), host = std::move(host)]() mutable { self->Named(std::move(host)); });
  });
}

void TClientSession::Named(std::string host) {
  RemoteHost = std::move(host);
  OnRead(ReadEvent::Named);
}

void TClientSession::OnRead(ReadEvent event, const std::error_code& ec, const std::string& chunk) {
  const sessionstate::ReadStep step = sessionstate::ReadTransition(read_, event, BacklogFull());
  read_ = step.next;
  switch (step.action) {
    case ReadAction::None: return;
    case ReadAction::ConnectAndWait:
      owner_.ServerSocketClientConnect(*this);
      WaitForData();
      return;
    case ReadAction::WaitForData: WaitForData(); return;
    case ReadAction::ReadNow: ReadAvailable(); return;
    case ReadAction::HandChunks: owner_.ServerSocketClientRead(*this, chunk); return;
    case ReadAction::FinishWriting: OnWrite(WriteEvent::PeerClosed); return;
    case ReadAction::ReportError: owner_.ServerSocketClientError(*this, ec); return;
    case ReadAction::StartReplyTimer: StartReplyTimer(); return;
    case ReadAction::SendReply: SendReply(); return;
    case ReadAction::AskLis: AskLis(); return;
    case ReadAction::AnswerQuery: AnswerQuery(); return;
    case ReadAction::SendReplyAndFinish:
      replyTimer_.cancel();
      SendReply();
      OnWrite(WriteEvent::PeerClosed);
      return;
    case ReadAction::Close: Teardown(); return;
  }
}

void TClientSession::WaitForData() {
  socket_.async_wait(asio::ip::tcp::socket::wait_read, [self = shared_from_this()](const std::error_code& ec) {
    self->OnRead(ec ? ReadEvent::Failed : ReadEvent::Readable, ec);
  });
}

void TClientSession::ReadAvailable() {
  std::error_code ec;
  const size_t available = socket_.available(ec);
  std::string chunk(std::clamp<size_t>(available, 1, TKVRedurozozi::MAX_READ_BYTES), '\0');
  const size_t got = ec ? 0 : socket_.read_some(asio::buffer(chunk), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) {
    OnRead(ReadEvent::NothingYet);
  } else if (ec == asio::error::eof) {
    OnRead(ReadEvent::PeerFinished);
  } else if (ec) {
    OnRead(ReadEvent::Failed, ec);
  } else {
    chunk.resize(got);
    lastRead_ = std::chrono::steady_clock::now();
    OnRead(ReadEvent::DataArrived, {}, chunk);
  }
}

void TClientSession::Receive(const std::string& pChunk) {
  for (TLinkReceiver::TEvent& e : link_.Feed(pChunk, client->inTransferPhase)) chunks_.push_back(std::move(e));
  if (CheckInputBound()) return;
  ProcessChunks();
}

void TClientSession::ProcessChunks() {
  if (read_ == ReadState::Handling && client->QueryPending()) {
    OnRead(ReadEvent::LisAsked);
    return;
  }
  while (read_ == ReadState::Handling && !chunks_.empty()) {
    const TLinkReceiver::TEvent event = std::move(chunks_.front());
    chunks_.pop_front();
    try {
      switch (event.kind) {
        case TLinkReceiver::TEvent::Ack:
          // The analyzer acknowledged the previous item: the next one goes at
          // once. During its own transfer an ACK of the analyzer's means nothing.
          if (!client->inTransferPhase) owner_.SendFromOutputBuffer(*this, *client);
          continue;
        case TLinkReceiver::TEvent::Nak:
          ResendAfterNak(*client);
          continue;
        case TLinkReceiver::TEvent::Eot:
          if (sendingReply_) {
            StopReplyAfterEot(*client);
            continue;
          }
          client->ReadMessage(event.bytes);
          break;
        default:
          client->ReadEvent(event);
          break;
      }
    } catch (const std::exception& e) {
      // The chunk counts as handled; the connection goes on with the next one.
      owner_.ReportError(e.what());
    }
    if (!ReadyForNextChunk()) return;
  }
  OnRead(ReadEvent::ChunksDone);
}

bool TClientSession::ReadyForNextChunk() {
  if (CheckInputBound()) return false;
  ArmLinkTimers();
  // A reply already produced (an ACK^R01 before a query in the same read)
  // goes first; the query is asked when the reply has gone.
  if (!client->outputBuffer.empty()) {
    OnRead(ReadEvent::ReplyDue);
    return false;
  }
  if (client->QueryPending()) {
    OnRead(ReadEvent::LisAsked);
    return false;
  }
  return true;
}

void TClientSession::AskLis() {
  TLisQuery query;
  try {
    query = client->TakeLisQuery();
  } catch (const std::exception& e) {
    owner_.ReportError(e.what());
  }
  // The answer is posted back to the loop; a connection closed meanwhile ignores it.
  owner_.RunLisQuery(std::move(query), [self = shared_from_this()](TLisAnswer answer) {
    self->lisAnswer_ = std::move(answer);
    self->OnRead(ReadEvent::LisAnswered);
  });
}

void TClientSession::AnswerQuery() {
  try {
    client->AnswerQuery(std::move(lisAnswer_));
  } catch (const std::exception& e) {
    owner_.ReportError(e.what());
  }
  lisAnswer_ = TLisAnswer{};
  if (ReadyForNextChunk()) ProcessChunks();
}

void TClientSession::StartReplyTimer() {
  // The reply leaves pausaRespostaMs (5) after the read it answers, and as
  // long after the connection's previous reply: the handling (a LIS lookup
  // included) runs inside the pause instead of before it. This connection's
  // next chunk waits for the reply; the other connections go on meanwhile.
  const int32_t pausa = global->config ? global->config->pausaRespostaMs : 5;
  const auto gap = std::chrono::milliseconds(pausa > 0 ? pausa : 0);
  replyTimer_.expires_at(std::max(lastRead_, lastReply_) + gap);
  replyTimer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
    if (!ec) self->OnRead(ReadEvent::ReplyTimeUp);  // cancelled only by the close
  });
}

void TClientSession::SendReply() {
  lastReply_ = std::chrono::steady_clock::now();
  try {
    owner_.handleReply(*this, *client);
  } catch (const std::exception& e) {
    owner_.ReportError(e.what());
  }
  ProcessChunks();
}

void TClientSession::ArmLinkTimers() {
  const auto seconds = [](int32_t s) { return std::chrono::seconds(s); };
  const TConfigJson* config = global->config.get();
  const int32_t receive = config ? config->timeoutRecepcaoSegundos : 30;
  const int32_t answer = config ? config->timeoutRespostaSegundos : 15;
  // Re-arming cancels the wait before: each frame restarts the count.
  if (client->inTransferPhase && receive > 0) {
    receiveTimer_.expires_after(seconds(receive));
    receiveTimer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
      if (!ec) self->ReceiveTimedOut();
    });
  } else {
    receiveTimer_.cancel();
  }
  if (sendingReply_ && answer > 0) {
    answerTimer_.expires_after(seconds(answer));
    answerTimer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
      if (!ec) self->AnswerTimedOut();
    });
  } else {
    answerTimer_.cancel();
  }
}

void TClientSession::ReceiveTimedOut() {
  if (!client || read_ == ReadState::Closed) return;
  try {
    client->EndTransferWithoutEot("sem frame nem EOT por " + std::to_string(global->config->timeoutRecepcaoSegundos) +
                                  " s");
    // A complete query found that way is answered as after its EOT.
    if (client->QueryPending()) {
      OnRead(ReadEvent::LisAsked);  // a reply pause running asks it from the chunk loop instead
      return;
    }
    if (!client->outputBuffer.empty()) owner_.handleReply(*this, *client);
  } catch (const std::exception& e) {
    owner_.ReportError(e.what());
  }
  ArmLinkTimers();
}

void TClientSession::AnswerTimedOut() {
  if (!client || read_ == ReadState::Closed || !sendingReply_) return;
  doLog("Analisador sem resposta por " + std::to_string(global->config->timeoutRespostaSegundos) +
        " s: transmiss\xE3o encerrada com EOT");
  EndReply(*client);
}

bool TClientSession::CheckInputBound() {
  size_t held = link_.PendingBytes();
  for (const TLinkReceiver::TEvent& e : chunks_) held += e.bytes.size();
  if (client) {
    // Each held line costs its bookkeeping too: a flood of bare line breaks
    // would otherwise take ~30 times the bound in memory before tripping it.
    held += client->InputBufferBytes() + client->inputBuffer.size() * sizeof(std::string);
  }
  if (held <= TKVRedurozozi::MAX_INPUT_BYTES) return false;
  doLog("Cliente " + id + " desconectado: " + std::to_string(held) +
        " bytes recebidos sem processar (limite de 16 MiB)");
  Close();
  return true;
}

void TClientSession::Close() { OnRead(ReadEvent::Stop); }

void TClientSession::Drain() { OnRead(ReadEvent::Drain); }

void TClientSession::Teardown() {
  OnWrite(WriteEvent::Stop);
  std::error_code ec;
  replyTimer_.cancel();
  receiveTimer_.cancel();
  answerTimer_.cancel();
  // Frames acknowledged so far must not vanish with the connection.
  if (client && client->inTransferPhase) {
    try {
      client->EndTransferWithoutEot("conex\xE3o encerrada");
    } catch (const std::exception& e) {
      owner_.ReportError(e.what());
    }
  }
  socket_.shutdown(asio::socket_base::shutdown_both, ec);
  socket_.close(ec);
  if (client) owner_.ServerSocketClientDisconnect(*this);
}

bool TClientSession::BacklogFull() const { return writeQueuedBytes_ > TKVRedurozozi::MAX_WRITE_BACKLOG; }
