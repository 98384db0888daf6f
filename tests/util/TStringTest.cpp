#include <gtest/gtest.h>

#include "support/TestSupport.hpp"
#include "util/TString.hpp"

using kvtest::Repr;

namespace {

struct SplitRow {
  std::string text;
  std::string separator;
  int index;
  std::string expected;
};

TEST(TStringSplit, PiecesBetweenSeparators) {
  const std::string msh = "MSH|^~\\&|APP|FAC|||||ORU^R01|77|P|2.3.1";
  const std::vector<SplitRow> rows = {
      // empty text: no pieces at all
      {"", "|", 1, ""},
      {"", "|", 2, ""},
      // a separator at the end opens no empty last piece
      {"A|B|", "|", 1, "A"},
      {"A|B|", "|", 2, "B"},
      {"A|B|", "|", 3, ""},
      // a lone separator is one empty piece
      {"|", "|", 1, ""},
      {"|", "|", 2, ""},
      // empty pieces in the middle and at the front
      {"A||B", "|", 1, "A"},
      {"A||B", "|", 2, ""},
      {"A||B", "|", 3, "B"},
      {"|A", "|", 1, ""},
      {"|A", "|", 2, "A"},
      {"|A", "|", 3, ""},
      // beyond the last piece
      {"A|B", "|", 5, ""},
      {"A|B", "|", 2, "B"},
      // index 0 or below: no piece
      {"A|B", "|", 0, ""},
      {"A|B", "|", -1, ""},
      // single character text
      {"A", "|", 1, "A"},
      // separators of other lengths never match
      {"A|B", "||", 1, "A|B"},
      {"A|B", "||", 2, ""},
      {"A|B", "", 1, "A|B"},
      // case-sensitive matching of letter separators
      {"aXbxc", "x", 1, "aXb"},
      {"aXbxc", "x", 2, "c"},
      // HL7 fields: MSH piece n is MSH-n
      {msh, "|", 1, "MSH"},
      {msh, "|", 2, "^~\\&"},
      {msh, "|", 3, "APP"},
      {msh, "|", 4, "FAC"},
      {msh, "|", 9, "ORU^R01"},
      {msh, "|", 10, "77"},
      {msh, "|", 12, "2.3.1"},
      {msh, "|", 13, ""},
      // components
      {"ORU^R01", "^", 2, "R01"},
      // ASTM record: piece n is field n
      {"O|1|SID123||^^^GLU", "|", 3, "SID123"},
      {"O|1|SID123||^^^GLU", "|", 5, "^^^GLU"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    EXPECT_EQ(Repr(TString::GetValueFromSplit(r.text, r.separator, r.index)), Repr(r.expected))
        << "row " << i << ": " << Repr(r.text) << " sep " << Repr(r.separator) << " index " << r.index;
  }
}

TEST(TStringSplit, QuotesProtectSeparators) {
  const std::vector<SplitRow> rows = {
      // both quotes belong to the piece, the inner separator is ordinary
      {"a\"b|c\"|d", "|", 1, "a\"b|c\""},
      {"a\"b|c\"|d", "|", 2, "d"},
      {"a\"b|c\"|d", "|", 3, ""},
      // an unclosed quote makes the rest one piece
      {"x|\"y|z|w", "|", 1, "x"},
      {"x|\"y|z|w", "|", 2, "\"y|z|w"},
      {"x|\"y|z|w", "|", 3, ""},
      // quoted text ending the line is still appended once
      {"x|\"y|z\"", "|", 2, "\"y|z\""},
      // a quoted empty value
      {"\"\"|b", "|", 1, "\"\""},
      {"\"\"|b", "|", 2, "b"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    EXPECT_EQ(Repr(TString::GetValueFromSplit(r.text, r.separator, r.index)), Repr(r.expected))
        << "row " << i << ": " << Repr(r.text) << " index " << r.index;
  }
}

TEST(TStringSplit, EveryFieldOfRealHl7Captures) {
  // Without quotes the pieces are the plain "|" split with no empty last piece.
  int lines = 0;
  for (const auto& file : kvtest::TestDataFiles("hl7")) {
    const std::string bytes = kvtest::ReadFile(file);
    size_t start = 0;
    while (start < bytes.size()) {
      size_t end = bytes.find_first_of("\r\n", start);
      if (end == std::string::npos) end = bytes.size();
      const std::string line = bytes.substr(start, end - start);
      start = end + 1;
      if (line.empty() || line.find('"') != std::string::npos) continue;
      std::vector<std::string> expected;
      size_t from = 0;
      for (size_t bar; (bar = line.find('|', from)) != std::string::npos; from = bar + 1)
        expected.push_back(line.substr(from, bar - from));
      if (from < line.size()) expected.push_back(line.substr(from));
      for (size_t i = 0; i <= expected.size(); ++i) {
        const std::string want = i < expected.size() ? expected[i] : "";
        ASSERT_EQ(Repr(TString::GetValueFromSplit(line, "|", static_cast<int>(i + 1))), Repr(want))
            << file << " line " << Repr(line) << " piece " << i + 1;
      }
      ++lines;
    }
  }
  EXPECT_GT(lines, 20);
}

TEST(TStringCoalesce, FirstNonEmpty) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{"", "B", "C"}, "B"},
      {{"", ""}, ""},
      {{}, ""},
      {{"A"}, "A"},
      {{"", "", " "}, " "},
  };
  for (size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(TString::Coalesce(rows[i].first), rows[i].second) << "row " << i;
}

TEST(TStringToFileName, RemovesTheNineForbiddenCharacters) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"a/b:c*d", "abcd"},
      {"plain-name_01.txt", "plain-name_01.txt"},
      {"/\\:*?\"<>|", ""},
      {"S\xC3O PAULO?", "S\xC3O PAULO"},
      {"<x>|y\\z", "xyz"},
      {"", ""},
  };
  for (size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(Repr(TString::ToFileName(rows[i].first)), Repr(rows[i].second)) << "row " << i;
}

TEST(TStringTrim, DropsCharactersUpToBlank) {
  EXPECT_EQ(TString::Trim("  \t\r\nab c\x01 "), "ab c");
  EXPECT_EQ(TString::Trim("\xE7 "), "\xE7");  // bytes above 127 are characters, not blanks
  EXPECT_EQ(TString::Trim(""), "");
  EXPECT_EQ(TString::Trim("   "), "");
  EXPECT_EQ(TString::TrimLeftRight("\t x \r"), "x");
  EXPECT_EQ(TString::TrimAll(" a b  c "), "abc");
}

}  // namespace
