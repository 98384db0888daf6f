#include "links/TReconnectPolicy.hpp"

#include <utility>

namespace linkpolicy {

std::string Name(TState s) {
  switch (s) {
    case TState::Idle: return "Idle";
    case TState::Opening: return "Opening";
    case TState::Open: return "Open";
    case TState::Waiting: return "Waiting";
    case TState::Stopped: return "Stopped";
  }
  return "?";
}

std::string Name(TEvent e) {
  switch (e) {
    case TEvent::Start: return "Start";
    case TEvent::Opened: return "Opened";
    case TEvent::OpenFailed: return "OpenFailed";
    case TEvent::Lost: return "Lost";
    case TEvent::RetryTime: return "RetryTime";
    case TEvent::Stop: return "Stop";
  }
  return "?";
}

std::string Name(TAction a) {
  switch (a) {
    case TAction::None: return "None";
    case TAction::Open: return "Open";
    case TAction::Serve: return "Serve";
    case TAction::WaitThenOpen: return "WaitThenOpen";
    case TAction::Cancel: return "Cancel";
  }
  return "?";
}

}  // namespace linkpolicy

namespace {
using linkpolicy::TAction;
using linkpolicy::TEvent;
using linkpolicy::TState;

constexpr int Key(TState s, TEvent e) { return static_cast<int>(s) * 16 + static_cast<int>(e); }

std::string IntervalText(std::chrono::milliseconds interval) {
  const auto ms = interval.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}
}  // namespace

TReconnectPolicy::TReconnectPolicy(std::string name, std::chrono::milliseconds interval) : interval_(interval) {
  status_.name = std::move(name);
}

std::string TReconnectPolicy::Line(const std::string& what) const {
  return "Conex\xE3o " + status_.name + " " + what;
}

linkpolicy::TStep TReconnectPolicy::Step(TEvent event, const TLinkFailure& failure, std::time_t now) {
  linkpolicy::TStep step{state_, TAction::None, ""};
  switch (Key(state_, event)) {
    case Key(TState::Idle, TEvent::Start):
    case Key(TState::Waiting, TEvent::RetryTime):
      step = {TState::Opening, TAction::Open, ""};
      break;
    case Key(TState::Opening, TEvent::Opened):
      // Only an open after failures is news: the session logs every connection anyway.
      step = {TState::Open, TAction::Serve, logged_.kind == TLinkFailureKind::None ? "" : Line("restabelecida")};
      logged_ = {};
      status_.open = true;
      status_.since = now;
      break;
    case Key(TState::Opening, TEvent::OpenFailed):
      step = {TState::Waiting, TAction::WaitThenOpen,
              failure == logged_ ? ""
                                 : Line("indispon\xEDvel: " + Describe(failure) + ". Nova tentativa a cada " +
                                        IntervalText(interval_))};
      // Reopening since the first failure after the start or the last open.
      if (logged_.kind == TLinkFailureKind::None) status_.since = now;
      logged_ = failure;
      status_.lastError = Describe(failure);
      status_.lastErrorAt = now;
      break;
    case Key(TState::Open, TEvent::Lost):
      step = {TState::Waiting, TAction::WaitThenOpen,
              Line("perdida: " + Describe(failure) + ". Nova tentativa em " + IntervalText(interval_))};
      logged_ = failure;
      status_.open = false;
      status_.since = now;
      status_.lastError = Describe(failure);
      status_.lastErrorAt = now;
      break;
    case Key(TState::Idle, TEvent::Stop):
    case Key(TState::Opening, TEvent::Stop):
    case Key(TState::Open, TEvent::Stop):
    case Key(TState::Waiting, TEvent::Stop):
      step = {TState::Stopped, TAction::Cancel, ""};
      break;
    // Anything else (a late completion, an event after the stop) changes nothing.
    default: break;
  }
  state_ = step.next;
  return step;
}
