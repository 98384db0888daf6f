#include <cctype>

#include "db/TMyDB.hpp"

namespace {

// Firebird 3 names are at most 31 characters.
constexpr size_t MAX_NAME_LENGTH = 31;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

int32_t TMyDB::GetNewID(const std::string& pTableName, std::string pFieldName) {
  if (pFieldName.empty()) pFieldName = pTableName.substr(0, 3) + "_cod";
  std::string genName = "GEN_" + pTableName;
  if (genName.size() > MAX_NAME_LENGTH) genName.resize(MAX_NAME_LENGTH);

  int64_t value = -1;
  auto next = Select("select gen_id(" + genName + ", 1) as codigo from rdb$DataBase", true);
  if (next && next->RecordCount() > 0) value = next->AsInteger("codigo");

  if (value == -1) {
    // No such generator: start it after the highest key in use.
    int64_t highest = 1000;
    auto exists = Select("select 1 from rdb$relations where upper(rdb$relation_name) = ?", true,
                         {TDbValue(Upper(pTableName))});
    if (exists && exists->RecordCount() > 0) {
      auto last = Select("select max(" + pFieldName + ") as ultimo from " + pTableName, true);
      highest = last && last->RecordCount() > 0 ? last->AsInteger("ultimo") : 0;
    }
    Exec("CREATE GENERATOR " + genName + ";", true);
    value = highest + 1;
    Exec("SET GENERATOR " + genName + " TO " + std::to_string(value) + ";", true);
  }
  return static_cast<int32_t>(value);
}
