#pragma once
#include <memory>
#include <string>
#include <vector>

#include "db/FbStatement.hpp"
#include "db/TResultTable.hpp"

class TMyDB;
class TExecDB;

// One transaction of its own on the database connection (read committed,
// record version, no wait); rolled back when freed while still active.
class TMyTransaction {
 public:
  explicit TMyTransaction(TMyDB& pMyDB);
  ~TMyTransaction();
  TMyTransaction(const TMyTransaction&) = delete;
  TMyTransaction& operator=(const TMyTransaction&) = delete;

  // A query; values bound to the "?" markers in order. No table after a failure (logged).
  std::unique_ptr<TResultTable> Select(const std::string& pSQL, const std::vector<TDbValue>& pParams = {});
  // A statement without rows; with pParamCheck, ":name" markers become parameters
  // (bound from pParams in order of appearance, null when missing). False after a failure (logged).
  bool Exec(const std::string& pSQL, bool pParamCheck, const std::vector<TDbValue>& pParams = {});
  // End the transaction when it is active; a failure is kept in lastError.
  bool DoCommit();
  bool DoRollback();
  // A new insert/update builder on this transaction, owned by it.
  TExecDB* GetNewExec();
  bool IsActive() const;

  // Runs a statement, throwing std::runtime_error on failure (for the builder,
  // whose failures go elsewhere than Select's).
  std::unique_ptr<TResultTable> Query(const std::string& pSQL, const std::vector<fbapi::Param>& pParams,
                                      bool pWantRows);

  TMyDB& myDB;
  std::vector<std::unique_ptr<TExecDB>> execList;
  std::string lastError;

 private:
  void EnsureStarted();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
