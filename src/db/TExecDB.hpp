#pragma once
#include <memory>
#include <string>
#include <vector>

#include "db/TResultTable.hpp"

class TMyTransaction;

enum class TExecAction { eaInsertOrUpdate = 0, eaDelete = 1 };
enum class TMyFieldType { mftSimple = 0, mftBlob = 1 };

// One column for the insert/update builder.
class TFieldForExecDB {
 public:
  TFieldForExecDB(const std::string& pName, const TDbValue& pValue, bool pIsKey, bool pIsAutoIncrement);

  // Makes this a blob field whose content is pStream (none binds null).
  void SetStreamValue(std::unique_ptr<std::string> pStream);
  // name without "upper", "(" and ")": the name of the field's statement parameter.
  std::string GetCleanName() const;

  TMyFieldType typeOf = TMyFieldType::mftSimple;
  std::string name;                          // column name, possibly inside upper(...)
  TDbValue value;                            // value of a simple field
  std::unique_ptr<std::string> streamValue;  // content of a blob field
  bool isKey = false;                        // part of the row's key
  bool isAutoincrement = false;              // key drawn from a generator on insert
};

// Inserts a row when no row with the key values exists, updates it otherwise.
class TExecDB {
 public:
  explicit TExecDB(TMyTransaction* pMyTransaction);

  void Start(const std::string& pTableName, TExecAction pAction);
  // The builder takes ownership of the field.
  void AddField(std::unique_ptr<TFieldForExecDB> pFieldForExecDB);
  // Runs the action; with pAutoCommmit the transaction is committed on success, rolled back otherwise.
  bool Execute(bool pAutoCommmit);

  std::string GetConditions() const;
  std::string GetInsertSQL() const;
  std::string GetUpdateSQL() const;
  bool DoInsertOrUpdate();

  TMyTransaction* myTransaction;  // not owned
  std::vector<std::unique_ptr<TFieldForExecDB>> fields;
  TExecAction action = TExecAction::eaInsertOrUpdate;
  std::string tableName;
  std::string lastError;  // error of a failed existence check
};

// ":name" markers outside quotes and comments become "?"; names in order of appearance.
struct TNamedSql {
  std::string sql;
  std::vector<std::string> names;
};
TNamedSql ParseNamedParams(const std::string& pSQL);
