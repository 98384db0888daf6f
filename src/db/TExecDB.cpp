#include "db/TExecDB.hpp"

#include <cctype>
#include <stdexcept>

#include "db/SqlScript.hpp"
#include "db/TMyDB.hpp"
#include "db/TMyTransaction.hpp"

namespace {

bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

TNamedSql ParseNamedParams(const std::string& pSQL) {
  TNamedSql out;
  const size_t n = pSQL.size();
  size_t i = 0;
  while (i < n) {
    char c = pSQL[i];
    if (c == '\'' || c == '"') {
      const size_t end = fbapi::QuotedEnd(pSQL, i);
      out.sql.append(pSQL, i, end - i);
      i = end;
    } else if (c == '-' && i + 1 < n && pSQL[i + 1] == '-') {
      size_t end = pSQL.find('\n', i);
      end = end == std::string::npos ? n : end;
      out.sql.append(pSQL, i, end - i);
      i = end;
    } else if (c == '/' && i + 1 < n && pSQL[i + 1] == '*') {
      size_t end = pSQL.find("*/", i + 2);
      end = end == std::string::npos ? n : end + 2;
      out.sql.append(pSQL, i, end - i);
      i = end;
    } else if (c == ':' && i + 1 < n && IsNameStart(pSQL[i + 1])) {
      size_t j = i + 1;
      while (j < n && IsNameChar(pSQL[j])) ++j;
      out.names.push_back(pSQL.substr(i + 1, j - i - 1));
      out.sql += '?';
      i = j;
    } else {
      out.sql += c;
      ++i;
    }
  }
  return out;
}

TFieldForExecDB::TFieldForExecDB(const std::string& pName, const TDbValue& pValue, bool pIsKey,
                                 bool pIsAutoIncrement)
    : name(pName),
      value(pValue),
      streamValue(std::make_unique<std::string>()),
      isKey(pIsKey),
      isAutoincrement(pIsAutoIncrement) {}

void TFieldForExecDB::SetStreamValue(std::unique_ptr<std::string> pStream) {
  typeOf = TMyFieldType::mftBlob;
  streamValue = std::move(pStream);
}

std::string TFieldForExecDB::GetCleanName() const {
  std::string s = name;
  for (const std::string& token : {std::string("upper"), std::string("("), std::string(")")}) {
    for (size_t pos; (pos = s.find(token)) != std::string::npos;) s.erase(pos, token.size());
  }
  return s;
}

TExecDB::TExecDB(TMyTransaction* pMyTransaction) : myTransaction(pMyTransaction) {}

void TExecDB::Start(const std::string& pTableName, TExecAction pAction) {
  tableName = pTableName;
  action = pAction;
}

void TExecDB::AddField(std::unique_ptr<TFieldForExecDB> pFieldForExecDB) { fields.push_back(std::move(pFieldForExecDB)); }

std::string TExecDB::GetConditions() const {
  std::string s;
  for (const auto& f : fields) {
    if (!f->isKey) continue;
    if (!s.empty()) s += " and ";
    s += f->name + " = :" + f->GetCleanName();
  }
  return s;
}

std::string TExecDB::GetInsertSQL() const {
  std::string names, values;
  for (const auto& f : fields) {
    if (!names.empty()) {
      names += ", ";
      values += ", ";
    }
    names += f->name;
    values += ":" + f->name;
  }
  return " insert into " + tableName + "(" + names + ") values (" + values + ");";
}

std::string TExecDB::GetUpdateSQL() const {
  std::string s = " update " + tableName + " set";
  bool first = true;
  for (const auto& f : fields) {
    if (f->isKey) continue;
    if (!first) s += ",";
    s += " " + f->name + " = :" + f->name;
    first = false;
  }
  return s + " where " + GetConditions();
}

namespace {

// The value for each marker: the field whose clean name it is (letter case
// ignored, as Firebird names are); null when no field has that name.
std::vector<fbapi::Param> Bind(const std::vector<std::unique_ptr<TFieldForExecDB>>& fields,
                               const std::vector<std::string>& names, bool keysOnly) {
  std::vector<fbapi::Param> params;
  for (const auto& n : names) {
    fbapi::Param p;
    for (const auto& f : fields) {
      if (keysOnly && !f->isKey) continue;
      if (Upper(f->GetCleanName()) != Upper(n)) continue;
      if (f->typeOf == TMyFieldType::mftBlob) {
        p.isBlob = true;
        if (f->streamValue) p.blob = *f->streamValue;
      } else {
        p.value = f->value;
      }
      break;
    }
    params.push_back(std::move(p));
  }
  return params;
}

}  // namespace

bool TExecDB::DoInsertOrUpdate() {
  lastError.clear();
  bool inserting = false;
  try {
    TNamedSql check = ParseNamedParams(" select 1 from " + tableName + " where " + GetConditions());
    auto table = myTransaction->Query(check.sql, Bind(fields, check.names, true), true);
    inserting = table->RecordCount() == 0;
  } catch (const std::exception& e) {
    lastError = e.what();
  }
  if (!lastError.empty()) return false;

  TMyDB& db = myTransaction->myDB;
  try {
    if (inserting) {
      for (auto& f : fields)
        if (f->isKey && f->isAutoincrement) f->value = static_cast<int64_t>(db.GetNewID(tableName, f->name));
    }
    TNamedSql stmt = ParseNamedParams(inserting ? GetInsertSQL() : GetUpdateSQL());
    myTransaction->Query(stmt.sql, Bind(fields, stmt.names, false), false);
    return true;
  } catch (const std::exception& e) {
    db.LogLine(ErrorLine("TExecDB.DoInsertOrUpdate", e.what()));
    return false;
  }
}

bool TExecDB::Execute(bool pAutoCommmit) {
  // Deleting through the builder was never implemented: nothing is done.
  bool result = action == TExecAction::eaInsertOrUpdate ? DoInsertOrUpdate() : false;
  if (pAutoCommmit) {
    if (result)
      myTransaction->DoCommit();
    else
      myTransaction->DoRollback();
  }
  return result;
}
