#include <gtest/gtest.h>

#include "lis/LisStatements.hpp"
#include "util/TString.hpp"

namespace {

std::string Params(const std::vector<TDbValue>& p) { return lis::DescribeParams(p); }

}  // namespace

TEST(LisStatements, ToInt64AcceptsOnlyAnOptionalSignAndDigits) {
  struct Row {
    std::string in;
    std::optional<int64_t> out;
  } rows[] = {
      {"1234567", 1234567},
      {"2240801237", 2240801237LL},
      {"0019", 19},
      {"-5", -5},
      {"+7", 7},
      {" 1001 ", 1001},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"-", std::nullopt},
      {"1 or 1=1", std::nullopt},
      {"SAMPLE123", std::nullopt},
      {"12.5", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"1001;", std::nullopt},
      {"1001'", std::nullopt},
      {"--1", std::nullopt},
  };
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(TString::ToInt64(rows[i].in), rows[i].out) << "row " << i;
}

TEST(LisStatements, FillPlacesReplacesQuotedAndBarePlacesInOrder) {
  EXPECT_EQ(lis::FillPlaces("a = '%s' and b = %s and c = %d", {"?", "?", "?"}), "a = ? and b = ? and c = ?");
  EXPECT_EQ(lis::FillPlaces("in (%s)", {"?, ?"}), "in (?, ?)");
  EXPECT_EQ(lis::Markers(3, ","), "?,?,?");
  EXPECT_EQ(lis::Markers(1, ", "), "?");
}

TEST(LisStatements, DeviceStatementsBindTheName) {
  auto d1 = lis::DeviceStatement("D'\xC1vila", true);
  EXPECT_EQ(d1.sql,
            " with aparelho as (   select     apa.apa_cod   from     apa_aparelhos apa   where     "
            "lower(apa.apa_dsc) = lower(?) )  select distinct   apa.apa_cod,   mla.exa_cod from   mla_modelolaudo "
            "mla   join aparelho apa on apa.apa_cod = mla.apa_cod order by   1");
  EXPECT_EQ(Params(d1.params), "Par\xE2metros: 'D'\xC1vila'");
  auto d2 = lis::DeviceStatement("XN-550", false);
  EXPECT_EQ(d2.sql, " select   apa.apa_cod from   apa_aparelhos apa where   lower(apa.apa_dsc) = lower(?)");
  EXPECT_EQ(Params(d2.params), "Par\xE2metros: 'XN-550'");
}

TEST(LisStatements, OrderStatementWithConfiguredExamsIsO2ThenO4) {
  auto st = lis::OrderStatement("Indiko", {12, 34}, "1234567");
  ASSERT_TRUE(st);
  EXPECT_EQ(st->sql, lis::FillPlaces(lis::O2, {"?"}) + " and exp.exa_cod in (?, ?)");
  EXPECT_EQ(st->sql.rfind(" select distinct   ped.ped_cod,", 0), 0u);
  EXPECT_EQ(Params(st->params), "Par\xE2metros: 1234567, 12, 34");
}

TEST(LisStatements, OrderStatementWithoutConfiguredExamsIsO1O2O3) {
  auto st = lis::OrderStatement("XN-550", {}, "2240801237");
  ASSERT_TRUE(st);
  EXPECT_EQ(st->sql, lis::FillPlaces(lis::O1, {"?"}) + lis::FillPlaces(lis::O2, {"?"}) +
                         " and exp.exa_cod in (select exa_cod from exames)");
  EXPECT_NE(st->sql.find("apa.apa_dsc = ?   )"), std::string::npos);
  EXPECT_NE(st->sql.find("ped.ped_cod_vis = ? and exp.exa_cod"), std::string::npos);
  EXPECT_EQ(Params(st->params), "Par\xE2metros: 'XN-550', 2240801237");
  ASSERT_TRUE(std::holds_alternative<int64_t>(st->params[1]));
}

TEST(LisStatements, OrderCodesThatAreNotWholeNumbersGiveNoStatement) {
  for (const char* code : {"1 or 1=1", "SAMPLE123", "", "12.0", "1001) or (1=1", "0x1F"})
    EXPECT_FALSE(lis::OrderStatement("XN-550", {}, code)) << code;
  // Leading zeros keep the number's meaning.
  auto st = lis::OrderStatement("XN-550", {101}, "0019");
  ASSERT_TRUE(st);
  EXPECT_EQ(std::get<int64_t>(st->params[0]), 19);
}

TEST(LisStatements, ExamNamesStatementHasOneMarkerPerExam) {
  auto st = lis::ExamNamesStatement(7, 3, {"101", "103", "x y"});
  ASSERT_TRUE(st);
  EXPECT_EQ(st->sql, lis::FillPlaces(lis::E1, {"?", "?,?,?"}) + " and mla.apa_cod = ?");
  EXPECT_NE(st->sql.find("exp.ped_cod = ? and   exp.exa_cod in (?,?,?) and   exp.exp_sta = 2"), std::string::npos);
  EXPECT_EQ(Params(st->params), "Par\xE2metros: 7, 101, 103, 'x y', 3");
  EXPECT_FALSE(lis::ExamNamesStatement(7, 3, {}));
}

TEST(LisStatements, DeviceNameIsNomeTevarinThenModelo) {
  TAnalisador a;
  a.modelo = "1";
  EXPECT_EQ(lis::DeviceName(a), "1");
  a.nomeTevarin = "Indiko";
  EXPECT_EQ(lis::DeviceName(a), "Indiko");
}
