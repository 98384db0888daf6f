#include "clients/TReceptionStates.hpp"

namespace {
// One switch label per (state, event) pair keeps the table flat.
constexpr int Key(TReceptionState s, TReceptionEvent e) { return static_cast<int>(s) * 64 + static_cast<int>(e); }
}  // namespace

TReceptionStep ReceptionTransition(TReceptionState state, TReceptionEvent event) {
  using S = TReceptionState;
  using E = TReceptionEvent;
  using A = TReceptionAction;
  switch (Key(state, event)) {
    // ENQ starts a transfer from anywhere but a wait (and clears the input again).
    case Key(S::Idle, E::Enq):
    case Key(S::Transfer, E::Enq): return {S::Transfer, A::StartTransfer};
    // EOT runs the handler whether or not the buffer holds a complete block.
    case Key(S::Idle, E::Eot):
    case Key(S::Transfer, E::Eot): return {S::ProcessingEot, A::Run};
    case Key(S::Idle, E::Text): return {S::Idle, A::StoreAndTest};
    case Key(S::Transfer, E::Text): return {S::Transfer, A::StoreAndAcknowledge};
    case Key(S::Idle, E::BlockComplete): return {S::Processing, A::Run};
    // The silence of a transfer: its complete message is handled as at EOT.
    case Key(S::Transfer, E::SilentAfterEnd): return {S::ProcessingEot, A::RunAfterSilence};
    case Key(S::Transfer, E::SilentBeforeEnd): return {S::Idle, A::DropIncomplete};
    case Key(S::Processing, E::Handled): return {S::Idle, A::None};
    case Key(S::ProcessingEot, E::Handled): return {S::Idle, A::FinishEot};
    // A query waits for the LIS, or a result message for the disk: the same
    // run goes on after the answer. (Idle and Transfer: a handler run straight
    // through ProcessBuffer.)
    case Key(S::Idle, E::OutsideWaiting):
    case Key(S::Transfer, E::OutsideWaiting):
    case Key(S::Processing, E::OutsideWaiting): return {S::AwaitingOutside, A::None};
    case Key(S::ProcessingEot, E::OutsideWaiting): return {S::AwaitingOutsideAtEot, A::None};
    case Key(S::AwaitingOutside, E::OutsideAnswered): return {S::Processing, A::FinishAndResume};
    case Key(S::AwaitingOutsideAtEot, E::OutsideAnswered): return {S::ProcessingEot, A::FinishAndResume};
    // The connection layer hands nothing on while something waits; text that
    // came anyway is kept for the run after the answer. ENQ and EOT are
    // ignored (an analyzer repeats an ENQ nobody answered).
    case Key(S::AwaitingOutside, E::Text):
    case Key(S::AwaitingOutsideAtEot, E::Text): return {state, A::Store};
    case Key(S::Processing, E::Failed):
    case Key(S::ProcessingEot, E::Failed): return {S::Idle, A::DropWaiting};
    // Anything else (a silence outside a transfer, an answer nobody waits
    // for, a failure while nothing runs) changes nothing.
    default: return {state, A::None};
  }
}

std::string Name(TReceptionState s) {
  switch (s) {
    case TReceptionState::Idle: return "Idle";
    case TReceptionState::Transfer: return "Transfer";
    case TReceptionState::Processing: return "Processing";
    case TReceptionState::ProcessingEot: return "ProcessingEot";
    case TReceptionState::AwaitingOutside: return "AwaitingOutside";
    case TReceptionState::AwaitingOutsideAtEot: return "AwaitingOutsideAtEot";
  }
  return "?";
}

std::string Name(TReceptionEvent e) {
  switch (e) {
    case TReceptionEvent::Enq: return "Enq";
    case TReceptionEvent::Eot: return "Eot";
    case TReceptionEvent::Text: return "Text";
    case TReceptionEvent::BlockComplete: return "BlockComplete";
    case TReceptionEvent::Handled: return "Handled";
    case TReceptionEvent::OutsideWaiting: return "OutsideWaiting";
    case TReceptionEvent::OutsideAnswered: return "OutsideAnswered";
    case TReceptionEvent::SilentAfterEnd: return "SilentAfterEnd";
    case TReceptionEvent::SilentBeforeEnd: return "SilentBeforeEnd";
    case TReceptionEvent::Failed: return "Failed";
  }
  return "?";
}

std::string Name(TReceptionAction a) {
  switch (a) {
    case TReceptionAction::None: return "None";
    case TReceptionAction::StartTransfer: return "StartTransfer";
    case TReceptionAction::StoreAndAcknowledge: return "StoreAndAcknowledge";
    case TReceptionAction::StoreAndTest: return "StoreAndTest";
    case TReceptionAction::Store: return "Store";
    case TReceptionAction::Run: return "Run";
    case TReceptionAction::RunAfterSilence: return "RunAfterSilence";
    case TReceptionAction::DropIncomplete: return "DropIncomplete";
    case TReceptionAction::FinishEot: return "FinishEot";
    case TReceptionAction::FinishAndResume: return "FinishAndResume";
    case TReceptionAction::DropWaiting: return "DropWaiting";
  }
  return "?";
}
