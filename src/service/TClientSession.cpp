#include "service/TClientSession.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <utility>

#include <asio/post.hpp>

#include "clients/TSocketClient.hpp"
#include "host/HostNames.hpp"

using sessionstate::ReadAction;
using sessionstate::ReadState;
using protocol::TLinkSender;

TClientSession::TClientSession(TSessionHost& host, const TSessionSettings& settings, asio::ip::tcp::socket pSocket)
    : host_(host),
      settings_(settings),
      socket_(std::move(pSocket)),
      replyTimer_(socket_.get_executor()),
      receiveTimer_(socket_.get_executor()),
      answerTimer_(socket_.get_executor()),
      sender_({settings.controlWithoutCrLf, static_cast<int>(settings.answerTimeout.count())}) {}

std::string TClientSession::ClientId(const std::string& pRemoteHost, int pRemotePort) {
  return pRemoteHost + ":" + std::to_string(pRemotePort);
}

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

void TClientSession::Connect() {
  id = ClientId(RemoteHost, RemotePort);
  client = &host_.Connected(id);
}

void TClientSession::OnRead(ReadEvent event, const std::error_code& ec, const std::string& chunk) {
  const sessionstate::ReadStep step = sessionstate::ReadTransition(read_, event, BacklogFull());
  read_ = step.next;
  switch (step.action) {
    case ReadAction::None: return;
    case ReadAction::ConnectAndWait:
      Connect();
      WaitForData();
      return;
    case ReadAction::WaitForData: WaitForData(); return;
    case ReadAction::ReadNow: ReadAvailable(); return;
    case ReadAction::HandChunks: Read(chunk); return;
    case ReadAction::FinishWriting: OnWrite(WriteEvent::PeerClosed); return;
    case ReadAction::ReportError:
      host_.ConnectionFailed(id, ec);
      Close();
      return;
    case ReadAction::StartReplyTimer: StartReplyTimer(); return;
    case ReadAction::SendReply: SendReply(); return;
    case ReadAction::AskLis: AskLis(); return;
    case ReadAction::AnswerQuery: AnswerQuery(); return;
    case ReadAction::AskKeeper: AskKeeper(); return;
    case ReadAction::AnswerKept: AnswerKept(); return;
    case ReadAction::AnswerKeptAndFinish: AnswerKeptAndFinish(); return;
    case ReadAction::SendReplyAndFinish:
      replyTimer_.cancel();
      SendReply();
      OnWrite(WriteEvent::PeerClosed);
      return;
    case ReadAction::EndSilentTransfer: EndSilentTransfer(); return;
    case ReadAction::Close: Teardown(); return;
  }
}

void TClientSession::WaitForData() {
  // One wait is enough: a silent transfer's end may come back to reading
  // while the wait it interrupted is still outstanding.
  if (waiting_) return;
  waiting_ = true;
  socket_.async_wait(asio::ip::tcp::socket::wait_read, [self = shared_from_this()](const std::error_code& ec) {
    self->waiting_ = false;
    self->OnRead(ec ? ReadEvent::Failed : ReadEvent::Readable, ec);
  });
}

