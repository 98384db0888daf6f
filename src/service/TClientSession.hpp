#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <system_error>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>

#include "lis/TLisQuery.hpp"
#include "protocol/TLinkReceiver.hpp"
#include "service/TSessionStates.hpp"

class TKVRedurozozi;
class TSocketClient;

// One accepted connection: its socket, its read and write state machines
// (TSessionStates.hpp) and the sending of its replies. Every event of the
// connection reaches its own record through `client`, never through a look-up
// by id.
//
// Lifetime: the session is shared by the handlers of its outstanding
// operations (look-up, wait, write, reply pause; every state but Closed has
// one), so it lives exactly as long as something can still happen to it. The
// listener keeps only weak references, so that the stop can drain them.
class TClientSession : public std::enable_shared_from_this<TClientSession> {
 public:
  TClientSession(TKVRedurozozi& owner, asio::ip::tcp::socket pSocket);
  // Names the peer on the owner's helper pool, then connects and reads.
  void Start(asio::thread_pool& lookups);
  // Closes the connection once: stops the pause, closes the socket and, when
  // it has a record, raises the listener's disconnect event.
  void Close();
  // The service stops: reads nothing more, sends the reply of a running pause
  // at once, and closes once everything queued is written.
  void Drain();
  bool Closed() const { return read_ == sessionstate::ReadState::Closed; }

  // Hands a logged read's chunks to reception.
  void Receive(const std::string& pChunk);
  // Disconnects a client over the input bound; true when it did.
  bool CheckInputBound();

  // --- sending (TClientSessionSend.cpp)
  void SendFromOutputBuffer(TSocketClient& client);
  void handleReply(TSocketClient& pClient);
  void SendMessageByBlock(TSocketClient& pClient);
  // Queues text for the connection; writes keep their order and complete.
  void SendText(std::string text);
  // The analyzer refused our last item (NAK): it goes again, six times in all,
  // then the transfer ends with EOT.
  void ResendAfterNak(TSocketClient& client);
  // The analyzer sent EOT while we were sending: our transfer ends with EOT.
  void StopReplyAfterEot(TSocketClient& client);
  // Ends our transfer with EOT (after six NAKs, the analyzer's EOT, or its silence).
  void EndReply(TSocketClient& client);

  std::string RemoteHost;           // reverse-looked-up host name ("" when unknown)
  int RemotePort = 0;               // peer's port
  std::string id;                   // client id, formed once when the look-up ended
  TSocketClient* client = nullptr;  // its record in global->clients (owned by the list)

 private:
  using ReadEvent = sessionstate::ReadEvent;
  using WriteEvent = sessionstate::WriteEvent;

  // The one place each direction changes state; the actions follow.
  void OnRead(ReadEvent event, const std::error_code& ec = {}, const std::string& chunk = {});
  void OnWrite(WriteEvent event, const std::error_code& ec = {});
  void Named(std::string host);
  void WaitForData();
  // Reads what is there, up to MAX_READ_BYTES, and reports how it went.
  void ReadAvailable();
  // Hands queued chunks to reception, pausing before each reply and waiting
  // for the LIS while a host query needs it.
  void ProcessChunks();
  // After the record handled something: true when the next chunk may follow
  // now (not closed, no query waiting for the LIS, no reply due).
  bool ReadyForNextChunk();
  // Hands the record's pending query to the LIS workers; the answer comes back on the loop.
  void AskLis();
  // Gives the record the LIS's answer and goes on with the queued chunks.
  void AnswerQuery();
  void StartReplyTimer();
  // The E1381 timers: during the analyzer's transfer, how long we wait for
  // its next frame or EOT; during ours, how long for its answer to an item.
  void ArmLinkTimers();
  void ReceiveTimedOut();
  void AnswerTimedOut();
  void SendReply();
  // Stops the pause, closes the socket and releases the record.
  void Teardown();
  void WriteFront();
  void WriteDone(const std::error_code& ec);
  // The queued output is over MAX_WRITE_BACKLOG.
  bool BacklogFull() const;

  TKVRedurozozi& owner_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer replyTimer_;      // the pause before a reply
  std::chrono::steady_clock::time_point lastRead_{};   // when the read being handled arrived
  std::chrono::steady_clock::time_point lastReply_{};  // when the last reply went out
  asio::steady_timer receiveTimer_;    // the analyzer's transfer falls silent
  asio::steady_timer answerTimer_;     // the analyzer does not answer our item
  TLinkReceiver link_;                 // link events and frames, however the reads cut them
  std::deque<TLinkReceiver::TEvent> chunks_;  // received events not yet handed to reception
  TLisAnswer lisAnswer_;               // the LIS's answer, from its arrival until the record takes it
  // Our own transfer of a reply (from the ENQ we sent to our EOT): the last
  // item on the wire and how often it went, for a NAK.
  bool sendingReply_ = false;
  std::string lastSent_;
  int sends_ = 0;
  std::deque<std::string> writeQueue_; // texts being sent, in order
  size_t writeQueuedBytes_ = 0;        // bytes in writeQueue_
  sessionstate::ReadState read_ = sessionstate::ReadState::Naming;
  sessionstate::WriteState write_ = sessionstate::WriteState::Idle;
};
