#pragma once
#include <functional>
#include <memory>
#include <string>

#include "config/TConfigJson.hpp"
#include "db/TMyDBInfo.hpp"
#include "log/TLog.hpp"
#include "util/TDateTime.hpp"

#include "archive/TArchiveDisk.hpp"
#include "archive/TArchiveWriter.hpp"
#include "clients/TSocketClient.hpp"
#include "status/TLisMonitor.hpp"

class TLisLookups;
class TLisWorkers;
class TMyDB;

// Process-wide state: paths derived from the executable's folder, the service
// log, the configuration, the database object and the client list.
class TGlobal {
 public:
  // exePath: full path of the executable (ExecutablePath() in the service; a
  // test passes its own).
  explicit TGlobal(const std::string& exePath);
  ~TGlobal();

  std::string service_file_name;
  std::string service_file_name_new;
  // Paths are UTF-8 and end folders with the host's separator ("/", or "\\" on Windows).
  std::string path;              // executable folder, ending with the separator
  std::string temp_path;         // path + "temp/"
  std::string spool_path;        // path + "spool/": result messages not yet in the output folder
  std::string log_file_name;     // path + "Logs/Redurozozi.txt"
  std::string db_log_file_name;  // path + "Logs/myDB.txt"
  std::string config_file_name;  // path + lower-cased file name + ".json"
  TMyDBInfo myDBInfo;
  std::unique_ptr<TMyDB> myDB;
  std::unique_ptr<TLisLookups> lis;  // the lookups over myDB (whichever is current) that records make
  // The threads that run host queries' lookups, each on an attachment of its
  // own; while they run, records leave their lookups to the connection layer.
  std::unique_ptr<TLisWorkers> lisWorkers;
  TLisMonitor lisMonitor;            // the LIS state for the status page and metrics
  TClientEvents* events = nullptr;   // what records count (the status service), when there is one
  TFileArchiveWriter archive;        // the archive folder of every client record
  // Keeps complete result messages in spool_path and delivers them to the
  // output folder, on threads of its own (made by StartDisk).
  std::unique_ptr<TArchiveDisk> disk;
  std::unique_ptr<TLog> log_;
  std::unique_ptr<TConfigJson> config;
  std::unique_ptr<TSocketClientList> clients;
  bool reiniciar_monitor = false;

  TClock clock = SystemNow;                                 // time seam for names and records
  std::function<void(int milliseconds)> sleep = DefaultSleep;  // seam for the debug pause

  // Loads the configuration; false (after its error line) when it failed.
  bool loadConfig();
  // Makes myDB from myDBInfo with the database log Logs/myDB.txt.
  void StartMyDB();
  // Starts lisWorkers (threadsLis threads, timeoutLisSegundos) over myDBInfo.
  void StartLisWorkers();
  // Makes disk over spool_path and the archive folder (intervaloReenvioSegundos between attempts); Start is the caller's.
  void StartDisk();
  // The ports a new client record gets: this state's log, configuration, LIS, archive and clock; with disk, its messages wait to be kept.
  TClientContext ClientContext();

  static void DefaultSleep(int milliseconds);
};

// The one process-wide instance; absent until the service object makes it.
extern std::unique_ptr<TGlobal> global;

// Writes one entry to the service log; does nothing while global is absent.
void doLog(const std::string& txt, bool newLine = true);
bool modoDebug();

// Full path of the running executable (UTF-8).
std::string ExecutablePath();
