#pragma once
#include <string>

#include "config/TConfigJson.hpp"

namespace kvtest {

// Creates a fresh LIS database file from demo/lis_schema.sql and
// demo/lis_demo_data.sql in `folder` (embedded engine) and answers the
// connection settings that open it (server empty, database = the file path).
TMyDBInfo CreateLisDatabase(const std::string& folder, const std::string& fileName = "lis.fdb");

// Runs an SQL script (statements ended by ";") against the database.
void RunSqlScript(const TMyDBInfo& info, const std::string& sqlText);

}  // namespace kvtest
