#pragma once
#include <memory>
#include <string>

#include "config/TConfigJson.hpp"
#include "db/TMyDB.hpp"
#include "support/LisDatabase.hpp"
#include "support/TestSupport.hpp"
#include "util/TDateTime.hpp"

namespace dbtest {

// The time every log entry of these tests carries.
inline TDateTime LogTime() { return TDateTime{2026, 12, 9, 10, 30, 0, 0}; }
inline const std::string kStamp = "09/12/2026 10:30:00\t";

// A TMyDB with its log in `logPath` stamped with LogTime().
inline std::unique_ptr<TMyDB> MakeDB(const TMyDBInfo& info, const std::string& logPath) {
  auto db = std::make_unique<TMyDB>(info, logPath);
  db->log_.now = FixedClock(LogTime());
  return db;
}

// The log's entries (newest first), read after everything pending was written.
inline std::string LogText(TMyDB& db) {
  db.log_.flush();
  return kvtest::ReadFile(db.log_.file_name);
}

inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size())) ++n;
  return n;
}

// Settings that reach the same database file through the Firebird server named
// by KV_FB_SERVER (SYSDBA, password from KV_FB_PASSWORD_FILE); empty server
// when the variable is not set. The folder and file are opened to the server's user.
TMyDBInfo ThroughServer(const TMyDBInfo& embedded, const std::string& folder);

// Reads ISC_PASSWORD from a Debian SYSDBA.password file ("" when absent).
std::string ParseSysdbaPassword(const std::string& fileText);

}  // namespace dbtest
