// The README's key tables (under "## Configuration") say what the key tables
// do: every key in both, with the same type and default.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <variant>

#include "config/ConfigKeys.hpp"
#include "config/TConfigJson.hpp"
#include "support/TestSupport.hpp"

namespace {

struct ReadmeRow {
  std::vector<std::string> keys;  // one, or several in one line ("`server`, `database`, ...")
  std::string type, def;
};

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// The lines of the README's "## Configuration" section.
std::vector<std::string> ConfigurationSection() {
  std::istringstream in(kvtest::ReadFile(std::string(KV_SOURCE_DIR) + "/README.md"));
  std::vector<std::string> lines;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("## ")) inside = line == "## Configuration";
    if (inside) lines.push_back(line);
  }
  return lines;
}

// The rows of the first table after the line that starts with `heading`.
std::vector<ReadmeRow> Table(const std::vector<std::string>& lines, const std::string& heading) {
  std::vector<ReadmeRow> rows;
  size_t i = 0;
  while (i < lines.size() && !lines[i].starts_with(heading)) ++i;
  while (i < lines.size() && !lines[i].starts_with("|")) ++i;
  for (i += 2; i < lines.size() && lines[i].starts_with("|"); ++i) {  // past the header and its rule
    std::vector<std::string> cells;
    std::istringstream row(lines[i].substr(1));
    // The meaning (last cell) may hold "|" in code; the first three never do.
    for (std::string cell; cells.size() < 3 && std::getline(row, cell, '|');) cells.push_back(Trim(cell));
    ReadmeRow r;
    for (size_t at = cells[0].find('`'); at != std::string::npos; at = cells[0].find('`', at + 1)) {
      const size_t end = cells[0].find('`', at + 1);
      r.keys.push_back(cells[0].substr(at + 1, end - at - 1));
      at = end;
    }
    r.type = cells.size() > 1 ? cells[1] : "";
    r.def = cells.size() > 2 ? cells[2] : "";
    rows.push_back(r);
  }
  return rows;
}

// How the README words a row's type and its default.
template <class T>
std::string TypeWord(const TConfigKey<T>& k) {
  return std::visit(
      [&](auto field) -> std::string {
        using F = decltype(field);
        if constexpr (std::is_same_v<F, int32_t T::*>) {
          return "integer";
        } else if constexpr (std::is_same_v<F, bool T::*>) {
          return "boolean";
        } else if constexpr (std::is_same_v<F, std::string T::*>) {
          if (k.check.values.empty()) return "text";
          std::string values;  // text (`nenhuma`, `par`, `impar`)
          for (const char* v : k.check.values) values += (values.empty() ? "`" : ", `") + std::string(v) + "`";
          return "text (" + values + ")";
        } else {
          return std::string("array of ") + field.of;
        }
      },
      k.field);
}

std::string DefaultWord(const TKeyDefault& d) {
  if (const auto* n = std::get_if<int32_t>(&d)) return std::to_string(*n);
  if (const auto* b = std::get_if<bool>(&d)) return *b ? "true" : "false";
  if (const auto* t = std::get_if<const char*>(&d)) return **t ? "`" + std::string(*t) + "`" : "empty";
  if (std::holds_alternative<TRequired>(d)) return "**required**";
  if (std::holds_alternative<TConfigFolder>(d)) return "the executable's folder";
  if (std::holds_alternative<TNoElements>(d)) return "none";
  return "the top-level `" + std::string(std::get<TTopLevel>(d).key) + "`";
}

// The README may say more after the default: "**required** (may be empty)".
bool SaysDefault(const std::string& cell, const std::string& word) {
  return cell == word || cell.starts_with(word + " ");
}

// Compares one README table with one key table; `shared` are README lines that
// stand for keys of another table ("as in `database.json`").
template <class T>
void ExpectSameKeys(const std::vector<ReadmeRow>& readme, std::span<const TConfigKey<T>> keys,
                    const std::string& table, const std::string& sharedDefault = "",
                    const std::set<std::string>& shared = {}) {
  ASSERT_FALSE(readme.empty()) << table << ": no README table";
  std::map<std::string, const ReadmeRow*> byKey;
  for (const ReadmeRow& r : readme) {
    EXPECT_FALSE(r.keys.empty()) << table << ": a README line without a key";
    for (const std::string& key : r.keys)
      EXPECT_TRUE(byKey.emplace(key, &r).second) << table << ": " << key << " twice";
  }
  for (const auto& k : keys) {
    const auto it = byKey.find(k.key);
    if (it == byKey.end()) {
      ADD_FAILURE() << table << ": key " << k.key << " is not in the README";
      continue;
    }
    EXPECT_EQ(it->second->type, TypeWord(k)) << table << ": type of " << k.key;
    EXPECT_TRUE(SaysDefault(it->second->def, DefaultWord(k.def)))
        << table << ": default of " << k.key << " is " << DefaultWord(k.def) << ", README says " << it->second->def;
    byKey.erase(it);
  }
  for (const auto& [key, row] : byKey) {
    if (shared.count(key)) {
      EXPECT_EQ(row->def, sharedDefault) << table << ": " << key;
      continue;
    }
    ADD_FAILURE() << table << ": README key " << key << " is no key of the configuration";
  }
}

TEST(ConfigReadme, KeyTablesMatchTheConfiguration) {
  const std::vector<std::string> lines = ConfigurationSection();
  ASSERT_FALSE(lines.empty()) << "README.md has no \"## Configuration\" section";

  std::set<std::string> connection;
  for (const auto& k : DatabaseKeys()) connection.insert(k.key);
  const auto main = Table(lines, "### `kv_redurozozi.json`");
  ExpectSameKeys(main, MainFileKeys(), "kv_redurozozi.json", "as in `database.json`", connection);
  // The main file's connection keys: all four, as texts.
  for (const ReadmeRow& r : main)
    if (connection.count(r.keys.at(0))) {
      EXPECT_EQ(std::set<std::string>(r.keys.begin(), r.keys.end()), connection);
      EXPECT_EQ(r.type, "text");
    }

  ExpectSameKeys(Table(lines, "Analyzer object"), AnalyzerKeys(), "analyzer object");
  ExpectSameKeys(Table(lines, "Exam object"), ExamKeys(), "exam object");
  ExpectSameKeys(Table(lines, "### `database.json`"), DatabaseKeys(), "database.json");
}

}  // namespace
