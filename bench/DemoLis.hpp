#pragma once
// The demo LIS database the benchmark programs query. Header-only: every
// bench/*.cpp is a program of its own.
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "db/FbApi.hpp"
#include "db/SqlScript.hpp"

namespace bench {

// A fresh database at `file` (embedded engine) made from demoDir/lis_schema.sql
// and demoDir/lis_demo_data.sql, every statement in a transaction of its own.
// Throws std::runtime_error naming the file or script that failed.
inline void CreateDemoLis(const std::string& file, const std::string& demoDir) {
  Firebird::ThrowStatusWrapper status(fbapi::Master()->getStatus());
  Firebird::IAttachment* att = nullptr;
  std::string where = "cannot create " + file;
  try {
    att = fbapi::CreateDatabase(status, file, {"SYSDBA", "masterkey", "UTF8"}, "WIN1252", false);
    for (const char* script : {"/lis_schema.sql", "/lis_demo_data.sql"}) {
      where = demoDir + script;
      std::ifstream in(where, std::ios::binary);
      if (!in) throw std::runtime_error("cannot read " + where);
      std::stringstream text;
      text << in.rdbuf();
      for (const auto& stmt : fbapi::SplitSqlScript(text.str())) {
        Firebird::ITransaction* tra = att->startTransaction(&status, 0, nullptr);
        att->execute(&status, tra, 0, stmt.c_str(), 3, nullptr, nullptr, nullptr, nullptr);
        tra->commit(&status);
      }
    }
  } catch (const Firebird::FbException& e) {
    const std::string why = where + ": " + fbapi::ErrorText(e);
    fbapi::Release(att);
    status.dispose();
    throw std::runtime_error(why);
  } catch (...) {
    fbapi::Release(att);
    status.dispose();
    throw;
  }
  fbapi::Release(att);
  status.dispose();
}

}  // namespace bench
