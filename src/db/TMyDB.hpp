#pragma once
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

  TMyDBInfo info;
  TLog log_;
  // The driver's message of the last failed Select, empty after a good one
  // (the start-up check shows it to the operator).
  std::string lastError;

  struct Impl;  // Firebird handles
 private:
  friend class TMyTransaction;
  std::unique_ptr<Impl> impl_;
};
