#pragma once
#include <array>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "clients/TClientEvents.hpp"
#include "status/TFolderWatch.hpp"
#include "status/TStatusSetup.hpp"
#include "status/TStatusSnapshot.hpp"

struct TArchiveEntry;

// Gathers, on the service thread, what the status page, /health and /metrics
// show: the records' events, the connections, the delivered archive files,
// and on each Tick the folders and the alarms; Build takes the snapshot.
class TStatusCollector : public TClientEvents {
 public:
  // What it shows comes from setup; started: when the service started
  // (without it: now, by the setup's clock).
  TStatusCollector(TStatusSetup setup, std::time_t started);
  explicit TStatusCollector(TStatusSetup setup);

  const TStatusSetup& Setup() const { return setup_; }
  // Takes the folders' facts from the watch (its thread looks at them) instead
  // of looking at them on each Tick; null: look here.
  void UseFolderWatch(const TFolderWatch* watch) { watch_ = watch; }

  // --- TClientEvents
  void ResultReceived(const TSocketClient& client) override;
  void QueryAnswered(const TSocketClient& client, bool found) override;
  void ReplyQueued(const TSocketClient& client) override;
  void ChecksumRefused(const TSocketClient& client) override;
  void DuplicateFrame(const TSocketClient& client) override;
  void ErrorLogged(const TSocketClient& client, const std::string& line) override;

  // --- the connection events and the delivery (without a time: the setup's clock)
  void Connected(const TSocketClient* client, const std::string& id);
  void Disconnected(const TSocketClient* client);
  void Received(const TSocketClient* client) { Received(client, setup_.now()); }
  void Received(const TSocketClient* client, std::time_t when);
  void NakReceived(const TSocketClient& client);
  void Delivered(const TArchiveEntry& entry) { Delivered(entry, setup_.now()); }
  void Delivered(const TArchiveEntry& entry, std::time_t when);

  // Day change, silence and import alarms (one log line each way), folder checks.
  void Tick() { Tick(setup_.now()); }
  void Tick(std::time_t now);
  std::shared_ptr<const TStatusSnapshot> Build() const { return Build(setup_.now()); }
  std::shared_ptr<const TStatusSnapshot> Build(std::time_t now) const;

  // Spool waiting longer than this is a health reason.
  static constexpr int32_t SPOOL_ALARM_MINUTES = 10;
  // The output folder is looked at this often (seconds): it may hold many files.
  static constexpr int FOLDER_SCAN_SECONDS = 2;

 private:
  struct TModel {
    TAnalyzerStatus row;
    int day = 0;  // yyyymmdd of the today's counts
    // Results per local hour, a ring of RESULT_HOURS: slot i counts the hour
    // that starts at hourOf[i] (a slot of an older hour counts as 0).
    std::array<std::time_t, RESULT_HOURS> hourOf{};
    std::array<uint32_t, RESULT_HOURS> perHour{};
  };
  struct TConnection {
    std::string id;
    std::time_t lastReceived = 0;
    // Link events before the analyzer was identified (its header comes with
    // the transfer's end), credited to its model once it is.
    uint64_t checksumErrors = 0, duplicates = 0, naks = 0;
  };

  TModel& Model(const std::string& modelo, const std::string& protocolo);
  // The model row of an identified record; null before identification.
  TModel* ModelOf(const TSocketClient& client);
  TCounterRow& Counter(const std::string& modelo, const std::string& protocolo);
  TCounterRow* CounterOf(const TSocketClient& client);
  // The connection's record, or null when it is not connected.
  TConnection* ConnectionOf(const TSocketClient& client);
  // The chart's series of a model at the hour that starts at hourNow.
  static std::vector<uint32_t> ResultsPerHour(const TModel* m, std::time_t hourNow);
  // Credits what the connection counted before identification.
  void Settle(const TSocketClient* client, TConnection& conn);
  void ScanFolders(std::time_t now);
  void CheckSilence(std::time_t now);
  // Into the setup's log (the service log in the service).
  void Log(const std::string& txt) const;
  void CheckImport(std::time_t now);

  const TStatusSetup setup_;
  std::time_t started_;
  int today_ = 0;
  std::map<std::string, TModel> models_;
  std::map<std::pair<std::string, std::string>, TCounterRow> counters_;
  std::map<const TSocketClient*, TConnection> connections_;
  // Folder facts, refreshed every FOLDER_SCAN_SECONDS.
  std::time_t lastScan_ = 0;
  bool outputWritable_ = false, spoolWritable_ = false, freeKnown_ = false, importAlarm_ = false;
  uint64_t freeBytes_ = 0;
  std::time_t oldestWaitingFile_ = 0;
  const TFolderWatch* watch_ = nullptr;
};

// The start of the local hour that holds t.
std::time_t HourStart(std::time_t t);
// The protocol's name on the page and in the metrics ("" before identification).
std::string ProtocolName(int32_t id);
// An error text as one short line: its first two non-empty lines, at most 200 characters.
std::string ShortErrorLine(const std::string& text);
