#pragma once
#include <chrono>
#include <ctime>
#include <string>

#include "links/TLinkFailure.hpp"

// What the status page shows of one link the service keeps open.
struct TLinkStatus {
  std::string name;           // "serial:/dev/ttyUSB0", "host:porta"
  bool open = false;
  std::time_t since = 0;      // open since, or reopening since (0: not tried yet)
  std::string lastError;      // the last failure's reason, Windows-1252 ("" none since the start)
  std::time_t lastErrorAt = 0;

  bool operator==(const TLinkStatus&) const = default;
};

namespace linkpolicy {

enum class TState {
  Idle,     // not started
  Opening,  // an attempt to open runs
  Open,     // handed to a session
  Waiting,  // failed or lost: the next attempt waits for the interval
  Stopped,  // the service stops; every event is ignored
};

enum class TEvent {
  Start,       // the service starts
  Opened,      // the attempt opened the link
  OpenFailed,  // the attempt failed (with a failure)
  Lost,        // the open link ended (with a failure)
  RetryTime,   // the interval after a failure ran out
  Stop,        // the service stops
};

enum class TAction {
  None,
  Open,          // try to open the link now
  Serve,         // hand the open link to a session
  WaitThenOpen,  // start the interval; RetryTime follows
  Cancel,        // end the attempt or the wait that runs
};

struct TStep {
  TState next;
  TAction action;
  std::string logLine;  // "" when nothing is logged

  bool operator==(const TStep&) const = default;
};

std::string Name(TState s);
std::string Name(TEvent e);
std::string Name(TAction a);

}  // namespace linkpolicy

// The reconnection of one link, without any I/O: on each event the next state,
// the one thing to do and the line to log. A failure to open is logged once
// per reason (again when the reason changes), a lost link always, and the
// first open after failures once; the next attempt follows the interval, for
// ever.
class TReconnectPolicy {
 public:
  TReconnectPolicy(std::string name, std::chrono::milliseconds interval);

  // The one place the link's state changes. failure: with OpenFailed and
  // Lost; now: the wall clock, for the status.
  linkpolicy::TStep Step(linkpolicy::TEvent event, const TLinkFailure& failure = {}, std::time_t now = 0);

  linkpolicy::TState state() const { return state_; }
  const TLinkStatus& status() const { return status_; }

 private:
  std::string Line(const std::string& what) const;

  std::chrono::milliseconds interval_;
  linkpolicy::TState state_ = linkpolicy::TState::Idle;
  TLinkFailure logged_;  // the failure last logged since the link was last open (None: none)
  TLinkStatus status_;
};
