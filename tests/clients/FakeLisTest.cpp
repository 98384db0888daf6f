// The fake LIS of the handler tests: what it answers for the content it holds,
// and the calls it records.
#include <gtest/gtest.h>

#include "support/DemoLis.hpp"
#include "support/FakeLis.hpp"

using kvtest::FakeLis;

namespace {

TAnalisador Analyzer(const std::string& modelo, const std::string& nomeTevarin, std::vector<int> exames = {}) {
  TAnalisador a;
  a.modelo = modelo;
  a.nomeTevarin = nomeTevarin;
  for (int c : exames) {
    auto e = std::make_unique<TExame>();
    e->codigo = c;
    a.AddExame(std::move(e));
  }
  return a;
}

TEST(FakeLis, OrderCodesCompareAsWholeNumbers) {
  FakeLis lis;
  kvtest::demo::AddOrder(lis, 1001);
  kvtest::demo::AddOrder(lis, 19);
  const TAnalisador a = Analyzer("XN-550", "");
  struct Row {
    std::string code;
    int rows;  // -1: no table at all
  };
  const std::vector<Row> rows = {{"1001", 1}, {"0019", 1}, {" 1001 ", 1}, {"+19", 1}, {"9999", 0},
                                 {"", -1},    {"1001'--", -1}, {"1 or 1=1", -1}, {"SAMPLE123", -1}};
  for (size_t i = 0; i < rows.size(); ++i) {
    auto t = lis.GetDadosProtocolo(a, rows[i].code);
    EXPECT_EQ(t ? t->RecordCount() : -1, rows[i].rows) << "row " << i << " '" << rows[i].code << "'";
  }
  ASSERT_EQ(lis.calls.size(), rows.size());
  EXPECT_EQ(lis.calls[1].lookup, "GetDadosProtocolo");
  EXPECT_EQ(lis.calls[1].device, "XN-550");
  EXPECT_EQ(lis.calls[1].argument, "0019");
  auto t = lis.GetDadosProtocolo(a, "19");
  EXPECT_EQ(t->AsString("cli_nom"), "Francisca Ara\xfajo");
  EXPECT_EQ(t->AsDateTime("ped_dat"), (TDateTime{2024, 8, 5, 10, 0, 0, 0}));
  EXPECT_TRUE(t->IsNull("cpf_dta_nas") == false && t->AsInteger("ped_cod") == 7);
}

TEST(FakeLis, DeviceByNameIgnoringCaseWithConfiguredExamsFirst) {
  FakeLis lis;
  lis.AddDevice("Indiko", 2, {"201", "202"});
  struct Row {
    TAnalisador a;
    int codigo;  // 0: none
    std::vector<std::string> exames;
  };
  std::vector<Row> rows;
  rows.push_back({Analyzer("1", "Indiko"), 2, {"201", "202"}});
  rows.push_back({Analyzer("INDIKO", ""), 2, {"201", "202"}});
  rows.push_back({Analyzer("1", "indiko", {205, 201}), 2, {"205", "201"}});
  rows.push_back({Analyzer("1", ""), 0, {}});
  rows.push_back({Analyzer("Indiko", "Other"), 0, {}});
  for (size_t i = 0; i < rows.size(); ++i) {
    auto d = lis.GetAparelhoTevarin(rows[i].a);
    EXPECT_EQ(d ? d->codigo : 0, rows[i].codigo) << "row " << i;
    if (d) {
      EXPECT_EQ(d->exames, rows[i].exames) << "row " << i;
    }
  }
  EXPECT_EQ(lis.CallsOf("GetAparelhoTevarin").size(), rows.size());
  EXPECT_EQ(lis.calls.back().device, "Other");
}

TEST(FakeLis, TestNamesNeedADeviceWithExams) {
  FakeLis lis;
  lis.SetTestNames(8, {"AST", "CREA"});
  TAnalisador a = Analyzer("1", "Indiko");
  EXPECT_EQ(lis.GetExamesProtocolo(a, 8), nullptr);  // no device
  a.aparelhoTevarin = std::make_unique<TAparelhoTevarin>();
  EXPECT_EQ(lis.GetExamesProtocolo(a, 8), nullptr);  // a device without exams
  a.aparelhoTevarin->exames = {"204"};
  auto t = lis.GetExamesProtocolo(a, 8);
  ASSERT_NE(t, nullptr);
  std::vector<std::string> names;
  for (t->First(); !t->Eof(); t->Next()) names.push_back(t->AsString("are_nom_apa"));
  EXPECT_EQ(names, (std::vector<std::string>{"AST", "CREA"}));
  EXPECT_EQ(lis.GetExamesProtocolo(a, 9)->RecordCount(), 0);
  ASSERT_EQ(lis.CallsOf("GetExamesProtocolo").size(), 4u);
  EXPECT_EQ(lis.calls.back().argument, "9");
}

}  // namespace
