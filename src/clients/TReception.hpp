#pragma once
#include <cstdint>
#include <string>

#include "clients/TAstmHandler.hpp"
#include "clients/TBlocks.hpp"
#include "clients/THl7Handler.hpp"
#include "clients/TIdentification.hpp"
#include "clients/TJsonHandler.hpp"
#include "clients/TQueryFlow.hpp"
#include "clients/TReceptionStates.hpp"
#include "lis/TLisQuery.hpp"
#include "protocol/TLinkReceiver.hpp"

// The answer a reception's outside wait gets: the LIS's, or the disk's.
struct TOutsideAnswer {
  TLisAnswer* lis = nullptr;
  const TKept* kept = nullptr;
};

// Reception and dispatch: the ASTM handshake, the cutting of received chunks
// into the input buffer's lines, the hand-over to the protocol handler, and
// the run that goes on after a host query's answer or a message's keeping. Its state (one field,
// changed only by Handle through ReceptionTransition) is the connection's one
// record of "in transfer".
class TReception {
 public:
  TReception(TClientFields& fields, TBlocks& blocks, TIdentification& identification, TQueryFlow& queries,
             TArchiveHandOver& archive, TAstmHandler& astm, THl7Handler& hl7, TJsonHandler& json, TClientPorts& ports)
      : fields_(fields),
        blocks_(blocks),
        identification_(identification),
        queries_(queries),
        archive_(archive),
        astm_(astm),
        hl7_(hl7),
        json_(json),
        ports_(ports) {}

  // Handles one received chunk: a lone ENQ or EOT, or text.
  void ReadMessage(const std::string& msg);
  // A whole E1381 frame received during a transfer: refused with NAK when its
  // checksum does not match (unless verificarChecksum is off), acknowledged
  // without storing it again when it repeats the previous frame (our ACK was
  // lost), otherwise handled as a chunk (stored and acknowledged).
  void ReadFrame(const TLinkReceiver::TEvent& frame);
  // Hands one link event on: a frame to ReadFrame, text, ENQ and EOT to
  // ReadMessage (ACK and NAK belong to the sending side).
  void ReadEvent(const TLinkReceiver::TEvent& event);
  // The transfer ended without EOT (the analyzer fell silent, or the
  // connection closed): a message whose terminator record arrived is
  // handled as at EOT; anything else is dropped and logged whole.
  void EndTransferWithoutEot(const std::string& motivo);
  // Appends a chunk to the input buffer as lines and keeps the VT/FS flag.
  void AddInputBuffer(const std::string& msg);
  // Runs the handler of the client's protocol; its result text.
  std::string ProcessBuffer();
  int32_t GetProtocolInBuffer() { return identification_.GetProtocolInBuffer(LastLineMayGrow()); }
  bool BufferPossuiBlocoCompleto() { return blocks_.BufferPossuiBlocoCompleto(LastLineMayGrow()); }

  // --- what waits outside: a host query for the LIS, a result message for
  // the disk (the connection layer asks for it; one at a time)
  bool QueryPending() const;
  // What the waiting query asks the LIS (handed over once; std::logic_error otherwise).
  TLisQuery TakeLisQuery();
  // Replies to the waiting query with the LIS's answer, then goes on with
  // what the query interrupted: the rest of the input buffer, the end of the transfer.
  void AnswerQuery(TLisAnswer answer);
  bool KeepPending() const;
  // The waiting message for the disk (handed over once; std::logic_error otherwise).
  TKeepRequest TakeKeep();
  // Acts on the disk's answer (an HL7 message's ACK^R01, or the line that it
  // was not saved), then goes on as after a query's answer.
  void AnswerKept(const TKept& kept);

  // Between the client's ENQ and its EOT (or the silence that ends it).
  bool InTransfer() const { return state_ == TReceptionState::Transfer; }
  TReceptionState State() const { return state_; }

 private:
  // The one place the state changes: the table's step, then its action. text
  // is the chunk of a chunk's event or the reason of a silence.
  void Handle(TReceptionEvent event, const std::string& text = {}, TOutsideAnswer answer = {});
  // Runs the handler of the client's protocol (resuming: after a query's answer).
  std::string Dispatch(bool resuming);
  // Runs the handler, then tells the table how the run ended.
  void Run(bool resuming);
  void StartTransfer();
  void DropIncomplete(const std::string& motivo);
  void FinishAndResume(TOutsideAnswer answer);
  // Something waits outside (a query, or a message for the disk).
  bool OutsideWaits() const { return queries_.Waiting() || archive_.Waiting(); }
  // True when the next chunk may still be glued onto the input buffer's last line.
  bool LastLineMayGrow() const;

  TClientFields& fields_;
  TBlocks& blocks_;
  TIdentification& identification_;
  TQueryFlow& queries_;
  TArchiveHandOver& archive_;
  TAstmHandler& astm_;
  THl7Handler& hl7_;
  TJsonHandler& json_;
  TClientPorts& ports_;

  TReceptionState state_ = TReceptionState::Idle;
  // Whether the previous chunk ended exactly at a line break (continuation join).
  bool lastChunkEndedAtBreak_ = true;
  // Whether the previous chunk ended with CR (its LF may open the next chunk).
  bool lastChunkEndedWithCR_ = false;
  // The last frame stored in this transfer, and the number the next one should carry.
  std::string lastFrame_;
  char nextFrameNumber_ = '1';
};
