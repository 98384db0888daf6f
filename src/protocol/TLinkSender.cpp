#include "protocol/TLinkSender.hpp"

#include <utility>

#include "protocol/Controls.hpp"

namespace protocol {
namespace {

using TAction = TLinkSender::TAction;
using TEvent = TLinkSender::TEvent;
using TState = TLinkSender::TState;

bool IsLoneControl(const std::string& item) {
  return item.size() == 1 && (item[0] == ACK || item[0] == NAK || item[0] == ENQ || item[0] == EOT);
}

bool Is(const std::string& item, char c) { return item.size() == 1 && item[0] == c; }

}  // namespace

TLinkSender::TStep TLinkSender::Transition(const TState& state, const TEvent& event, const TOptions& options) {
  TStep step{state, {}};
  TState& next = step.next;
  std::vector<TAction>& out = step.actions;
  const auto wire = [&](const std::string& item) {
    return IsLoneControl(item) && options.controlWithoutCrLf ? item : item + CR + LF;
  };
  const auto armTimer = [&] {
    if (options.answerSeconds > 0) out.push_back({TAction::ArmAnswerTimer, {}, options.answerSeconds});
  };
  // Our transfer ends early: the rest of the reply is dropped and our EOT says so.
  const auto endTransfer = [&](std::string why) {
    out.push_back({TAction::Log, std::move(why)});
    out.push_back({TAction::ClearQueue});
    out.push_back({TAction::Write, wire(std::string(1, EOT))});
    out.push_back({TAction::CancelAnswerTimer});
    next = TState{};
  };

  switch (event.kind) {
    case TEvent::Next:
      if (event.item) {
        const std::string sent = wire(*event.item);
        out.push_back({TAction::Write, sent});
        out.push_back({TAction::Dequeue});
        if (Is(*event.item, ENQ)) next.sending = true;
        if (Is(*event.item, EOT)) next.sending = false;
        next.lastSent = next.sending ? sent : std::string();
        next.sends = next.sending ? 1 : 0;
      } else if (event.frameToFrame) {
        // The analyzer acknowledged our last item and nothing is left.
        out.push_back({TAction::Write, std::string(1, EOT)});
        next = TState{};
      }
      if (next.sending) {
        armTimer();
      } else if (state.sending) {
        out.push_back({TAction::CancelAnswerTimer});
      }
      return step;

    case TEvent::Nak:
      if (!state.sending) return step;  // nothing of ours to send again
      out.push_back({TAction::CountNak});
      if (state.sends < MAX_SENDS) {
        next.sends = state.sends + 1;
        out.push_back({TAction::Log, "NAK do analisador: item reenviado (envio " + std::to_string(next.sends) +
                                         " de " + std::to_string(MAX_SENDS) + ")"});
        out.push_back({TAction::Write, state.lastSent});
        armTimer();
      } else {
        endTransfer("NAK do analisador " + std::to_string(MAX_SENDS) +
                    " vezes para o mesmo item: transmiss\xE3o encerrada com EOT");
      }
      return step;

    case TEvent::Eot:
      if (!state.sending) {
        out.push_back({TAction::Receive});
      } else {
        endTransfer("EOT do analisador durante o envio: transmiss\xE3o encerrada com EOT");
      }
      return step;

    case TEvent::AnswerTimeUp:
      if (state.sending) {
        endTransfer("Analisador sem resposta por " + std::to_string(options.answerSeconds) +
                    " s: transmiss\xE3o encerrada com EOT");
      }
      return step;

    case TEvent::Handled:
      if (state.sending) armTimer();
      return step;
  }
  return step;
}

std::vector<TLinkSender::TAction> TLinkSender::On(const TEvent& event) {
  TStep step = Transition(state_, event, options_);
  state_ = std::move(step.next);
  return std::move(step.actions);
}

std::string Name(TLinkSender::TEvent::Kind kind) {
  switch (kind) {
    case TEvent::Next: return "Next";
    case TEvent::Nak: return "Nak";
    case TEvent::Eot: return "Eot";
    case TEvent::AnswerTimeUp: return "AnswerTimeUp";
    case TEvent::Handled: return "Handled";
  }
  return "?";
}

std::string Name(TLinkSender::TAction::Kind kind) {
  switch (kind) {
    case TAction::Write: return "Write";
    case TAction::Dequeue: return "Dequeue";
    case TAction::ClearQueue: return "ClearQueue";
    case TAction::ArmAnswerTimer: return "ArmAnswerTimer";
    case TAction::CancelAnswerTimer: return "CancelAnswerTimer";
    case TAction::CountNak: return "CountNak";
    case TAction::Log: return "Log";
    case TAction::Receive: return "Receive";
  }
  return "?";
}

}  // namespace protocol
