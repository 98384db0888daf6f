// The connection's read and write state machines, one row per transition.
#include <gtest/gtest.h>

#include <vector>

#include "service/TSessionStates.hpp"

using namespace sessionstate;

namespace {

struct ReadRow {
  ReadState state;
  ReadEvent event;
  bool backlogFull;
  ReadState next;
  ReadAction action;
};

struct WriteRow {
  WriteState state;
  WriteEvent event;
  bool queueEmpty;
  WriteState next;
  WriteAction action;
};

using RS = ReadState;
using RE = ReadEvent;
using RA = ReadAction;
using WS = WriteState;
using WE = WriteEvent;
using WA = WriteAction;

const std::vector<ReadRow> kReadRows = {
    // The look-up ended: record, log, read.
    {RS::Naming, RE::Named, false, RS::AwaitingData, RA::ConnectAndWait},
    {RS::AwaitingData, RE::Readable, false, RS::AwaitingData, RA::ReadNow},
    {RS::AwaitingData, RE::NothingYet, false, RS::AwaitingData, RA::WaitForData},
    {RS::AwaitingData, RE::NothingYet, true, RS::Held, RA::None},
    {RS::AwaitingData, RE::DataArrived, false, RS::Handling, RA::HandChunks},
    {RS::AwaitingData, RE::DataArrived, true, RS::Handling, RA::HandChunks},
    {RS::AwaitingData, RE::PeerFinished, false, RS::PeerClosed, RA::FinishWriting},
    {RS::AwaitingData, RE::Failed, false, RS::AwaitingData, RA::ReportError},
    {RS::Handling, RE::ReplyDue, false, RS::ReplyPause, RA::StartReplyTimer},
    {RS::Handling, RE::ChunksDone, false, RS::AwaitingData, RA::WaitForData},
    {RS::Handling, RE::ChunksDone, true, RS::Held, RA::None},
    {RS::ReplyPause, RE::ReplyTimeUp, false, RS::Handling, RA::SendReply},
    {RS::Held, RE::WriteFinished, false, RS::AwaitingData, RA::WaitForData},
    {RS::Held, RE::WriteFinished, true, RS::Held, RA::None},
    // A host query waits for the LIS; the chunks behind it wait with it.
    {RS::Handling, RE::LisAsked, false, RS::AwaitingLis, RA::AskLis},
    {RS::ReplyPause, RE::LisAsked, false, RS::ReplyPause, RA::None},  // the chunk loop asks after the reply
    {RS::AwaitingLis, RE::LisAnswered, false, RS::Handling, RA::AnswerQuery},
    {RS::AwaitingLis, RE::LisAnswered, true, RS::Handling, RA::AnswerQuery},
    {RS::AwaitingLis, RE::Readable, false, RS::AwaitingLis, RA::None},
    {RS::AwaitingLis, RE::WriteFinished, true, RS::AwaitingLis, RA::None},
    {RS::AwaitingLis, RE::ReplyTimeUp, false, RS::AwaitingLis, RA::None},
    {RS::Closed, RE::LisAnswered, false, RS::Closed, RA::None},
    // The analyzer's transfer falls silent: its end is handled like a chunk
    // (whatever it leaves, a reply or a query, takes the usual rows), except
    // during a reply pause (the reply restarts the count) or the LIS's answer.
    {RS::AwaitingData, RE::TransferSilent, false, RS::Handling, RA::EndSilentTransfer},
    {RS::Held, RE::TransferSilent, true, RS::Handling, RA::EndSilentTransfer},
    {RS::ReplyPause, RE::TransferSilent, false, RS::ReplyPause, RA::None},
    {RS::AwaitingLis, RE::TransferSilent, false, RS::AwaitingLis, RA::None},
    // A result message being kept on disk: the connection waits as for the LIS.
    {RS::Handling, RE::KeepAsked, false, RS::AwaitingKept, RA::AskKeeper},
    {RS::AwaitingKept, RE::Kept, false, RS::Handling, RA::AnswerKept},
    {RS::AwaitingKept, RE::Kept, true, RS::Handling, RA::AnswerKept},
    {RS::AwaitingKept, RE::Readable, false, RS::AwaitingKept, RA::None},
    {RS::AwaitingKept, RE::TransferSilent, false, RS::AwaitingKept, RA::None},
    {RS::AwaitingKept, RE::LisAnswered, false, RS::AwaitingKept, RA::None},
    {RS::AwaitingLis, RE::Kept, false, RS::AwaitingLis, RA::None},
    {RS::Draining, RE::TransferSilent, false, RS::Draining, RA::None},
    {RS::PeerClosed, RE::TransferSilent, false, RS::PeerClosed, RA::None},
    {RS::Closed, RE::TransferSilent, false, RS::Closed, RA::None},
    // The service stops: reading ends, a running pause is cut short and its
    // reply sent, and the write side closes once its queue is out.
    {RS::Naming, RE::Drain, false, RS::Draining, RA::FinishWriting},
    {RS::AwaitingData, RE::Drain, false, RS::Draining, RA::FinishWriting},
    {RS::Handling, RE::Drain, false, RS::Draining, RA::FinishWriting},
    {RS::Held, RE::Drain, true, RS::Draining, RA::FinishWriting},
    {RS::ReplyPause, RE::Drain, false, RS::Draining, RA::SendReplyAndFinish},
    {RS::AwaitingLis, RE::Drain, false, RS::Draining, RA::FinishWriting},
    // The stop while a message is kept: its reply still goes out, then the end.
    {RS::AwaitingKept, RE::Drain, false, RS::DrainAfterKept, RA::None},
    {RS::DrainAfterKept, RE::Kept, false, RS::Draining, RA::AnswerKeptAndFinish},
    {RS::DrainAfterKept, RE::Drain, false, RS::DrainAfterKept, RA::None},
    {RS::Draining, RE::KeepAsked, false, RS::Draining, RA::None},
    {RS::Draining, RE::LisAnswered, false, RS::Draining, RA::None},
    {RS::PeerClosed, RE::Drain, false, RS::PeerClosed, RA::None},
    {RS::Closed, RE::Drain, false, RS::Closed, RA::None},
    // Draining reads and handles nothing; late completions change nothing.
    {RS::Draining, RE::Readable, false, RS::Draining, RA::None},
    {RS::Draining, RE::Failed, false, RS::Draining, RA::None},
    {RS::Draining, RE::Named, false, RS::Draining, RA::None},
    {RS::Draining, RE::ReplyTimeUp, false, RS::Draining, RA::None},
    {RS::Draining, RE::ChunksDone, false, RS::Draining, RA::None},
    {RS::Draining, RE::ReplyDue, false, RS::Draining, RA::None},
    {RS::Draining, RE::WriteFinished, true, RS::Draining, RA::None},
    {RS::Draining, RE::Drain, false, RS::Draining, RA::None},
    // Every open state closes on Stop, with the teardown.
    {RS::Naming, RE::Stop, false, RS::Closed, RA::Close},
    {RS::AwaitingData, RE::Stop, false, RS::Closed, RA::Close},
    {RS::Handling, RE::Stop, false, RS::Closed, RA::Close},
    {RS::ReplyPause, RE::Stop, false, RS::Closed, RA::Close},
    {RS::Held, RE::Stop, true, RS::Closed, RA::Close},
    {RS::AwaitingLis, RE::Stop, false, RS::Closed, RA::Close},
    {RS::AwaitingKept, RE::Stop, false, RS::Closed, RA::Close},
    {RS::DrainAfterKept, RE::Stop, false, RS::Closed, RA::Close},
    {RS::PeerClosed, RE::Stop, false, RS::Closed, RA::Close},
    {RS::Draining, RE::Stop, false, RS::Closed, RA::Close},
    // Ignored: a second close, late completions after the close, a finished
    // write while reading is not held, reading again after the peer's end.
    {RS::Closed, RE::Stop, false, RS::Closed, RA::None},
    {RS::Closed, RE::Named, false, RS::Closed, RA::None},
    {RS::Closed, RE::Readable, false, RS::Closed, RA::None},
    {RS::Closed, RE::Failed, false, RS::Closed, RA::None},
    {RS::Closed, RE::ReplyTimeUp, false, RS::Closed, RA::None},
    {RS::Closed, RE::ChunksDone, false, RS::Closed, RA::None},
    {RS::Closed, RE::WriteFinished, false, RS::Closed, RA::None},
    {RS::AwaitingData, RE::WriteFinished, false, RS::AwaitingData, RA::None},
    {RS::ReplyPause, RE::WriteFinished, false, RS::ReplyPause, RA::None},
    {RS::PeerClosed, RE::WriteFinished, false, RS::PeerClosed, RA::None},
    {RS::ReplyPause, RE::ChunksDone, false, RS::ReplyPause, RA::None},
};

const std::vector<WriteRow> kWriteRows = {
    {WS::Idle, WE::Queued, false, WS::Sending, WA::WriteFront},
    {WS::Idle, WE::PeerClosed, true, WS::Idle, WA::Close},
    {WS::Sending, WE::Queued, false, WS::Sending, WA::None},
    {WS::Sending, WE::Written, false, WS::Sending, WA::WriteFront},
    {WS::Sending, WE::Written, true, WS::Idle, WA::None},
    {WS::Sending, WE::PeerClosed, false, WS::SendingThenClose, WA::None},
    {WS::Sending, WE::Failed, false, WS::Sending, WA::ReportError},
    {WS::SendingThenClose, WE::Queued, false, WS::SendingThenClose, WA::None},
    {WS::SendingThenClose, WE::Written, false, WS::SendingThenClose, WA::WriteFront},
    {WS::SendingThenClose, WE::Written, true, WS::SendingThenClose, WA::Close},
    {WS::SendingThenClose, WE::Failed, false, WS::SendingThenClose, WA::ReportError},
    {WS::Idle, WE::Stop, true, WS::Closed, WA::None},
    {WS::Sending, WE::Stop, false, WS::Closed, WA::None},
    {WS::SendingThenClose, WE::Stop, false, WS::Closed, WA::None},
    {WS::Closed, WE::Queued, false, WS::Closed, WA::Discard},
    // Ignored: late completions after the close, a second close.
    {WS::Closed, WE::Written, false, WS::Closed, WA::None},
    {WS::Closed, WE::Written, true, WS::Closed, WA::None},
    {WS::Closed, WE::Failed, false, WS::Closed, WA::None},
    {WS::Closed, WE::PeerClosed, true, WS::Closed, WA::None},
    {WS::Closed, WE::Stop, true, WS::Closed, WA::None},
};

}  // namespace

