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

TClientSession::TClientSession(TSessionHost& host, const TSessionSettings& settings,
                               std::unique_ptr<TLinkStream> stream)
    : host_(host),
      settings_(settings),
      stream_(std::move(stream)),
      replyTimer_(stream_->executor()),
      receiveTimer_(stream_->executor()),
      answerTimer_(stream_->executor()),
      sender_({settings.controlWithoutCrLf, static_cast<int>(settings.answerTimeout.count())}) {}

std::string TClientSession::ClientId(const std::string& pRemoteHost, int pRemotePort) {
  return pRemoteHost + ":" + std::to_string(pRemotePort);
}

void TClientSession::Start(asio::thread_pool& lookups, const asio::ip::tcp::endpoint& peer) {
  RemotePort = peer.port();
  // A slow name server must not hold up the other connections: the look-up
  // runs on a helper thread and the connect event follows on the loop. The
  // reference moves along, so the helper thread never drops the last one.
  asio::post(lookups, [self = shared_from_this(), peer, loop = stream_->executor()]() mutable {
    std::string host = ReverseLookup(peer);
    asio::post(loop, [self = std::move(self), host = std::move(host)]() mutable { self->Named(std::move(host)); });
  });
}

void TClientSession::StartLink(const std::string& name) {
  linkName_ = name;
  OnRead(ReadEvent::Named);
}

void TClientSession::Named(std::string host) {
  RemoteHost = std::move(host);
  OnRead(ReadEvent::Named);
}

void TClientSession::Connect() {
  id = linkName_.empty() ? ClientId(RemoteHost, RemotePort) : linkName_;
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
    case ReadAction::ReadNow: DeliverRead(); return;
    case ReadAction::HandChunks: Read(chunk); return;
    case ReadAction::FinishWriting: OnWrite(WriteEvent::PeerClosed); return;
    case ReadAction::ReportError:
      endedBy_ = ec;
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
  // One read is enough: a silent transfer's end may come back to reading
  // while the read it interrupted is still outstanding.
  if (reading_) return;
  if (readResult_) {
    // A read finished while the read side was elsewhere: its bytes go on now.
    asio::post(stream_->executor(), [self = shared_from_this()] { self->OnRead(ReadEvent::Readable); });
    return;
  }
  reading_ = true;
  // Left uninitialised and given back after each read: a block this size is
  // mapped fresh by the allocator, so the pages of an idle connection's read
  // cost nothing until bytes arrive (a thousand idle analyzers stay small).
  readBuffer_.reset(new char[settings_.maxReadBytes]);
  stream_->AsyncReadSome(asio::buffer(readBuffer_.get(), settings_.maxReadBytes),
                         [self = shared_from_this()](const std::error_code& ec, size_t n) {
    self->reading_ = false;
    if (ec == asio::error::operation_aborted) return;  // closed
    self->readResult_ = TReadResult{ec, std::string(self->readBuffer_.get(), n)};
    self->readBuffer_.reset();
    self->lastRead_ = std::chrono::steady_clock::now();
    self->OnRead(ReadEvent::Readable);  // ignored unless the read side waits for data
  });
}

void TClientSession::DeliverRead() {
  if (!readResult_) {
    OnRead(ReadEvent::NothingYet);
    return;
  }
  TReadResult result = std::move(*readResult_);
  readResult_.reset();
  if (result.ec == asio::error::eof) {
    endedBy_ = result.ec;
    OnRead(ReadEvent::PeerFinished);
  } else if (result.ec) {
    OnRead(ReadEvent::Failed, result.ec);
  } else {
    OnRead(ReadEvent::DataArrived, {}, result.chunk);
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
  stream_->Close();
  if (TSocketClient* mine = std::exchange(client, nullptr)) host_.Disconnected(id, *mine, endedBy_);
}

bool TClientSession::BacklogFull() const { return writeQueuedBytes_ > settings_.maxWriteBacklog; }
