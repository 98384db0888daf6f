#pragma once
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "links/TReconnectPolicy.hpp"
#include "status/TLisMonitor.hpp"

// Counts per analyzer model and protocol since the start (for the metrics).
struct TCounterRow {
  std::string model;     // the analyzer's modelo
  std::string protocol;  // "ASTM", "HL7", "JSON" or "" before identification
  uint64_t archived = 0;  // archive files written
  uint64_t replies = 0;   // reply messages queued
  uint64_t naks = 0;      // NAKs received from the analyzer
  uint64_t checksumErrors = 0;
  uint64_t duplicates = 0;
};

// The results-per-hour chart covers this many hours, the one under way the last.
inline constexpr size_t RESULT_HOURS = 24;

// One row of the page: a configured analyzer, or a connected one that matches none.
struct TAnalyzerStatus {
  std::string model;     // the analyzer's modelo
  std::string protocol;
  bool configured = true;
  std::vector<std::string> connections;  // "host:port" of each open connection
  std::time_t lastReceived = 0;          // 0: never since the start
  std::time_t lastArchived = 0;
  // Today's counts (reset at local midnight).
  uint64_t results = 0, queries = 0, naks = 0, checksumErrors = 0;
  // Results per hour, RESULT_HOURS of them, oldest first, ending with the hour
  // under way (TStatusSnapshot::hourNow); empty in the collector's own rows.
  std::vector<uint32_t> resultsPerHour;
  std::string lastError;                 // one line, Windows-1252
  std::time_t lastErrorAt = 0;
  int32_t silenceMinutes = 0;            // the alarm's setting (0: off)
  bool silent = false;                   // the alarm is raised
};

// A link the service opens itself for a configured analyzer (portaSerial, conectarEm).
struct TStatusLink {
  std::string model;  // the analyzer's modelo
  TLinkStatus link;   // its name, open or reopening since when, the last failure
};

// Everything the status page, /health and /metrics show, taken at one moment
// on the service thread. Immutable once published; texts are Windows-1252.
struct TStatusSnapshot {
  std::time_t taken = 0;
  std::time_t hourNow = 0;  // start of the local hour under way: the last bar of each chart
  std::time_t started = 0;
  std::string version;
  TLisState lis;
  std::string outputFolder;
  bool outputWritable = false;
  bool freeKnown = false;
  uint64_t freeBytes = 0;
  bool spoolWritable = false;
  size_t spoolDepth = 0;
  std::time_t spoolOldest = 0;      // 0: nothing waits
  int32_t spoolAlarmMinutes = 0;    // waiting longer than this is a health reason
  std::time_t oldestWaitingFile = 0;  // oldest archive file not yet imported (0: none)
  int64_t folderSilentSeconds = 0;  // the output folder (or the spool) has not answered for this long
  int32_t folderAlarmSeconds = 60;  // from this long on it is a health reason
  int32_t importAlarmMinutes = 0;   // 0: off
  bool importAlarm = false;
  std::vector<TAnalyzerStatus> analyzers;
  std::vector<TCounterRow> counters;
  size_t openConnections = 0;
  std::vector<TStatusLink> links;  // in the configuration's order
  uint64_t logRestarts = 0;
  uint64_t residentBytes = 0;
  std::vector<std::string> recentErrors;  // newest first
};

// Where the service thread publishes snapshots and the HTTP thread reads them.
class TStatusBoard {
 public:
  void Publish(std::shared_ptr<const TStatusSnapshot> s) {
    std::lock_guard lk(mutex_);
    current_ = std::move(s);
  }
  std::shared_ptr<const TStatusSnapshot> Current() const {
    std::lock_guard lk(mutex_);
    return current_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const TStatusSnapshot> current_;
};
