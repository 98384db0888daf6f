// The sending side of the E1381 link, one row per transition, and whole
// transfers played through it.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "protocol/TLinkSender.hpp"
#include "support/TestSupport.hpp"

using kvtest::Expand;
using kvtest::Repr;
using protocol::TLinkSender;

namespace {

using Event = TLinkSender::TEvent;
using State = TLinkSender::TState;

const TLinkSender::TOptions kOptions{false, 15};

// Actions as one readable line: "Write(<ENQ><CR><LF>) Dequeue ArmAnswerTimer(15)".
std::string Describe(const std::vector<TLinkSender::TAction>& actions) {
  std::string out;
  for (const TLinkSender::TAction& a : actions) {
    if (!out.empty()) out += ' ';
    out += protocol::Name(a.kind);
    if (a.kind == TLinkSender::TAction::Write || a.kind == TLinkSender::TAction::Log) out += "(" + Repr(a.text) + ")";
    if (a.kind == TLinkSender::TAction::ArmAnswerTimer) out += "(" + std::to_string(a.seconds) + ")";
  }
  return out;
}

std::string Describe(const State& s) {
  return s.sending ? "Sending[" + Repr(s.lastSent) + " x" + std::to_string(s.sends) + "]" : "Idle";
}

Event Next(const std::string& readable, bool frameToFrame = true) { return {Event::Next, Expand(readable), frameToFrame}; }
Event NothingQueued(bool frameToFrame) { return {Event::Next, std::nullopt, frameToFrame}; }

const State kIdle{};
State SendingAfter(const std::string& readableWire, int sends) { return {true, Expand(readableWire), sends}; }

const std::string kFrame = "<STX>1H|\\^&<CR><ETX>4F";
const std::string kFrameWire = kFrame + "<CR><LF>";
const std::string kEotWire = "Write(<EOT><CR><LF>)";
const std::string kSixNaks = "Log(NAK do analisador 6 vezes para o mesmo item: transmiss\xE3o encerrada com EOT)";

struct Row {
  std::string name;
  State state;
  Event event;
  State next;
  std::string actions;  // Describe's form
  TLinkSender::TOptions options = kOptions;
};

std::vector<Row> Rows() {
  const State atFrame = SendingAfter(kFrameWire, 1);
  return {
      // Items outside our transfer: acknowledgements of the analyzer's frames, block-mode leftovers.
      {"ACK item", kIdle, Next("<ACK>"), kIdle, "Write(<ACK><CR><LF>) Dequeue"},
      {"NAK item", kIdle, Next("<NAK>"), kIdle, "Write(<NAK><CR><LF>) Dequeue"},
      {"item of a block-mode client on its ACK", kIdle, Next("MSH|x", false), kIdle, "Write(MSH|x<CR><LF>) Dequeue"},
      {"ACK item as one byte", kIdle, Next("<ACK>"), kIdle, "Write(<ACK>) Dequeue", {true, 15}},
      {"nothing queued, frame-to-frame: bare EOT", kIdle, NothingQueued(true), kIdle, "Write(<EOT>)"},
      {"nothing queued, block mode: nothing", kIdle, NothingQueued(false), kIdle, ""},
      // Our transfer opens with our ENQ and runs item by item.
      {"our ENQ opens the transfer", kIdle, Next("<ENQ>"), SendingAfter("<ENQ><CR><LF>", 1),
       "Write(<ENQ><CR><LF>) Dequeue ArmAnswerTimer(15)"},
      {"our ENQ as one byte", kIdle, Next("<ENQ>"), SendingAfter("<ENQ>", 1), "Write(<ENQ>) Dequeue ArmAnswerTimer(15)",
       {true, 15}},
      {"without an answer limit no timer", kIdle, Next("<ENQ>"), SendingAfter("<ENQ><CR><LF>", 1),
       "Write(<ENQ><CR><LF>) Dequeue", {false, 0}},
      {"a frame keeps its CR LF when controls go as one byte", SendingAfter("<ENQ>", 1), Next(kFrame), SendingAfter(kFrameWire, 1),
       "Write(" + kFrameWire + ") Dequeue ArmAnswerTimer(15)", {true, 15}},
      {"a frame after a resend counts from one again", SendingAfter("<ENQ><CR><LF>", 3), Next(kFrame), atFrame,
       "Write(" + kFrameWire + ") Dequeue ArmAnswerTimer(15)"},
      {"our EOT item closes the transfer", atFrame, Next("<EOT>"), kIdle, kEotWire + " Dequeue CancelAnswerTimer"},
      {"nothing left, frame-to-frame: bare EOT closes it", atFrame, NothingQueued(true), kIdle, "Write(<EOT>) CancelAnswerTimer"},
      {"nothing left, block mode: the timer restarts", atFrame, NothingQueued(false), atFrame, "ArmAnswerTimer(15)"},
      // NAK: the same item again, six sends in all, then our EOT.
      {"NAK resends (2 of 6)", atFrame, {Event::Nak}, SendingAfter(kFrameWire, 2),
       "CountNak Log(NAK do analisador: item reenviado (envio 2 de 6)) Write(" + kFrameWire + ") ArmAnswerTimer(15)"},
      {"NAK resends (6 of 6)", SendingAfter(kFrameWire, 5), {Event::Nak}, SendingAfter(kFrameWire, 6),
       "CountNak Log(NAK do analisador: item reenviado (envio 6 de 6)) Write(" + kFrameWire + ") ArmAnswerTimer(15)"},
      {"NAK after six sends ends the transfer", SendingAfter(kFrameWire, 6), {Event::Nak}, kIdle,
       "CountNak " + kSixNaks + " ClearQueue " + kEotWire + " CancelAnswerTimer"},
      {"the ending EOT as one byte", SendingAfter(kFrameWire, 6), {Event::Nak}, kIdle,
       "CountNak " + kSixNaks + " ClearQueue Write(<EOT>) CancelAnswerTimer", {true, 15}},
      {"NAK to our ENQ sends it again", SendingAfter("<ENQ><CR><LF>", 1), {Event::Nak}, SendingAfter("<ENQ><CR><LF>", 2),
       "CountNak Log(NAK do analisador: item reenviado (envio 2 de 6)) Write(<ENQ><CR><LF>) ArmAnswerTimer(15)"},
      {"NAK outside our transfer means nothing", kIdle, {Event::Nak}, kIdle, ""},
      // The analyzer's EOT.
      {"EOT during our transfer ends it", atFrame, {Event::Eot}, kIdle,
       "Log(EOT do analisador durante o envio: transmiss\xE3o encerrada com EOT) ClearQueue " + kEotWire +
           " CancelAnswerTimer"},
      {"EOT outside our transfer is for reception", kIdle, {Event::Eot}, kIdle, "Receive"},
      // The answer deadline.
      {"no answer in time ends the transfer", atFrame, {Event::AnswerTimeUp}, kIdle,
       "Log(Analisador sem resposta por 15 s: transmiss\xE3o encerrada com EOT) ClearQueue " + kEotWire +
           " CancelAnswerTimer"},
      {"a late timer after the transfer means nothing", kIdle, {Event::AnswerTimeUp}, kIdle, ""},
      {"other handling restarts the deadline", atFrame, {Event::Handled}, atFrame, "ArmAnswerTimer(15)"},
      {"other handling outside our transfer", kIdle, {Event::Handled}, kIdle, ""},
  };
}

}  // namespace

