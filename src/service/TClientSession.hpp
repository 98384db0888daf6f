#pragma once
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>

#include "links/TLinkStream.hpp"
#include "lis/TLisQuery.hpp"
#include "protocol/TLinkReceiver.hpp"
#include "protocol/TLinkSender.hpp"
#include "service/TSessionHost.hpp"
#include "service/TSessionStates.hpp"

class TSocketClient;

// What a session is told when it is made; the composition root fills it from
// the configuration and its own bounds.
struct TSessionSettings {
  std::chrono::milliseconds replyPause;  // a reply leaves this long after the read it answers
  std::chrono::seconds receiveTimeout;   // the analyzer's transfer may fall silent this long; 0: no limit
  std::chrono::seconds answerTimeout;    // the analyzer may take this long to answer our item; 0: no limit
  bool controlWithoutCrLf;               // lone control characters go as one byte
  bool debug;                            // every item sent one per ACK is logged
  size_t maxInputBytes;                  // unprocessed input above which the client is disconnected
  size_t maxReadBytes;                   // largest single read handed to reception
  size_t maxWriteBacklog;                // queued output above which the connection is not read
};

// One accepted connection or opened link: its bytes (TLinkStream), its read and write state machines
// (TSessionStates.hpp), the E1381 link's two sides (TLinkReceiver,
// TLinkSender) and the sending of its replies. It reads, hands what it read to
// its own record (`client`, never looked up by id), waits for the LIS and
// sends by itself; of the service it knows only its TSessionHost.
//
// Lifetime: the session is shared by the handlers of its outstanding
// operations (look-up, wait, write, reply pause; every state but Closed has
// one), so it lives exactly as long as something can still happen to it. The
// listener keeps only weak references, so that the stop can drain them.
class TClientSession : public std::enable_shared_from_this<TClientSession> {
 public:
  TClientSession(TSessionHost& host, const TSessionSettings& settings, std::unique_ptr<TLinkStream> stream);
  // An accepted connection: names the peer on the given helper pool, then connects and reads.
  void Start(asio::thread_pool& lookups, const asio::ip::tcp::endpoint& peer);
  // A link the service opened: its name is the client id ("serial:/dev/ttyUSB0",
  // "host:porta"); connects at once and reads.
  void StartLink(const std::string& name);
  // Closes the connection once: stops the timers, closes the link and, when
  // it has a record, tells the host it disconnected (and how it ended).
  void Close();
  // The service stops: reads nothing more, sends the reply of a running pause
  // at once, and closes once everything queued is written.
  void Drain();
  bool Closed() const { return read_ == sessionstate::ReadState::Closed; }

  // The client id: host name ":" port.
  static std::string ClientId(const std::string& pRemoteHost, int pRemotePort);

  // --- the connection's events (the service object's entry points forward here)
  // Forms the id and has the host make the record.
  void Connect();
  // Logs a read and hands its link events to reception.
  void Read(const std::string& pChunk);

  // --- sending (TClientSessionSend.cpp)
  // The first queued item (one per ACK), or a bare EOT when none is left.
  void SendFromOutputBuffer();
  // What reception queued, in the client's mode (the pause already ran).
  void handleReply();
  // Every queued item at once, in the analyzer's framing.
  void SendMessageByBlock();

  std::string RemoteHost;           // reverse-looked-up host name ("" when unknown)
  int RemotePort = 0;               // peer's port
  std::string id;                   // client id, formed once when the look-up ended
  TSocketClient* client = nullptr;  // its record (owned by the host's client list)

 private:
  using ReadEvent = sessionstate::ReadEvent;
  using WriteEvent = sessionstate::WriteEvent;