void TClientSession::ReadAvailable() {
  std::error_code ec;
  const size_t available = socket_.available(ec);
  std::string chunk(std::clamp<size_t>(available, 1, settings_.maxReadBytes), '\0');
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

void TClientSession::Read(const std::string& pChunk) {
  host_.Received(id, pChunk);
  if (!client) return;
  Receive(pChunk);
  if (client) host_.ReadHandled(*client);
}

void TClientSession::Receive(const std::string& pChunk) {
  for (TLinkReceiver::TEvent& e : link_.Feed(pChunk, client->inTransferPhase)) chunks_.push_back(std::move(e));
  if (CheckInputBound()) return;
  ProcessChunks();
}

void TClientSession::ProcessChunks() {
  while (read_ == ReadState::Handling) {
    if (OutsideWaits()) return;
    if (chunks_.empty()) break;
    const TLinkReceiver::TEvent event = std::move(chunks_.front());
    chunks_.pop_front();
    bool recordWorked = true;
    try {
      recordWorked = HandleChunk(event);
    } catch (const std::exception& e) {
      // The chunk counts as handled; the connection goes on with the next one.
      host_.ReportError(e.what());
    }
    if (recordWorked && !AfterRecordWork()) return;
  }
  OnRead(ReadEvent::ChunksDone);
}

bool TClientSession::HandleChunk(const TLinkReceiver::TEvent& event) {
  switch (event.kind) {
    case TLinkReceiver::TEvent::Ack:
      // The analyzer acknowledged the previous item: the next one goes at
      // once. During its own transfer an ACK of the analyzer's means nothing.
      if (!client->inTransferPhase) SendFromOutputBuffer();
      return false;
    case TLinkReceiver::TEvent::Nak:
      DriveSender({TLinkSender::TEvent::Nak});
      return false;
    case TLinkReceiver::TEvent::Eot:
      if (!DriveSender({TLinkSender::TEvent::Eot})) return false;  // it ended our transfer
      client->ReadMessage(event.bytes);
      return true;
    default:
      client->ReadEvent(event);
      return true;
  }
}

bool TClientSession::AfterRecordWork() {
  if (CheckInputBound()) return false;
  ArmReceiveTimer();
  DriveSender({TLinkSender::TEvent::Handled});
  // A reply already produced (an ACK^R01 before a query in the same read)
  // goes first; a query is asked when the reply has gone. During our own
  // transfer what is queued goes one item per ACK only, whatever else the
  // analyzer sends (an ACK followed by CR LF is an ACK and a text).
  if (!client->outputBuffer.empty() && !sender_.Sending()) {
    OnRead(ReadEvent::ReplyDue);
    return false;
  }
  return true;
}

bool TClientSession::OutsideWaits() {
  if (client->QueryPending()) {
    OnRead(ReadEvent::LisAsked);
    return true;
  }
  if (client->KeepPending()) {
    OnRead(ReadEvent::KeepAsked);
    return true;
  }
  return false;
}

void TClientSession::AskLis() {
  TLisQuery query;
  try {
    query = client->TakeLisQuery();
  } catch (const std::exception& e) {
    host_.ReportError(e.what());
  }
  // The answer is posted back to the loop; a connection closed meanwhile ignores it.
  host_.RunLisQuery(std::move(query), [self = shared_from_this()](TLisAnswer answer) {
    self->lisAnswer_ = std::move(answer);
    self->OnRead(ReadEvent::LisAnswered);
  });
}

void TClientSession::AnswerQuery() {
  try {
    client->AnswerQuery(std::move(lisAnswer_));
  } catch (const std::exception& e) {
    host_.ReportError(e.what());
  }
  lisAnswer_ = TLisAnswer{};
  if (AfterRecordWork()) ProcessChunks();
}

void TClientSession::AskKeeper() {
  TKeepRequest request;
  try {
    request = client->TakeKeep();
  } catch (const std::exception& e) {
    host_.ReportError(e.what());
  }
  // Posted back to the loop; a connection closed meanwhile ignores it (the message is kept all the same).
  host_.Keep(std::move(request), [self = shared_from_this()](TKept kept) {
    self->kept_ = std::move(kept);
    self->OnRead(ReadEvent::Kept);
  });
}

void TClientSession::AnswerKept() {
  try {
    client->AnswerKept(kept_);
  } catch (const std::exception& e) {
    host_.ReportError(e.what());
  }
  kept_ = TKept{};
  if (AfterRecordWork()) ProcessChunks();
}

void TClientSession::AnswerKeptAndFinish() {
  try {
    client->AnswerKept(kept_);
    handleReply();
  } catch (const std::exception& e) {
    host_.ReportError(e.what());
  }
  kept_ = TKept{};
  OnWrite(WriteEvent::PeerClosed);
}

void TClientSession::KeepWhatWaits() {
  // Only what was acknowledged already (ASTM frames, a JSON document): an HL7
  // message without its ACK^R01 is sent again by the analyzer. One already
  // handed to the keeper is kept whatever becomes of the connection.
  for (int guard = 0; guard < 1000 && client->KeepPending(); ++guard) {
    TKeepRequest request;
    try {
      request = client->TakeKeep();
    } catch (const std::logic_error&) {
      return;  // with the keeper already
    }
    if (request.whenSpoolFails != TWhenSpoolFails::KeepInMemory) return;
    host_.Keep(std::move(request), nullptr);
    client->AnswerKept(TKept{});
  }
}

void TClientSession::StartReplyTimer() {
  // The reply leaves replyPause after the read it answers, and as long after
  // the connection's previous reply: the handling (a LIS lookup included)
  // runs inside the pause instead of before it. This connection's next chunk
  // waits for the reply; the other connections go on meanwhile.
  const auto gap = std::max(settings_.replyPause, std::chrono::milliseconds(0));
  replyTimer_.expires_at(std::max(lastRead_, lastReply_) + gap);
  replyTimer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
    if (!ec) self->OnRead(ReadEvent::ReplyTimeUp);  // cancelled only by the close
  });
}