TEST(SessionStates, ReadTable) {
  for (size_t i = 0; i < kReadRows.size(); ++i) {
    const ReadRow& r = kReadRows[i];
    const ReadStep got = ReadTransition(r.state, r.event, r.backlogFull);
    EXPECT_EQ(Name(got.next), Name(r.next)) << "row " << i << ": " << Name(r.state) << " + " << Name(r.event);
    EXPECT_EQ(Name(got.action), Name(r.action)) << "row " << i << ": " << Name(r.state) << " + " << Name(r.event);
  }
}

TEST(SessionStates, WriteTable) {
  for (size_t i = 0; i < kWriteRows.size(); ++i) {
    const WriteRow& r = kWriteRows[i];
    const WriteStep got = WriteTransition(r.state, r.event, r.queueEmpty);
    EXPECT_EQ(Name(got.next), Name(r.next)) << "row " << i << ": " << Name(r.state) << " + " << Name(r.event);
    EXPECT_EQ(Name(got.action), Name(r.action)) << "row " << i << ": " << Name(r.state) << " + " << Name(r.event);
  }
}

// Only Stop leads to Closed, and only from an open state does it tear down:
// the teardown runs once whichever event ends the connection. Stop and Closed
// are the last of their enums, so the loops see every pair.
TEST(SessionStates, OnlyStopClosesAndTearsDownOnce) {
  for (int s = 0; s <= static_cast<int>(RS::Closed); ++s) {
    for (int e = 0; e <= static_cast<int>(RE::Stop); ++e) {
      for (const bool full : {false, true}) {
        const auto state = static_cast<RS>(s);
        const auto event = static_cast<RE>(e);
        const ReadStep got = ReadTransition(state, event, full);
        const std::string what = Name(state) + " + " + Name(event);
        if (event == RE::Stop) {
          EXPECT_EQ(Name(got.next), Name(RS::Closed)) << what;
          EXPECT_EQ(got.action == RA::Close, state != RS::Closed) << what;
        } else {
          EXPECT_NE(got.action, RA::Close) << what;
          if (state != RS::Closed) {
            EXPECT_NE(Name(got.next), Name(RS::Closed)) << what;
          }
        }
        if (state == RS::Closed) {
          EXPECT_EQ(got, (ReadStep{RS::Closed, RA::None})) << what;
        }
      }
    }
  }
  for (int s = 0; s <= static_cast<int>(WS::Closed); ++s) {
    for (int e = 0; e <= static_cast<int>(WE::Stop); ++e) {
      for (const bool empty : {false, true}) {
        const auto state = static_cast<WS>(s);
        const auto event = static_cast<WE>(e);
        const WriteStep got = WriteTransition(state, event, empty);
        const std::string what = Name(state) + " + " + Name(event);
        EXPECT_EQ(got.next == WS::Closed, event == WE::Stop || state == WS::Closed) << what;
      }
    }
  }
}