TEST(LinkSender, Table) {
  const std::vector<Row> rows = Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    const TLinkSender::TStep step = TLinkSender::Transition(r.state, r.event, r.options);
    const std::string what = "row " + std::to_string(i) + " (" + r.name + "): " + Describe(r.state) + " + " +
                             protocol::Name(r.event.kind);
    EXPECT_EQ(Describe(step.actions), r.actions) << what;
    EXPECT_EQ(Describe(step.next), Describe(r.next)) << what;
    EXPECT_EQ(step.next, r.next) << what;
  }
}

// A query reply as the connection plays it: ENQ, the frames and EOT, one per
// ACK; a refused frame goes again; the ACK after our EOT gets a bare EOT.
TEST(LinkSender, WholeReplyItemByItem) {
  TLinkSender sender(kOptions);
  std::vector<std::string> queue = {Expand("<ENQ>"), Expand("<STX>1H|x<CR><ETX>00"), Expand("<STX>2L|1<CR><ETX>00"),
                                    Expand("<EOT>")};
  std::string wire;
  bool timerRunning = false;
  int naks = 0;
  const auto run = [&](const Event& e) {
    for (const TLinkSender::TAction& a : sender.On(e)) {
      switch (a.kind) {
        case TLinkSender::TAction::Write: wire += a.text; break;
        case TLinkSender::TAction::Dequeue: queue.erase(queue.begin()); break;
        case TLinkSender::TAction::ClearQueue: queue.clear(); break;
        case TLinkSender::TAction::ArmAnswerTimer: timerRunning = true; break;
        case TLinkSender::TAction::CancelAnswerTimer: timerRunning = false; break;
        case TLinkSender::TAction::CountNak: ++naks; break;
        default: break;
      }
    }
  };
  const auto next = [&] {
    return Event{Event::Next, queue.empty() ? std::nullopt : std::optional<std::string>(queue.front()), true};
  };
  run(next());  // the reply is due: ENQ goes at once
  EXPECT_TRUE(sender.Sending());
  EXPECT_TRUE(timerRunning);
  run(next());  // ACK: frame 1
  run({Event::Nak});
  run(next());  // ACK: frame 2
  run(next());  // ACK: our EOT
  EXPECT_FALSE(sender.Sending());
  EXPECT_FALSE(timerRunning);
  run(next());  // one more ACK: a bare EOT
  EXPECT_EQ(Repr(wire), Repr(Expand("<ENQ><CR><LF><STX>1H|x<CR><ETX>00<CR><LF><STX>1H|x<CR><ETX>00<CR><LF>"
                                    "<STX>2L|1<CR><ETX>00<CR><LF><EOT><CR><LF><EOT>")));
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(naks, 1);
}

// Six sends of one item in all, whatever came before it: each new item starts
// its own count, and the seventh refusal ends the transfer with the rest dropped.
TEST(LinkSender, SixSendsPerItemThenEot) {
  TLinkSender sender(kOptions);
  ASSERT_FALSE(sender.On(Next("<ENQ>")).empty());
  for (int i = 0; i < 5; ++i) sender.On({Event::Nak});  // the ENQ went six times
  sender.On(Next(kFrame));
  for (int send = 2; send <= TLinkSender::MAX_SENDS; ++send) {
    const auto actions = sender.On({Event::Nak});
    ASSERT_FALSE(actions.empty());
    EXPECT_EQ(Repr(actions[2].text), Repr(Expand(kFrameWire))) << "send " << send;
  }
  EXPECT_TRUE(sender.Sending());
  EXPECT_EQ(Describe(sender.On({Event::Nak})), "CountNak " + kSixNaks + " ClearQueue " + kEotWire + " CancelAnswerTimer");
  EXPECT_FALSE(sender.Sending());
  EXPECT_EQ(Describe(sender.On({Event::Nak})), "");  // late refusals after the end mean nothing
}
