#pragma once
#include <array>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

// How a LIS lookup ended.
enum class TLisOutcome { Found, NotFound, Error, Timeout };

// What the status page and metrics show of the LIS: the last check (start-up
// check or lookup), whether it worked with the driver's message when not,
// and the lookups by outcome with their latency.
struct TLisState {
  // Upper bounds of the latency histogram, in seconds (+Inf follows).
  static constexpr std::array<double, 10> BUCKETS = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 10};

  bool checked = false;     // a check or lookup has happened
  std::time_t lastCheck = 0;
  bool ok = false;
  std::string error;        // the driver's message of the last failure (Windows-1252)
  uint64_t found = 0, notFound = 0, errors = 0, timeouts = 0;
  std::array<uint64_t, BUCKETS.size()> bucketCounts{};  // per bucket, not cumulative
  uint64_t count = 0;       // lookups timed
  double sumSeconds = 0;
  double lastSeconds = 0;
  double maxSeconds = 0;
};

// The LIS state, fed from any thread: the start-up check and the host
// queries' lookups on the LIS workers. Read as a copy.
class TLisMonitor {
 public:
  // The start-up check or any other reachability check.
  void RecordCheck(bool ok, const std::string& error, std::time_t when = std::time(nullptr));
  // One lookup: its outcome, the driver's message for an error, and how long it took.
  void RecordLookup(TLisOutcome outcome, double seconds, const std::string& error = {},
                    std::time_t when = std::time(nullptr));
  TLisState State() const;

 private:
  mutable std::mutex mutex_;
  TLisState state_;
};
