#include "db/TMyDB.hpp"

#include <stdexcept>

#include "db/FbApi.hpp"
#include "db/TMyDBImpl.hpp"
#include "db/TMyTransaction.hpp"

Firebird::IAttachment* TMyDB::Impl::Attached(TMyDB& db) {
  if (att) return att;
  (void)fbapi::Master();  // a missing client library is reported before anything else
  // Without a database the client library would try its default server for
  // seconds while every analyzer waits on the one service thread.
  if (db.info.database.empty()) throw std::runtime_error("nenhum banco de dados configurado (\"database\" vazio)");
  // The attach parameters are made afresh for every attach: the character set
  // and the user name and password, once each.
  Firebird::ThrowStatusWrapper st(fbapi::Master()->getStatus());
  try {
    Set(fbapi::Attach(st, db.ConnectionString(),
                      {db.info.user, db.info.password, "WIN1252", db.info.connectTimeoutSeconds}));
  } catch (const Firebird::FbException& e) {
    std::string text = fbapi::ErrorText(e);
    st.dispose();
    Set(nullptr);
    throw std::runtime_error(text);
  }
  st.dispose();
  ++db.attaches_;
  return att;
}

TMyDB::TMyDB(const TMyDBInfo& pMyDBInfo, const std::string& pLogFilename)
    : info(pMyDBInfo), log_(pLogFilename, 300000), impl_(std::make_unique<Impl>()) {}

TMyDB::~TMyDB() { Disconnect(); }

std::string TMyDB::ConnectionString() const { return info.server.empty() ? info.database : info.server + ":" + info.database; }

bool TMyDB::IsConnected() const { return impl_->att != nullptr; }

void TMyDB::SetDBInfo(const TMyDBInfo& pMyDBInfo) { info = pMyDBInfo; }

std::unique_ptr<TMyTransaction> TMyDB::StartTransaction() { return std::make_unique<TMyTransaction>(*this); }

std::unique_ptr<TResultTable> TMyDB::Select(const std::string& pSQL, bool pKeepConnected,
                                            const std::vector<TDbValue>& pParams) {
  std::unique_ptr<TResultTable> table;
  lastError.clear();
  try {
    auto tr = StartTransaction();
    table = tr->Select(pSQL, pParams);
    tr->DoCommit();  // a failed commit after a read is not reported
  } catch (const std::exception& e) {
    // Only an allocation failure gets here; the caller must still get an answer.
    lastError = e.what();
    LogLine(ErrorLine("TMyDB.Select", e.what()) + "\rSQL: " + pSQL);
    table.reset();
  } catch (...) {
    LogLine(ErrorLine("TMyDB.Select", "erro desconhecido") + "\rSQL: " + pSQL);
    table.reset();
  }
  if (!pKeepConnected) Disconnect();
  return table;
}

bool TMyDB::Exec(const std::string& pSQL, bool pParamCheck) {
  auto tr = StartTransaction();
  bool ok = tr->Exec(pSQL, pParamCheck);
  return tr->DoCommit() && ok;
}

void TMyDB::Disconnect() {
  if (!impl_->att) return;
  std::string failure;
  {
    // Cancel() from another thread must not reach the attachment while it goes.
    std::lock_guard<std::mutex> lock(impl_->attLock);
    Firebird::ThrowStatusWrapper st(fbapi::Master()->getStatus());
    try {
      impl_->att->detach(&st);
    } catch (const Firebird::FbException& e) {
      failure = fbapi::ErrorText(e);
      // A connection that cannot be detached is broken: drop it, the next query attaches anew.
      impl_->att->release();
    }
    impl_->att = nullptr;
    st.dispose();
  }
  if (!failure.empty()) LogLine(ErrorLine("TMyDB.Disconnect", failure));
}

bool TMyDB::Connect() {
  try {
    impl_->Attached(*this);
    return true;
  } catch (const std::exception& e) {
    LogLine(ErrorLine("TMyDB.Connect", e.what()));
    return false;
  }
}

bool TMyDB::Ping() {
  if (!impl_->att) return false;
  Firebird::ThrowStatusWrapper st(fbapi::Master()->getStatus());
  bool ok = true;
  try {
    impl_->att->ping(&st);
  } catch (const Firebird::FbException&) {
    ok = false;
  }
  st.dispose();
  return ok;
}

void TMyDB::Cancel() {
  std::lock_guard<std::mutex> lock(impl_->attLock);
  if (!impl_->att) return;
  Firebird::ThrowStatusWrapper st(fbapi::Master()->getStatus());
  try {
    impl_->att->cancelOperation(&st, fb_cancel_raise);
  } catch (const Firebird::FbException&) {
    // Nothing was running, or the connection is gone: either way nothing to stop.
  }
  st.dispose();
}
