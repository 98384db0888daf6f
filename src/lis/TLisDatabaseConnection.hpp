#pragma once
#include <functional>
#include <memory>

#include "db/TMyDB.hpp"
#include "lis/TLisWorkers.hpp"

// One LIS worker's way into the database: a database object of its own that
// keeps its attachment between lookups, writing to the shared database log,
// and the lookups over it.
class TLisDatabaseConnection : public TLisWorkers::TConnection {
 public:
  // info: the LIS connection (its connectTimeoutSeconds bounds an attach);
  // dbLog: the database log shared by every worker; debug and log as for TLisDatabaseLookups.
  TLisDatabaseConnection(const TMyDBInfo& info, const std::string& dbLogFile, TLogSink& dbLog,
                         std::function<bool()> debug, TLogSink* log);

  // (Each lookup starts with no failure of an earlier one in LastError.)
  TLisLookups& Lookups() override {
    db_.lastError.clear();
    return lookups_;
  }
  TLisAnswer Check() override;
  void Cancel() override { db_.Cancel(); }
  std::string LastError() const override { return db_.lastError; }

 private:
  TMyDB db_;
  TLisDatabaseLookups lookups_;
};