  // The one place each direction changes state; the actions follow.
  void OnRead(ReadEvent event, const std::error_code& ec = {}, const std::string& chunk = {});
  void OnWrite(WriteEvent event, const std::error_code& ec = {});
  void Named(std::string host);
  // Makes sure one read is outstanding, or hands on what one brought while
  // the read side was busy.
  void WaitForData();
  // Reports what the last read brought (bytes, the end, or an error).
  void DeliverRead();
  // Feeds a read to the link receiver and goes on with its events.
  void Receive(const std::string& pChunk);
  // Hands queued link events on one by one, until a reply is due, a query
  // waits for the LIS, or none is left.
  void ProcessChunks();
  // One link event: ACK and NAK to the sender, the rest to reception. True
  // when reception took it (what the record left must then be looked at).
  bool HandleChunk(const TLinkReceiver::TEvent& event);
  // After the record worked (a chunk, the LIS's answer, a silent transfer's
  // end): false when the read side moved on (closed over the input bound, or
  // a reply is due); true when the next chunk may follow.
  bool AfterRecordWork();
  // The one place that asks the record what waits outside it: true when a
  // query waits for the LIS or a message for the disk (and the read side went to ask).
  bool OutsideWaits();
  // Hands the record's pending query to the LIS workers; the answer comes back on the loop.
  void AskLis();
  // Gives the record the LIS's answer and goes on with the queued chunks.
  void AnswerQuery();
  // Hands the record's waiting message to the disk's keeper; its outcome comes back on the loop.
  void AskKeeper();
  // Gives the record the disk's outcome and goes on with the queued chunks.
  void AnswerKept();
  // At the stop: gives the record the outcome and sends what it queued at once.
  void AnswerKeptAndFinish();
  // A closing connection's messages that its record still holds (an ASTM
  // transfer ended by the close) go to the keeper all the same.
  void KeepWhatWaits();
  void StartReplyTimer();
  void SendReply();
  // The analyzer's transfer fell silent: the record ends it without EOT.
  void EndSilentTransfer();
  // During the analyzer's transfer, how long we wait for its next frame or EOT.
  void ArmReceiveTimer();
  void ArmAnswerTimer(int seconds);
  // Feeds the sender and carries out its actions; true when the event is the
  // analyzer's own, for reception.
  bool DriveSender(const protocol::TLinkSender::TEvent& event);
  // Disconnects a client over the input bound; true when it did.
  bool CheckInputBound();
  // Stops the timers, closes the socket and releases the record.
  void Teardown();
  // Queues text for the connection; writes keep their order and complete.
  void SendText(std::string text);
  void WriteFront();
  void WriteDone(const std::error_code& ec);
  // The queued output is over maxWriteBacklog.
  bool BacklogFull() const;

  TSessionHost& host_;
  const TSessionSettings settings_;
  std::unique_ptr<TLinkStream> stream_;
  std::string linkName_;               // a link's name, which is its id ("" for an accepted connection)
  bool reading_ = false;               // a read is outstanding
  std::unique_ptr<char[]> readBuffer_;  // what the outstanding read fills (maxReadBytes), only while it is outstanding
  // What a read brought while the read side was elsewhere (a silent
  // transfer's end, a LIS query): handed on when it reads again.
  struct TReadResult {
    std::error_code ec;
    std::string chunk;
  };
  std::optional<TReadResult> readResult_;
  std::error_code endedBy_;            // what ended the connection (eof, a socket or device error; none: the service)
  asio::steady_timer replyTimer_;      // the pause before a reply
  std::chrono::steady_clock::time_point lastRead_{};   // when the read being handled arrived
  std::chrono::steady_clock::time_point lastReply_{};  // when the last reply went out
  asio::steady_timer receiveTimer_;    // the analyzer's transfer falls silent
  asio::steady_timer answerTimer_;     // the analyzer does not answer our item
  TLinkReceiver link_;                 // link events and frames, however the reads cut them
  protocol::TLinkSender sender_;       // our transfer of a reply: items per ACK, NAK, EOT, deadline
  std::deque<TLinkReceiver::TEvent> chunks_;  // received events not yet handed to reception
  TLisAnswer lisAnswer_;               // the LIS's answer, from its arrival until the record takes it
  TKept kept_;                         // the disk's outcome, likewise
  std::deque<std::string> writeQueue_; // texts being sent, in order
  size_t writeQueuedBytes_ = 0;        // bytes in writeQueue_
  sessionstate::ReadState read_ = sessionstate::ReadState::Naming;
  sessionstate::WriteState write_ = sessionstate::WriteState::Idle;
};
