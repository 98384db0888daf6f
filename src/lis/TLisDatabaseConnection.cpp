#include "lis/TLisDatabaseConnection.hpp"

TLisDatabaseConnection::TLisDatabaseConnection(const TMyDBInfo& info, const std::string& dbLogFile, TLogSink& dbLog,
                                               std::function<bool()> debug, TLogSink* log)
    : db_(info, dbLogFile), lookups_([this] { return &db_; }, std::move(debug), log, true) {
  db_.UseLog(dbLog);
}

TLisAnswer TLisDatabaseConnection::Check() {
  TLisAnswer answer;
  // The attachment stays: the first lookup finds it open.
  answer.pedido = db_.Select("select 1 from rdb$database", true);
  if (!answer.pedido) {
    answer.erroPedido = db_.lastError;
    db_.Disconnect();
  }
  return answer;
}
