#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "status/TStatusSnapshot.hpp"
#include "util/TDateTime.hpp"

class TLisMonitor;
class TLog;

// A configured analyzer as the status page shows it.
struct TStatusAnalyzer {
  std::string model;  // modelo
  int32_t silenceMinutes = 0;  // alertaSilencioMinutos; 0: no silence alarm
};

// What the status service shows and where it reads what changes, filled in
// by the composition root: status reads nothing of the process-wide state.
// Texts are Windows-1252 unless said otherwise.
struct TStatusSetup {
  // --- fixed for the run (from the configuration)
  std::vector<TStatusAnalyzer> analyzers;  // as configured, in the file's order
  std::string outputFolder;                // pastaSaida
  std::string spoolFolder;                 // UTF-8
  int32_t importAlarmMinutes = 0;          // alertaImportacaoMinutos; 0: no import alarm
  int32_t diskAlarmSeconds = 60;           // alertaEntregaSegundos
  int port = 0;                            // portaStatus; 0: no HTTP server
  std::string address;                     // enderecoStatus
  std::string token;                       // tokenStatus; "" for none
  std::string version;                     // shown on the page and in the metrics

  // --- sources (each may be absent)
  TLog* log = nullptr;               // the service log: the alarm lines, its restarts and recent errors
  const TLisMonitor* lis = nullptr;  // the LIS checks and lookups
  std::function<size_t()> spoolPending;                   // result messages waiting for the output folder
  std::function<std::optional<TDateTime>()> spoolOldest;  // when the oldest of them was complete
  // How long the disk's work on the output folder (or the spool) has not returned.
  std::function<std::chrono::milliseconds()> diskBusyFor;
  std::function<std::time_t()> now = [] { return std::time(nullptr); };  // the wall clock
  std::function<std::vector<TStatusLink>()> links;       // the links the service opens itself, on the loop
};
