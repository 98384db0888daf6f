#include "service/TSessionStates.hpp"

namespace sessionstate {
namespace {
// One switch label per (state, event) pair keeps the tables flat.
constexpr int Key(ReadState s, ReadEvent e) { return static_cast<int>(s) * 64 + static_cast<int>(e); }
constexpr int Key(WriteState s, WriteEvent e) { return static_cast<int>(s) * 64 + static_cast<int>(e); }
}  // namespace

ReadStep ReadTransition(ReadState state, ReadEvent event, bool backlogFull) {
  using S = ReadState;
  using E = ReadEvent;
  using A = ReadAction;
  // Every way back to reading checks the backlog: a peer that does not read
  // its replies is not read either.
  const ReadStep readMore = backlogFull ? ReadStep{S::Held, A::None} : ReadStep{S::AwaitingData, A::WaitForData};
  switch (Key(state, event)) {
    // Nothing can be queued before the record exists, so no backlog check.
    case Key(S::Naming, E::Named): return {S::AwaitingData, A::ConnectAndWait};
    case Key(S::AwaitingData, E::Readable): return {S::AwaitingData, A::ReadNow};
    case Key(S::AwaitingData, E::NothingYet): return readMore;
    case Key(S::AwaitingData, E::DataArrived): return {S::Handling, A::HandChunks};
    case Key(S::AwaitingData, E::PeerFinished): return {S::PeerClosed, A::FinishWriting};
    case Key(S::AwaitingData, E::Failed): return {S::AwaitingData, A::ReportError};
    case Key(S::Handling, E::ReplyDue): return {S::ReplyPause, A::StartReplyTimer};
    case Key(S::Handling, E::ChunksDone): return readMore;
    case Key(S::ReplyPause, E::ReplyTimeUp): return {S::Handling, A::SendReply};
    case Key(S::Held, E::WriteFinished): return readMore;
    case Key(S::Handling, E::LisAsked): return {S::AwaitingLis, A::AskLis};
    case Key(S::AwaitingLis, E::LisAnswered): return {S::Handling, A::AnswerQuery};
    case Key(S::Handling, E::KeepAsked): return {S::AwaitingKept, A::AskKeeper};
    case Key(S::AwaitingKept, E::Kept): return {S::Handling, A::AnswerKept};
    // The analyzer's transfer fell silent while we waited for it: its end is
    // handled like a chunk (a wait for data may stay outstanding). In a reply
    // pause it waits: the reply restarts the silence's count.
    case Key(S::AwaitingData, E::TransferSilent):
    case Key(S::Held, E::TransferSilent): return {S::Handling, A::EndSilentTransfer};
    // The stop: what was answered goes out, nothing new is read or handled;
    // the write side closes once its queue is out (or the stop's time is up).
    case Key(S::Naming, E::Drain):
    case Key(S::AwaitingData, E::Drain):
    case Key(S::Handling, E::Drain):
    // (A query still waiting for the LIS gets no reply: its answer is ignored.)
    case Key(S::AwaitingLis, E::Drain):
    case Key(S::Held, E::Drain): return {S::Draining, A::FinishWriting};
    case Key(S::ReplyPause, E::Drain): return {S::Draining, A::SendReplyAndFinish};
    // A message being kept gets its reply before the end (without it the
    // analyzer would send, after the restart, a message that is archived already).
    case Key(S::AwaitingKept, E::Drain): return {S::DrainAfterKept, A::None};
    case Key(S::DrainAfterKept, E::Kept): return {S::Draining, A::AnswerKeptAndFinish};
    case Key(S::Naming, E::Stop):
    case Key(S::AwaitingData, E::Stop):
    case Key(S::Handling, E::Stop):
    case Key(S::ReplyPause, E::Stop):
    case Key(S::Held, E::Stop):
    case Key(S::AwaitingLis, E::Stop):
    case Key(S::AwaitingKept, E::Stop):
    case Key(S::DrainAfterKept, E::Stop):
    case Key(S::PeerClosed, E::Stop):
    case Key(S::Draining, E::Stop): return {S::Closed, A::Close};
    // Anything else (late completions after the close, a finished write
    // while reading is not held) changes nothing.
    default: return {state, A::None};
  }
}

WriteStep WriteTransition(WriteState state, WriteEvent event, bool queueEmpty) {
  using S = WriteState;
  using E = WriteEvent;
  using A = WriteAction;
  switch (Key(state, event)) {
    case Key(S::Idle, E::Queued): return {S::Sending, A::WriteFront};
    case Key(S::Idle, E::PeerClosed): return {S::Idle, A::Close};
    case Key(S::Sending, E::Written):
      return queueEmpty ? WriteStep{S::Idle, A::None} : WriteStep{S::Sending, A::WriteFront};
    case Key(S::Sending, E::PeerClosed): return {S::SendingThenClose, A::None};
    case Key(S::SendingThenClose, E::Written):
      return queueEmpty ? WriteStep{S::SendingThenClose, A::Close} : WriteStep{S::SendingThenClose, A::WriteFront};
    case Key(S::Sending, E::Failed):
    case Key(S::SendingThenClose, E::Failed): return {state, A::ReportError};
    case Key(S::Closed, E::Queued): return {S::Closed, A::Discard};
    case Key(S::Idle, E::Stop):
    case Key(S::Sending, E::Stop):
    case Key(S::SendingThenClose, E::Stop): return {S::Closed, A::None};
    // Text queued while a write runs waits its turn in the queue; late
    // completions after the close change nothing.
    default: return {state, A::None};
  }
}

std::string Name(ReadState s) {
  switch (s) {
    case ReadState::Naming: return "Naming";
    case ReadState::AwaitingData: return "AwaitingData";
    case ReadState::Handling: return "Handling";
    case ReadState::ReplyPause: return "ReplyPause";
    case ReadState::AwaitingLis: return "AwaitingLis";
    case ReadState::AwaitingKept: return "AwaitingKept";
    case ReadState::DrainAfterKept: return "DrainAfterKept";
    case ReadState::Held: return "Held";
    case ReadState::PeerClosed: return "PeerClosed";
    case ReadState::Draining: return "Draining";
    case ReadState::Closed: return "Closed";
  }
  return "?";
}

std::string Name(ReadEvent e) {
  switch (e) {
    case ReadEvent::Named: return "Named";
    case ReadEvent::Readable: return "Readable";
    case ReadEvent::NothingYet: return "NothingYet";
    case ReadEvent::DataArrived: return "DataArrived";
    case ReadEvent::PeerFinished: return "PeerFinished";
    case ReadEvent::Failed: return "Failed";
    case ReadEvent::ReplyDue: return "ReplyDue";
    case ReadEvent::ChunksDone: return "ChunksDone";
    case ReadEvent::ReplyTimeUp: return "ReplyTimeUp";
    case ReadEvent::WriteFinished: return "WriteFinished";
    case ReadEvent::LisAsked: return "LisAsked";
    case ReadEvent::LisAnswered: return "LisAnswered";
    case ReadEvent::KeepAsked: return "KeepAsked";
    case ReadEvent::Kept: return "Kept";
    case ReadEvent::TransferSilent: return "TransferSilent";
    case ReadEvent::Drain: return "Drain";
    case ReadEvent::Stop: return "Stop";
  }
  return "?";
}

std::string Name(ReadAction a) {
  switch (a) {
    case ReadAction::None: return "None";
    case ReadAction::ConnectAndWait: return "ConnectAndWait";
    case ReadAction::WaitForData: return "WaitForData";
    case ReadAction::ReadNow: return "ReadNow";
    case ReadAction::HandChunks: return "HandChunks";
    case ReadAction::FinishWriting: return "FinishWriting";
    case ReadAction::ReportError: return "ReportError";
    case ReadAction::StartReplyTimer: return "StartReplyTimer";
    case ReadAction::SendReply: return "SendReply";
    case ReadAction::AskLis: return "AskLis";
    case ReadAction::AnswerQuery: return "AnswerQuery";
    case ReadAction::AskKeeper: return "AskKeeper";
    case ReadAction::AnswerKept: return "AnswerKept";
    case ReadAction::AnswerKeptAndFinish: return "AnswerKeptAndFinish";
    case ReadAction::SendReplyAndFinish: return "SendReplyAndFinish";
    case ReadAction::EndSilentTransfer: return "EndSilentTransfer";
    case ReadAction::Close: return "Close";
  }
  return "?";
}

std::string Name(WriteState s) {
  switch (s) {
    case WriteState::Idle: return "Idle";
    case WriteState::Sending: return "Sending";
    case WriteState::SendingThenClose: return "SendingThenClose";
    case WriteState::Closed: return "Closed";
  }
  return "?";
}

std::string Name(WriteEvent e) {
  switch (e) {
    case WriteEvent::Queued: return "Queued";
    case WriteEvent::Written: return "Written";
    case WriteEvent::PeerClosed: return "PeerClosed";
    case WriteEvent::Failed: return "Failed";
    case WriteEvent::Stop: return "Stop";
  }
  return "?";
}

std::string Name(WriteAction a) {
  switch (a) {
    case WriteAction::None: return "None";
    case WriteAction::Discard: return "Discard";
    case WriteAction::WriteFront: return "WriteFront";
    case WriteAction::Close: return "Close";
    case WriteAction::ReportError: return "ReportError";
  }
  return "?";
}

}  // namespace sessionstate
