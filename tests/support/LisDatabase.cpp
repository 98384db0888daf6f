#include "support/LisDatabase.hpp"

#include <cctype>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/FbApi.hpp"
#include "db/SqlScript.hpp"
#include "support/TestSupport.hpp"

namespace kvtest {

namespace {

std::string ConnectionString(const TMyDBInfo& info) {
  return info.server.empty() ? info.database : info.server + ":" + info.database;
}

bool IsDdl(const std::string& stmt) {
  std::string head;
  for (char c : stmt) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!head.empty()) break;
      continue;
    }
    head += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return head == "create" || head == "alter" || head == "drop" || head == "recreate" || head == "set" ||
         head == "comment";
}

// Runs every statement; DDL is committed on its own so that later statements
// see it, runs of data statements share one transaction.
void RunStatements(Firebird::IAttachment* att, Firebird::ThrowStatusWrapper& status,
                   const std::vector<std::string>& statements) {
  Firebird::ITransaction* tra = nullptr;
  auto commit = [&] {
    if (tra) {
      tra->commit(&status);
      tra = nullptr;
    }
  };
  try {
    for (const auto& stmt : statements) {
      bool ddl = IsDdl(stmt);
      if (ddl) commit();
      if (!tra) tra = att->startTransaction(&status, 0, nullptr);
      try {
        att->execute(&status, tra, 0, stmt.c_str(), 3, nullptr, nullptr, nullptr, nullptr);
      } catch (const Firebird::FbException& e) {
        throw std::runtime_error("SQL script failed: " + fbapi::ErrorText(e) + "\nstatement: " + stmt);
      }
      if (ddl) commit();
    }
    commit();
  } catch (...) {
    if (tra) {
      try {
        tra->rollback(&status);
      } catch (const Firebird::FbException&) {
        tra->release();
      }
    }
    throw;
  }
}

void RunOn(Firebird::IAttachment* att, const std::string& sqlText) {
  Firebird::ThrowStatusWrapper status(fbapi::Master()->getStatus());
  try {
    RunStatements(att, status, fbapi::SplitSqlScript(sqlText));
  } catch (...) {
    status.dispose();
    throw;
  }
  status.dispose();
}

}  // namespace

TMyDBInfo CreateLisDatabase(const std::string& folder, const std::string& fileName) {
  TMyDBInfo info;
  info.database = folder + "/" + fileName;
  info.user = "SYSDBA";
  info.password = "masterkey";
  std::filesystem::create_directories(folder);
  std::filesystem::remove(info.database);

  Firebird::ThrowStatusWrapper status(fbapi::Master()->getStatus());
  Firebird::IAttachment* att = nullptr;
  try {
    // Scripts are UTF-8; the engine converts to the WIN1252 columns.
    att = fbapi::CreateDatabase(status, info.database, {info.user, info.password, "UTF8"}, "WIN1252",
                                /*forcedWrites=*/false);
  } catch (const Firebird::FbException& e) {
    status.dispose();
    throw std::runtime_error("cannot create " + info.database + ": " + fbapi::ErrorText(e));
  }
  status.dispose();
  try {
    RunOn(att, ReadFile(std::string(KV_SOURCE_DIR) + "/demo/lis_schema.sql"));
    RunOn(att, ReadFile(std::string(KV_SOURCE_DIR) + "/demo/lis_demo_data.sql"));
  } catch (...) {
    fbapi::Release(att);
    throw;
  }
  fbapi::Release(att);
  return info;
}

void RunSqlScript(const TMyDBInfo& info, const std::string& sqlText) {
  Firebird::ThrowStatusWrapper status(fbapi::Master()->getStatus());
  Firebird::IAttachment* att = nullptr;
  try {
    att = fbapi::Attach(status, ConnectionString(info), {info.user, info.password, "UTF8"});
  } catch (const Firebird::FbException& e) {
    status.dispose();
    throw std::runtime_error("cannot attach " + ConnectionString(info) + ": " + fbapi::ErrorText(e));
  }
  status.dispose();
  try {
    RunOn(att, sqlText);
  } catch (...) {
    fbapi::Release(att);
    throw;
  }
  fbapi::Release(att);
}

}  // namespace kvtest
