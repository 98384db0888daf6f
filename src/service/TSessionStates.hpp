#pragma once
#include <string>

// The two directions of a client connection as state machines without a
// socket: each transition function answers the next state and the one thing
// the connection must do, so every transition of a direction is in one place
// (and testable by table). TClientSession feeds them its events and does the
// actions.
//
// Closing: only the Stop event leads to Closed. A row whose action ends the
// connection (Close, ReportError) keeps its state; the close that follows
// sends Stop to both directions, and the read side's Stop row does the
// teardown exactly once.
namespace sessionstate {

enum class ReadState {
  Naming,        // reverse look-up of the peer running; nothing read yet
  AwaitingData,  // a wait for readable data is outstanding
  Handling,      // received chunks go to reception one by one
  ReplyPause,    // the pause before a reply runs; queued chunks wait for it
  AwaitingLis,   // a host query's lookups run off the loop; queued chunks wait for the answer
  AwaitingKept,  // a result message is being kept on disk off the loop; queued chunks wait for it
  DrainAfterKept,  // the service stops while a message is being kept: its reply goes out once it is
  Held,          // the peer does not read its replies: no reading until the backlog drains
  PeerClosed,    // the peer closed its sending side; the write side finishes
  Draining,      // the service stops: nothing more is read, the replies made so far go out
  Closed,        // the connection is closed; every event is ignored
};

enum class ReadEvent {
  Named,           // the look-up ended
  Readable,        // the wait ended: there is data (or the end of it) to read
  NothingYet,      // readable, but the read would block
  DataArrived,     // a read brought bytes
  PeerFinished,    // a read found the end of the peer's data
  Failed,          // the wait or the read failed
  ReplyDue,        // a handled chunk left a reply in the output buffer
  ChunksDone,      // every queued chunk was handled
  ReplyTimeUp,     // the pause before the reply ran out
  WriteFinished,   // a write finished, so the backlog may be under the limit again
  LisAsked,        // handling left a host query waiting for the LIS
  LisAnswered,     // the LIS answered the query (or its time ran out)
  KeepAsked,       // handling left a result message waiting to be kept on disk
  Kept,            // the disk kept the message (or refused it)
  TransferSilent,  // the analyzer's transfer fell silent (no frame nor EOT in time)
  Drain,           // the service stops: finish what was answered, read nothing more
  Stop,            // the connection closes
};

enum class ReadAction {
  None,
  ConnectAndWait,   // make the client record, log the connection, wait for data
  WaitForData,      // start a wait for readable data
  ReadNow,          // read what is there
  HandChunks,       // log the read and hand its chunks to reception
  FinishWriting,    // tell the write side no input follows (the peer closed, or the stop)
  ReportError,      // log the socket error and close
  StartReplyTimer,  // start the pause before the reply
  SendReply,        // send the reply, then go on with the queued chunks
  AskLis,           // hand the query's lookups to the LIS workers
  AnswerQuery,      // hand the answer to the record, then go on with the queued chunks
  AskKeeper,        // hand the message to the disk's keeper
  AnswerKept,       // tell the record it is kept (an ACK^R01 follows), then go on with the queued chunks
  AnswerKeptAndFinish,  // tell the record, send what it queued at once, then finish writing
  SendReplyAndFinish,  // cut the pause short: send the reply, then finish writing
  EndSilentTransfer,   // the record ends the transfer without EOT, then as after a chunk
  Close,            // tear the connection down (cancel, close, release the record)
};

struct ReadStep {
  ReadState next;
  ReadAction action;
  bool operator==(const ReadStep&) const = default;
};

// backlogFull: the queued output is over the limit (the peer is not reading it).
ReadStep ReadTransition(ReadState state, ReadEvent event, bool backlogFull);

enum class WriteState {
  Idle,              // nothing queued
  Sending,           // a write of the queue's front is outstanding
  SendingThenClose,  // as Sending; the peer closed its side, so close once the queue is out
  Closed,            // the connection is closed; queued text is dropped
};

enum class WriteEvent {
  Queued,      // text was queued
  Written,     // the front text was taken whole and left the queue
  PeerClosed,  // no input follows (the peer's data ended, or the service stops): close once the queue is out
  Failed,      // the write failed
  Stop,        // the connection closes
};

enum class WriteAction {
  None,
  Discard,      // drop the text: the connection is closed
  WriteFront,   // start writing the queue's front
  Close,        // close the connection
  ReportError,  // log the socket error and close
};

struct WriteStep {
  WriteState next;
  WriteAction action;
  bool operator==(const WriteStep&) const = default;
};

// queueEmpty: nothing is left in the queue (read after Written took the front out).
WriteStep WriteTransition(WriteState state, WriteEvent event, bool queueEmpty);

// Names for log and test messages.
std::string Name(ReadState s);
std::string Name(ReadEvent e);
std::string Name(ReadAction a);
std::string Name(WriteState s);
std::string Name(WriteEvent e);
std::string Name(WriteAction a);

}  // namespace sessionstate
