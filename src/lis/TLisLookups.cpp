#include "lis/TLisLookups.hpp"

#include <exception>

#include "db/TMyDB.hpp"
#include "lis/LisStatements.hpp"
#include "log/TLogSink.hpp"

TLisDatabaseLookups::TLisDatabaseLookups(std::function<TMyDB*()> db, std::function<bool()> debug, TLogSink* log)
    : db_(std::move(db)), debug_(std::move(debug)), log_(log) {}

bool TLisDatabaseLookups::Debug() const { return debug_ && debug_(); }

void TLisDatabaseLookups::Log(const std::string& txt) const {
  if (log_) log_->make(txt);
}

std::unique_ptr<TAparelhoTevarin> TLisDatabaseLookups::GetAparelhoTevarin(const TAnalisador& a) {
  TMyDB* db = db_ ? db_() : nullptr;
  if (!db) return nullptr;
  const bool buscarExames = a.exames.empty();
  lis::Statement st = lis::DeviceStatement(lis::DeviceName(a), buscarExames);

  auto table = db->Select(st.sql, false, st.params);
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
    auto st = lis::OrderStatement(lis::DeviceName(pAnalisador), configured, pProtocolo);
    if (!st) {
      if (Debug())
        Log("TSocketClient.GetDadosProtocolo() -> C\xF3" "digo de pedido n\xE3o num\xE9rico: '" + pProtocolo + "'");
      return nullptr;
    }
    if (Debug()) Log("TSocketClient.GetDadosProtocolo\r" + st->sql + "\r" + lis::DescribeParams(st->params));
    TMyDB* db = db_ ? db_() : nullptr;
    if (!db) return nullptr;
    return db->Select(st->sql, false, st->params);
  } catch (const std::exception& e) {
    LogError(log_, "TSocketClient.GetDadosProtocolo", e);
    return nullptr;
  }
}

std::unique_ptr<TResultTable> TLisDatabaseLookups::GetExamesProtocolo(const TAnalisador& pAnalisador,
                                                                      int32_t pPED_COD) {
  if (!pAnalisador.aparelhoTevarin) return nullptr;
  auto st = lis::ExamNamesStatement(pPED_COD, pAnalisador.aparelhoTevarin->exames);
  TMyDB* db = db_ ? db_() : nullptr;
  if (!st || !db) return nullptr;
  return db->Select(st->sql, false, st->params);
}
