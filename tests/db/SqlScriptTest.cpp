#include <gtest/gtest.h>

#include "db/SqlScript.hpp"

TEST(SqlScript, SplitsOnSemicolonsOutsideQuotesAndComments) {
  struct Row {
    std::string script;
    std::vector<std::string> expected;
  } rows[] = {
      {"select 1 from a; select 2 from b;", {"select 1 from a", "select 2 from b"}},
      {"insert into t values ('a;b');", {"insert into t values ('a;b')"}},
      {"insert into t values ('it''s; fine');", {"insert into t values ('it''s; fine')"}},
      {"-- a comment; with a semicolon\nselect 1 from a;", {"select 1 from a"}},
      {"/* block; comment */ select 1 from a; /* tail */", {"select 1 from a"}},
      {"select \"odd;name\" from t", {"select \"odd;name\" from t"}},
      {";;  ;\n", {}},
      {"select 1 from a -- trailing\n;", {"select 1 from a"}},
  };
  for (size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(fbapi::SplitSqlScript(rows[i].script), rows[i].expected) << "row " << i;
}
