#include "db/TMyTransaction.hpp"

#include <stdexcept>

#include "db/FbApi.hpp"
#include "db/TExecDB.hpp"
#include "db/TMyDB.hpp"
#include "db/TMyDBImpl.hpp"

namespace {

// read_committed, rec_version, nowait.
const unsigned char kTpb[] = {isc_tpb_version3, isc_tpb_read_committed, isc_tpb_rec_version, isc_tpb_nowait};

// Commits or rolls back `tra` (which releases it); on failure it stays open and
// lastError says why.
bool Finish(Firebird::ITransaction*& tra, std::string& lastError, bool commit) {
  if (!tra) return true;
  Firebird::ThrowStatusWrapper st(fbapi::Master()->getStatus());
  bool ok = true;
  try {
    if (commit)
      tra->commit(&st);
    else
      tra->rollback(&st);
    tra = nullptr;
    lastError.clear();
  } catch (const Firebird::FbException& e) {
    lastError = fbapi::ErrorText(e);
    ok = false;
  }
  st.dispose();
  return ok;
}

}  // namespace

struct TMyTransaction::Impl {
  Firebird::ITransaction* tra = nullptr;  // null while idle
};

TMyTransaction::TMyTransaction(TMyDB& pMyDB) : myDB(pMyDB), impl_(std::make_unique<Impl>()) {}

TMyTransaction::~TMyTransaction() {
  if (impl_->tra) {
    Firebird::ThrowStatusWrapper st(fbapi::Master()->getStatus());
    try {
      impl_->tra->rollback(&st);
    } catch (const Firebird::FbException&) {
      impl_->tra->release();
    }
    impl_->tra = nullptr;
    st.dispose();
  }
  execList.clear();
}

bool TMyTransaction::IsActive() const { return impl_->tra != nullptr; }

void TMyTransaction::EnsureStarted() {
  Firebird::IAttachment* att = myDB.impl_->Attached(myDB);
  if (impl_->tra) return;
  Firebird::ThrowStatusWrapper st(fbapi::Master()->getStatus());
  try {
    impl_->tra = att->startTransaction(&st, sizeof kTpb, kTpb);
  } catch (const Firebird::FbException& e) {
    std::string text = fbapi::ErrorText(e);
    st.dispose();
    throw std::runtime_error(text);
  }
  st.dispose();
}

std::unique_ptr<TResultTable> TMyTransaction::Query(const std::string& pSQL,
                                                    const std::vector<fbapi::Param>& pParams, bool pWantRows) {
  EnsureStarted();
  auto table = pWantRows ? std::make_unique<TResultTable>() : nullptr;
  fbapi::Run(myDB.impl_->att, impl_->tra, pSQL, pParams, table.get(), [&](const std::string& err) {
    myDB.LogLine(ErrorLine("TMyTransaction.Select", err, ":: \"Copiar dados\"") + "\rSQL: " + pSQL);
  });
  return table;
}

std::unique_ptr<TResultTable> TMyTransaction::Select(const std::string& pSQL, const std::vector<TDbValue>& pParams) {
  try {
    return Query(pSQL, fbapi::ToParams(pParams), true);
  } catch (const std::exception& e) {
    // A failure part-way through the rows gives no table at all: a partial
    // list of orders or tests would pass for a complete one.
    myDB.lastError = e.what();
    myDB.LogLine("TMyTransaction.Select() -> Erro:" + std::string(e.what()) + "\rSQL: " + pSQL);
    return nullptr;
  } catch (...) {
    myDB.lastError = "erro desconhecido";
    myDB.LogLine("TMyTransaction.Select() -> Erro:erro desconhecido\rSQL: " + pSQL);
    return nullptr;
  }
}

bool TMyTransaction::Exec(const std::string& pSQL, bool pParamCheck, const std::vector<TDbValue>& pParams) {
  try {
    std::vector<fbapi::Param> params = fbapi::ToParams(pParams);
    std::string text = pSQL;
    if (pParamCheck) {
      TNamedSql named = ParseNamedParams(pSQL);
      if (!named.names.empty()) {
        text = named.sql;
        params.resize(named.names.size());
      }
    }
    Query(text, params, false);
    return true;
  } catch (const std::exception& e) {
    myDB.LogLine("TMyTransaction.Exec() -> Erro:" + std::string(e.what()) + "\rSQL: " + pSQL);
    return false;
  } catch (...) {
    myDB.LogLine("TMyTransaction.Exec() -> Erro:erro desconhecido\rSQL: " + pSQL);
    return false;
  }
}

bool TMyTransaction::DoCommit() { return Finish(impl_->tra, lastError, true); }

bool TMyTransaction::DoRollback() { return Finish(impl_->tra, lastError, false); }

TExecDB* TMyTransaction::GetNewExec() {
  execList.push_back(std::make_unique<TExecDB>(this));
  return execList.back().get();
}
