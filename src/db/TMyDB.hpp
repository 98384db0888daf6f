#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/TMyDBInfo.hpp"
#include "db/TResultTable.hpp"
#include "log/TLog.hpp"

class TMyTransaction;

// The service's only way into the LIS database (Firebird). Attaches on demand
// with lc_ctype WIN1252; failures go to the database log, never to the caller.
class TMyDB {
 public:
  // pLogFilename: full path of the database log (Logs/myDB.txt beside the executable).
  TMyDB(const TMyDBInfo& pMyDBInfo, const std::string& pLogFilename);
  ~TMyDB();
  TMyDB(const TMyDB&) = delete;
  TMyDB& operator=(const TMyDB&) = delete;

  // Runs a query in a transaction of its own; values are bound to the "?"
  // markers of pSQL in order. Returns no table after a failure.
  std::unique_ptr<TResultTable> Select(const std::string& pSQL, bool pKeepConnected,
                                       const std::vector<TDbValue>& pParams = {});
  bool Exec(const std::string& pSQL, bool pParamCheck);
  std::unique_ptr<TMyTransaction> StartTransaction();
  void Disconnect();
  bool Connect();
  void SetDBInfo(const TMyDBInfo& pMyDBInfo);
  int32_t GetNewID(const std::string& pTableName, std::string pFieldName);
  // server ":" database, or database alone when server is empty.
  std::string ConnectionString() const;
  bool IsConnected() const;
  // How many attaches this object has made: a changed count means a new attachment.
  uint64_t AttachCount() const { return attaches_; }
  // True when the attachment answers a ping (false when detached or broken).
  bool Ping();
  // From another thread: asks the database to abandon the statement running
  // on the attachment now (it then fails with a cancel error).
  void Cancel();
  // Writes the database log's entries to `shared` instead of log_ (several
  // objects on one file must not keep copies of it each).
  void UseLog(TLogSink& shared) { sink_ = &shared; }
  // One entry of the database log.
  void LogLine(const std::string& txt) { sink_->make(txt); }

  TMyDBInfo info;
  TLog log_;
  // The driver's message of the last failed Select, empty after a good one
  // (the start-up check shows it to the operator).
  std::string lastError;

  struct Impl;  // Firebird handles
 private:
  friend class TMyTransaction;
  std::unique_ptr<Impl> impl_;
  TLogSink* sink_ = &log_;
  uint64_t attaches_ = 0;
};
