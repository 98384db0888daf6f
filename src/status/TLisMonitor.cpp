#include "status/TLisMonitor.hpp"


namespace {

// The driver's text spans lines; the page shows it on one.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

}  // namespace

void TLisMonitor::RecordCheck(bool ok, const std::string& error, std::time_t when) {
  std::lock_guard lk(mutex_);
  state_.checked = true;
  state_.lastCheck = when;
  state_.ok = ok;
  state_.error = ok ? std::string() : OneLine(error);
}

void TLisMonitor::RecordLookup(TLisOutcome outcome, double seconds, const std::string& error, std::time_t when) {
  std::lock_guard lk(mutex_);
  switch (outcome) {
    case TLisOutcome::Found: ++state_.found; break;
    case TLisOutcome::NotFound: ++state_.notFound; break;
    case TLisOutcome::Error: ++state_.errors; break;
    case TLisOutcome::Timeout: ++state_.timeouts; break;
  }
  size_t b = 0;
  while (b < TLisState::BUCKETS.size() && seconds > TLisState::BUCKETS[b]) ++b;
  if (b < TLisState::BUCKETS.size()) ++state_.bucketCounts[b];
  ++state_.count;
  state_.sumSeconds += seconds;
  state_.lastSeconds = seconds;
  if (seconds > state_.maxSeconds) state_.maxSeconds = seconds;
  // A lookup that reached the database says as much about the LIS as a check.
  state_.checked = true;
  state_.lastCheck = when;
  state_.ok = outcome == TLisOutcome::Found || outcome == TLisOutcome::NotFound;
  state_.error = state_.ok ? std::string()
                           : (outcome == TLisOutcome::Timeout ? std::string("tempo esgotado") : OneLine(error));
}

TLisState TLisMonitor::State() const {
  std::lock_guard lk(mutex_);
  return state_;
}
