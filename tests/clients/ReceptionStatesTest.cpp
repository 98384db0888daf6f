// The record's reception state machine, one row per transition; every pair
// not in the table changes nothing.
#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "clients/TReceptionStates.hpp"

namespace {

using S = TReceptionState;
using E = TReceptionEvent;
using A = TReceptionAction;

struct Row {
  S state;
  E event;
  S next;
  A action;
};

const std::vector<Row> kRows = {
    // ENQ starts a transfer (again: it clears the input once more).
    {S::Idle, E::Enq, S::Transfer, A::StartTransfer},
    {S::Transfer, E::Enq, S::Transfer, A::StartTransfer},
    // Chunks: stored and acknowledged in a transfer; outside one, a complete block runs at once.
    {S::Transfer, E::Text, S::Transfer, A::StoreAndAcknowledge},
    {S::Idle, E::Text, S::Idle, A::StoreAndTest},
    {S::Idle, E::BlockComplete, S::Processing, A::Run},
    {S::Processing, E::Handled, S::Idle, A::None},
    // EOT runs the handler, in a transfer or not, and the end is logged after the run.
    {S::Transfer, E::Eot, S::ProcessingEot, A::Run},
    {S::Idle, E::Eot, S::ProcessingEot, A::Run},
    {S::ProcessingEot, E::Handled, S::Idle, A::FinishEot},
    // The silence of a transfer: a complete message runs as at EOT, the rest is dropped.
    {S::Transfer, E::SilentAfterEnd, S::ProcessingEot, A::RunAfterSilence},
    {S::Transfer, E::SilentBeforeEnd, S::Idle, A::DropIncomplete},
    // A host query waits for the LIS; the run goes on after the answer, the
    // transfer's end after the rest of the run.
    {S::Processing, E::OutsideWaiting, S::AwaitingOutside, A::None},
    {S::ProcessingEot, E::OutsideWaiting, S::AwaitingOutsideAtEot, A::None},
    {S::AwaitingOutside, E::OutsideAnswered, S::Processing, A::FinishAndResume},
    {S::AwaitingOutsideAtEot, E::OutsideAnswered, S::ProcessingEot, A::FinishAndResume},
    // A handler run straight through ProcessBuffer that leaves a query waiting.
    {S::Idle, E::OutsideWaiting, S::AwaitingOutside, A::None},
    {S::Transfer, E::OutsideWaiting, S::AwaitingOutside, A::None},
    // Text while a query waits is kept for the run after the answer.
    {S::AwaitingOutside, E::Text, S::AwaitingOutside, A::Store},
    {S::AwaitingOutsideAtEot, E::Text, S::AwaitingOutsideAtEot, A::Store},
    // A run that failed holds no query and nothing waits for it.
    {S::Processing, E::Failed, S::Idle, A::DropWaiting},
    {S::ProcessingEot, E::Failed, S::Idle, A::DropWaiting},
};

const std::vector<S> kStates = {S::Idle,          S::Transfer,    S::Processing,
                                 S::ProcessingEot, S::AwaitingOutside, S::AwaitingOutsideAtEot};
const std::vector<E> kEvents = {E::Enq,          E::Eot,         E::Text,           E::BlockComplete,   E::Handled,
                                E::OutsideWaiting, E::OutsideAnswered, E::SilentAfterEnd, E::SilentBeforeEnd, E::Failed};

std::string Describe(S s, E e) { return Name(s) + " + " + Name(e); }

TEST(ReceptionStates, EveryTransitionOfTheTable) {
  for (size_t i = 0; i < kRows.size(); ++i) {
    const Row& r = kRows[i];
    const TReceptionStep got = ReceptionTransition(r.state, r.event);
    EXPECT_EQ(Name(got.next) + " / " + Name(got.action), Name(r.next) + " / " + Name(r.action))
        << "row " << i << ": " << Describe(r.state, r.event);
  }
}

TEST(ReceptionStates, EveryOtherPairChangesNothing) {
  std::set<std::pair<S, E>> listed;
  for (const Row& r : kRows) {
    ASSERT_TRUE(listed.insert({r.state, r.event}).second) << "row listed twice: " << Describe(r.state, r.event);
  }
  size_t others = 0;
  for (S s : kStates) {
    for (E e : kEvents) {
      if (listed.count({s, e})) continue;
      ++others;
      const TReceptionStep got = ReceptionTransition(s, e);
      EXPECT_EQ(Name(got.next) + " / " + Name(got.action), Name(s) + " / None") << Describe(s, e);
    }
  }
  EXPECT_EQ(others + kRows.size(), kStates.size() * kEvents.size());
}

// Only the transfer is "in transfer": a silence ends it whichever way its
// message went, and nothing else leads into it but ENQ.
TEST(ReceptionStates, OnlyEnqLeadsIntoTheTransfer) {
  for (S s : kStates) {
    for (E e : kEvents) {
      const TReceptionStep got = ReceptionTransition(s, e);
      if (got.next == S::Transfer) {
        EXPECT_TRUE(e == E::Enq || s == S::Transfer) << Describe(s, e);
      }
      if (s == S::Transfer && (e == E::SilentAfterEnd || e == E::SilentBeforeEnd || e == E::Eot)) {
        EXPECT_NE(got.next, S::Transfer) << Describe(s, e);
      }
    }
  }
}

}  // namespace