void TClientSession::SendReply() {
  lastReply_ = std::chrono::steady_clock::now();
  try {
    handleReply();
  } catch (const std::exception& e) {
    host_.ReportError(e.what());
  }
  ProcessChunks();
}

void TClientSession::EndSilentTransfer() {
  try {
    // A complete message found that way is handled as after its EOT (a query too).
    client->EndTransferWithoutEot("sem frame nem EOT por " + std::to_string(settings_.receiveTimeout.count()) + " s");
  } catch (const std::exception& e) {
    host_.ReportError(e.what());
  }
  if (AfterRecordWork()) ProcessChunks();
}

void TClientSession::ArmReceiveTimer() {
  // Re-arming cancels the wait before: each frame restarts the count.
  if (client->inTransferPhase && settings_.receiveTimeout.count() > 0) {
    receiveTimer_.expires_after(settings_.receiveTimeout);
    receiveTimer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
      if (!ec) self->OnRead(ReadEvent::TransferSilent);  // ignored once closed
    });
  } else {
    receiveTimer_.cancel();
  }
}

void TClientSession::ArmAnswerTimer(int seconds) {
  answerTimer_.expires_after(std::chrono::seconds(seconds));
  answerTimer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
    if (!ec && self->client && !self->Closed()) self->DriveSender({TLinkSender::TEvent::AnswerTimeUp});
  });
}

bool TClientSession::CheckInputBound() {
  size_t held = link_.PendingBytes();
  for (const TLinkReceiver::TEvent& e : chunks_) held += e.bytes.size();
  if (client) {
    // Each held line costs its bookkeeping too: a flood of bare line breaks
    // would otherwise take ~30 times the bound in memory before tripping it.
    held += client->InputBufferBytes() + client->inputBuffer.size() * sizeof(std::string);
  }
  if (held <= settings_.maxInputBytes) return false;
  host_.Log("Cliente " + id + " desconectado: " + std::to_string(held) + " bytes recebidos sem processar (limite de " +
            std::to_string(settings_.maxInputBytes / (1024 * 1024)) + " MiB)");
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
  if (client) {
    try {
      if (client->inTransferPhase) client->EndTransferWithoutEot("conex\xE3o encerrada");
      KeepWhatWaits();
    } catch (const std::exception& e) {
      host_.ReportError(e.what());
    }
  }
  socket_.shutdown(asio::socket_base::shutdown_both, ec);
  socket_.close(ec);
  if (TSocketClient* mine = std::exchange(client, nullptr)) host_.Disconnected(id, *mine);
}

bool TClientSession::BacklogFull() const { return writeQueuedBytes_ > settings_.maxWriteBacklog; }
