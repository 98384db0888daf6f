#pragma once
#include <string>

// The receiving side of a client record as a state machine without the
// record: ReceptionTransition answers the next state and the one thing the
// record must do, so every transition is in one place (and testable by
// table). TReception feeds it its events and does the actions; it is the only
// holder of "in transfer" for the connection (the link receiver is told).
enum class TReceptionState {
  Idle,              // outside a transfer, nothing waits: a complete block is handled at once
  Transfer,          // between the client's ENQ and its EOT: chunks are stored and acknowledged
  Processing,        // the handler runs on a block completed outside a transfer
  ProcessingEot,     // the handler runs on what the transfer brought (at EOT, or at its silence)
  AwaitingOutside,       // the handler stopped at what waits outside: a host query for the LIS, a message for the disk
  AwaitingOutsideAtEot,  // as AwaitingOutside; the transfer's end follows the rest of the run
};

enum class TReceptionEvent {
  Enq,                // a chunk that is ENQ alone
  Eot,                // a chunk that is EOT alone
  Text,               // any other chunk (an accepted frame included)
  BlockComplete,      // the text stored outside a transfer completed a block
  Handled,            // the handler's run ended and no query waits
  OutsideWaiting,   // the handler's run stopped at a host query for the LIS or a message for the disk
  OutsideAnswered,  // the LIS answered the query (or its time ran out), or the disk kept the message
  SilentAfterEnd,     // the transfer fell silent (or the connection closed) after its terminator record
  SilentBeforeEnd,    // the transfer fell silent before it: the message is incomplete
  Failed,             // an error ended the operation that was handling
};

enum class TReceptionAction {
  None,
  StartTransfer,        // log the start, frame-to-frame mode on, drop the input, queue ACK
  StoreAndAcknowledge,  // add the chunk to the input buffer, queue ACK
  StoreAndTest,         // add the chunk, then test the input buffer for a complete block
  Store,                // add the chunk only: the run after the LIS's answer takes it
  Run,                  // run the handler of the client's protocol
  RunAfterSilence,      // log that the transfer ended without EOT, then run the handler
  DropIncomplete,       // log that the transfer ended without EOT and drop what it brought
  FinishEot,            // log the end of the transfer
  FinishAndResume,      // reply to the query, or acknowledge the kept message, then run the handler on
  DropWaiting,          // forget what a run that failed left waiting
};

struct TReceptionStep {
  TReceptionState next;
  TReceptionAction action;
  bool operator==(const TReceptionStep&) const = default;
};

TReceptionStep ReceptionTransition(TReceptionState state, TReceptionEvent event);

// Names for log and test messages.
std::string Name(TReceptionState s);
std::string Name(TReceptionEvent e);
std::string Name(TReceptionAction a);
