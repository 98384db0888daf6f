#include "service/TLisMonitor.hpp"

#include <chrono>

#include "db/TMyDB.hpp"

namespace {

// The driver's text spans lines; the page shows it on one.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

bool HasRows(const std::unique_ptr<TResultTable>& t) { return t && t->RecordCount() > 0; }

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
  while (b < TLisState::kBuckets.size() && seconds > TLisState::kBuckets[b]) ++b;
  if (b < TLisState::kBuckets.size()) ++state_.bucketCounts[b];
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

TMonitoredLisLookups::TMonitoredLisLookups(TLisLookups& inner, std::function<TMyDB*()> db, TLisMonitor& monitor)
    : inner_(inner), db_(std::move(db)), monitor_(monitor) {}

template <typename Call, typename Found>
auto TMonitoredLisLookups::Timed(Call&& call, Found&& found) {
  TMyDB* db = db_ ? db_() : nullptr;
  // A lookup that never reaches Select (no device, a code that cannot match)
  // must not inherit an older failure.
  if (db) db->lastError.clear();
  const auto start = std::chrono::steady_clock::now();
  auto result = call();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string error = db ? db->lastError : std::string();
  TLisOutcome outcome = TLisOutcome::NotFound;
  if (!error.empty())
    outcome = TLisOutcome::Error;
  else if (found(result))
    outcome = TLisOutcome::Found;
  monitor_.RecordLookup(outcome, seconds, error);
  return result;
}

std::unique_ptr<TAparelhoTevarin> TMonitoredLisLookups::GetAparelhoTevarin(const TAnalisador& a) {
  return Timed([&] { return inner_.GetAparelhoTevarin(a); }, [](const auto& r) { return r != nullptr; });
}

std::unique_ptr<TResultTable> TMonitoredLisLookups::GetDadosProtocolo(const TAnalisador& a, const std::string& p) {
  return Timed([&] { return inner_.GetDadosProtocolo(a, p); }, HasRows);
}

std::unique_ptr<TResultTable> TMonitoredLisLookups::GetExamesProtocolo(const TAnalisador& a, int32_t ped) {
  return Timed([&] { return inner_.GetExamesProtocolo(a, ped); }, HasRows);
}
