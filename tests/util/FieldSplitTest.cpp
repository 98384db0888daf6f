// The plain field splitter that protocol code reads records and segments with.
#include <gtest/gtest.h>

#include "support/TestSupport.hpp"
#include "util/TString.hpp"

using kvtest::Repr;

namespace {

struct FieldRow {
  std::string text;
  char separator;
  int index;
  std::string expected;
};

TEST(TStringField, EverySeparatorSplits) {
  const std::string msh = "MSH|^~\\&|APP|FAC|||||ORU^R01|77|P|2.3.1";
  const std::vector<FieldRow> rows = {
      // empty text and indexes outside the pieces
      {"", '|', 1, ""},
      {"", '|', 2, ""},
      {"A|B", '|', 0, ""},
      {"A|B", '|', -1, ""},
      {"A|B", '|', 3, ""},
      // a separator at the end: the piece after it is empty
      {"A|B|", '|', 1, "A"},
      {"A|B|", '|', 2, "B"},
      {"A|B|", '|', 3, ""},
      {"|", '|', 1, ""},
      {"|", '|', 2, ""},
      // the same pieces as the quoting splitter wherever there is no quote
      {msh, '|', 1, "MSH"},
      {msh, '|', 2, "^~\\&"},
      {msh, '|', 3, "APP"},
      {msh, '|', 9, "ORU^R01"},
      {msh, '|', 10, "77"},
      {msh, '|', 12, "2.3.1"},
      {msh, '|', 13, ""},
      {"ORU^R01", '^', 2, "R01"},
      {"1234567-02", '-', 1, "1234567"},
      // a double quote is a character of its piece and protects nothing
      {"OBR|1||12\"34|00001^Automated Count^99MRC", '|', 4, "12\"34"},
      {"OBR|1||12\"34|00001^Automated Count^99MRC", '|', 5, "00001^Automated Count^99MRC"},
      {"MSH|^~\\&|BC-5380|Mind\"ray|||20260109094500||ORU^R01|Q1", '|', 4, "Mind\"ray"},
      {"MSH|^~\\&|BC-5380|Mind\"ray|||20260109094500||ORU^R01|Q1", '|', 10, "Q1"},
      {"Q|1|^1001\"||^^^ALL", '|', 3, "^1001\""},
      {"^1001\"", '^', 2, "1001\""},
      {"a\"b|c\"|d", '|', 1, "a\"b"},
      {"a\"b|c\"|d", '|', 2, "c\""},
      {"a\"b|c\"|d", '|', 3, "d"},
      {"\"\"|b", '|', 1, "\"\""},
      // control characters are ordinary bytes
      {std::string("A\0B|C\rD", 7), '|', 1, std::string("A\0B", 3)},
      {std::string("A\0B|C\rD", 7), '|', 2, "C\rD"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    EXPECT_EQ(Repr(TString::GetFieldFromSplit(r.text, r.separator, r.index)), Repr(r.expected))
        << "row " << i << ": " << Repr(r.text) << " sep " << Repr(std::string(1, r.separator)) << " index "
        << r.index;
  }
}

TEST(TStringField, SameFieldsAsTheQuotingSplitterOnRealCapturesWithoutQuotes) {
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
      for (int n = 1; n <= 40; ++n) {
        ASSERT_EQ(Repr(TString::GetFieldFromSplit(line, '|', n)), Repr(TString::GetValueFromSplit(line, "|", n)))
            << file << " line " << Repr(line) << " piece " << n;
      }
      ++lines;
    }
  }
  EXPECT_GT(lines, 100);
}

}  // namespace
