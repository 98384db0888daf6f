#include "lis/TLisLookups.hpp"

#include <exception>

#include "db/TMyDB.hpp"
#include "lis/LisStatements.hpp"
#include "log/TLogSink.hpp"

namespace {
// A kept attachment idle this long is pinged before its next statement: the
// LIS server may have been restarted meanwhile.
constexpr auto IDLE_CHECK = std::chrono::seconds(30);
}  // namespace

TLisDatabaseLookups::TLisDatabaseLookups(std::function<TMyDB*()> db, std::function<bool()> debug, TLogSink* log,
                                         bool keepConnected)
    : db_(std::move(db)), debug_(std::move(debug)), log_(log), keepConnected_(keepConnected) {}

std::unique_ptr<TResultTable> TLisDatabaseLookups::Select(TMyDB& db, const std::string& sql,
                                                          const std::vector<TDbValue>& params) {
  if (!keepConnected_) return db.Select(sql, false, params);
  const auto now = std::chrono::steady_clock::now();
  if (db.IsConnected() && now - lastUse_ > IDLE_CHECK && !db.Ping()) db.Disconnect();
  const bool reused = db.IsConnected();
  auto table = db.Select(sql, true, params);
  lastUse_ = std::chrono::steady_clock::now();
  if (table || !db.IsConnected() || db.Ping()) return table;  // a statement error: the attachment is fine
  // The attachment broke under the statement: once more on a new one.
  db.Disconnect();
  if (!reused) return nullptr;
  table = db.Select(sql, true, params);
  if (!table && !db.Ping()) db.Disconnect();
  return table;
}

std::optional<lis::CodeColumn> TLisDatabaseLookups::CodeColumn(TMyDB& db) {
  if (keepConnected_ && db.IsConnected() && codeColumnAttach_ == db.AttachCount()) return codeColumn_;
  auto table = Select(db, lis::CODE_COLUMN_TYPE, {});
  if (!table) return std::nullopt;
  codeColumn_ = table->RecordCount() > 0 ? lis::CodeColumnOf(table->AsInteger("rdb$field_type")) : lis::CodeColumn::Number;
  codeColumnAttach_ = db.AttachCount();
  return codeColumn_;
}

bool TLisDatabaseLookups::Debug() const { return debug_ && debug_(); }

void TLisDatabaseLookups::Log(const std::string& txt) const {
  if (log_) log_->make(txt);
}

std::unique_ptr<TAparelhoTevarin> TLisDatabaseLookups::GetAparelhoTevarin(const TAnalisador& a) {
  TMyDB* db = db_ ? db_() : nullptr;
  if (!db) return nullptr;
  const bool buscarExames = a.exames.empty();
  lis::Statement st = lis::DeviceStatement(lis::DeviceName(a), buscarExames);

  auto table = Select(*db, st.sql, st.params);
  if (!table) return nullptr;  // the database log has the failure
  if (table->RecordCount() == 0) {
    Log("GetAparelhoTevarinInDB() -> Nada encontrado. SQL: \r" + st.sql + "\r" + lis::DescribeParams(st.params));
    return nullptr;
  }
  auto aparelho = std::make_unique<TAparelhoTevarin>();
  table->First();
  aparelho->codigo = static_cast<int32_t>(table->AsInteger("apa_cod"));
  if (buscarExames) {
    for (; !table->Eof(); table->Next()) aparelho->exames.push_back(table->AsString("exa_cod"));
  } else {
    for (const TExame* e : a.exames) aparelho->exames.push_back(std::to_string(e->codigo));
  }
  return aparelho;
}

std::unique_ptr<TResultTable> TLisDatabaseLookups::GetDadosProtocolo(const TAnalisador& pAnalisador,
                                                                     const std::string& pProtocolo) {
  if (pProtocolo.empty()) return nullptr;
  try {
    std::vector<int32_t> configured;
    for (const TExame* e : pAnalisador.exames) configured.push_back(e->codigo);
    if (!lis::OrderStatement(lis::DeviceName(pAnalisador), configured, pProtocolo)) {
      if (Debug())
        Log("TSocketClient.GetDadosProtocolo() -> C\xF3" "digo de pedido n\xE3o num\xE9rico: '" + pProtocolo + "'");
      return nullptr;
    }
    TMyDB* db = db_ ? db_() : nullptr;
    if (!db) return nullptr;
    // The comparison depends on how the LIS stores the code; a database that
    // cannot say is one the order statement would fail on too.
    const std::optional<lis::CodeColumn> column = CodeColumn(*db);
    if (!column) return nullptr;
    auto st = lis::OrderStatement(lis::DeviceName(pAnalisador), configured, pProtocolo, *column);
    if (Debug()) Log("TSocketClient.GetDadosProtocolo\r" + st->sql + "\r" + lis::DescribeParams(st->params));
    return Select(*db, st->sql, st->params);
  } catch (const std::exception& e) {
    LogError(log_, "TSocketClient.GetDadosProtocolo", e);
    return nullptr;
  }
}

std::unique_ptr<TResultTable> TLisDatabaseLookups::GetExamesProtocolo(const TAnalisador& pAnalisador,
                                                                      int32_t pPED_COD) {
  if (!pAnalisador.aparelhoTevarin) return nullptr;
  auto st = lis::ExamNamesStatement(pPED_COD, pAnalisador.aparelhoTevarin->codigo, pAnalisador.aparelhoTevarin->exames);
  TMyDB* db = db_ ? db_() : nullptr;
  if (!st || !db) return nullptr;
  return Select(*db, st->sql, st->params);
}
