#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "lis/LisStatements.hpp"
#include "lis/TLisLookups.hpp"
#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"
#include "db/DbTestSupport.hpp"
#include "db/TMyDB.hpp"

using namespace dbtest;
using kvtest::Repr;
using kvtest::TempDir;

namespace {

// The same lookups through the embedded engine and through a Firebird server.
enum class Via { Embedded, Server };
void PrintTo(Via v, std::ostream* os) { *os << (v == Via::Server ? "server" : "embedded"); }

class LisLookups : public ::testing::TestWithParam<Via> {
 protected:
  void SetUp() override {
    if (GetParam() == Via::Server && !std::getenv("KV_FB_SERVER"))
      GTEST_SKIP() << "KV_FB_SERVER not set (no Firebird server to test through)";
    TMyDBInfo embedded = kvtest::CreateLisDatabase(dbDir.path());
    info = GetParam() == Via::Server ? ThroughServer(embedded, dbDir.path()) : embedded;
    global = std::make_unique<TGlobal>(exeDir / "kv_redurozozi");
    global->clock = FixedClock(LogTime());
    global->config = std::make_unique<TConfigJson>();
    global->myDBInfo = info;
    global->StartMyDB();
    global->myDB->log_.now = FixedClock(LogTime());
    client = std::make_unique<TSocketClient>("127.0.0.1:40000", exeDir.path() + "/saida/", kvtest::GlobalContext());
  }
  void TearDown() override {
    client.reset();
    global.reset();
  }

  TAnalisador& Analyzer(const std::string& modelo, const std::string& nomeTevarin = "",
                        std::vector<int32_t> configured = {}) {
    TAnalisador& a = *client->analisador;
    a.modelo = modelo;
    a.nomeTevarin = nomeTevarin;
    for (int32_t c : configured) {
      auto e = std::make_unique<TExame>();
      e->codigo = c;
      a.AddExame(std::move(e));
    }
    return a;
  }
  // Identifies the device as protocol identification does.
  TAnalisador& WithDevice(TAnalisador& a) {
    a.aparelhoTevarin = client->GetAparelhoTevarinInDB();
    return a;
  }
  std::string ServiceLog() {
    global->log_->flush();
    return kvtest::ReadFile(global->log_file_name);
  }
  std::string DbLog() { return LogText(*global->myDB); }
  void Script(const std::string& sql) { kvtest::RunSqlScript(info, sql); }
  // Points the database object at a file that does not exist: any statement would log.
  void BreakDatabase() { global->myDB->SetDBInfo({"", dbDir / "nao_existe.fdb", "SYSDBA", "x"}); }

  static std::vector<std::string> Column(TResultTable& t, const std::string& name) {
    std::vector<std::string> v;
    for (t.First(); !t.Eof(); t.Next()) v.push_back(t.AsString(name));
    return v;
  }
  static std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

  TempDir dbDir;
  TempDir exeDir;
  TMyDBInfo info;
  std::unique_ptr<TSocketClient> client;
};

const std::vector<std::string> kXn550Names = {"HCT", "HGB", "MCH", "MCHC", "MCV", "PLT", "RBC", "WBC"};

}  // namespace

TEST_P(LisLookups, DeviceWithoutConfiguredExamsBringsItsExams) {
  auto dev = client->GetAparelhoTevarinInDB();
  EXPECT_EQ(dev, nullptr);  // an empty analyzer names no device
  Analyzer("XN-550");
  dev = client->GetAparelhoTevarinInDB();
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->codigo, 1);
  EXPECT_EQ(dev->exames, (std::vector<std::string>{"101", "103"}));
  EXPECT_FALSE(global->myDB->IsConnected());
  EXPECT_EQ(DbLog(), "");
}

TEST_P(LisLookups, NomeTevarinNamesTheDeviceBeforeModelo) {
  Analyzer("1", "Indiko");
  auto dev = client->GetAparelhoTevarinInDB();
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->codigo, 2);
  EXPECT_EQ(dev->exames, (std::vector<std::string>{"201", "202", "203", "204", "205", "206", "207", "208"}));
}

TEST_P(LisLookups, ConfiguredExamsReplaceTheDeviceExams) {
  TAnalisador& a = Analyzer("XN-550", "", {5, 7});
  auto dev = client->GetAparelhoTevarinInDB();
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->codigo, 1);
  EXPECT_EQ(dev->exames, (std::vector<std::string>{"5", "7"}));
  // The order filter is the configured list: order 1001 has exam 101 only.
  auto t = client->GetDadosProtocolo(a, "1001");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->RecordCount(), 0);
}

TEST_P(LisLookups, DeviceMatchIgnoresCaseButTheOrderExamListMatchesExactly) {
  TAnalisador& a = WithDevice(Analyzer("xn-550"));
  ASSERT_NE(a.aparelhoTevarin, nullptr);
  EXPECT_EQ(a.aparelhoTevarin->codigo, 1);
  auto t = client->GetDadosProtocolo(a, "1001");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->RecordCount(), 0);
  a.modelo = "XN-550";
  t = client->GetDadosProtocolo(a, "1001");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->RecordCount(), 1);
}

TEST_P(LisLookups, UnknownDeviceIsLoggedWithItsStatement) {
  Analyzer("Desconhecido");
  EXPECT_EQ(client->GetAparelhoTevarinInDB(), nullptr);
  EXPECT_EQ(Repr(ServiceLog()), Repr(kStamp + "GetAparelhoTevarinInDB() -> Nada encontrado. SQL: \r" +
                                     lis::FillPlaces(lis::D1, {"?"}) + "\rPar\xE2metros: 'Desconhecido'\r\n"));
  EXPECT_EQ(DbLog(), "");
}

TEST_P(LisLookups, DeviceNameWithASingleQuoteIsFound) {
  Script("insert into apa_aparelhos (apa_cod, apa_dsc) values (4, 'Lab D''Ávila');"
         "insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod) values (12, 4, 202);"
         "insert into are_atributosresultado (are_cod, mla_cod, exa_cod, are_dsc, are_nom_apa) "
         "  values (40, 12, 202, 'Colesterol total', 'COL');");
  TAnalisador& a = WithDevice(Analyzer("XX", "Lab D'\xC1vila"));
  ASSERT_NE(a.aparelhoTevarin, nullptr);
  EXPECT_EQ(a.aparelhoTevarin->codigo, 4);
  EXPECT_EQ(a.aparelhoTevarin->exames, (std::vector<std::string>{"202"}));
  auto t = client->GetDadosProtocolo(a, "1002");  // the exam list CTE compares the name too
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->RecordCount(), 1);
  // Its own model's name for exam 202, not the Indiko's ("CHOL").
  auto names = client->GetExamesProtocolo(a, 2);
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(Column(*names, "are_nom_apa"), (std::vector<std::string>{"COL"}));
  EXPECT_EQ(DbLog(), "");
}

TEST_P(LisLookups, TwoDevicesWithOneDescription) {
  Script("insert into apa_aparelhos (apa_cod, apa_dsc) values (5, 'INDIKO');"
         "insert into mla_modelolaudo (mla_cod, apa_cod, exa_cod) values (13, 5, 301);");
  // D1: the smaller key, the exams of both.
  Analyzer("Indiko");
  auto dev = client->GetAparelhoTevarinInDB();
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->codigo, 2);
  EXPECT_EQ(Sorted(dev->exames),
            (std::vector<std::string>{"201", "202", "203", "204", "205", "206", "207", "208", "301"}));
  // D2: whichever row comes first, the configured exams.
  Analyzer("Indiko", "", {201});
  dev = client->GetAparelhoTevarinInDB();
  ASSERT_NE(dev, nullptr);
  EXPECT_TRUE(dev->codigo == 2 || dev->codigo == 5) << dev->codigo;
  EXPECT_EQ(dev->exames, (std::vector<std::string>{"201"}));
}

TEST_P(LisLookups, OrderFoundWithPatientPhysicianGroupAndMaterial) {
  TAnalisador& a = Analyzer("XN-550");
  auto t = client->GetDadosProtocolo(a, "1001");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->RecordCount(), 1);
  EXPECT_EQ(t->AsInteger("ped_cod"), 1);
  EXPECT_EQ(t->AsDateTime("ped_dat"), (TDateTime{2024, 8, 4, 7, 12, 0, 0}));
  EXPECT_EQ(t->AsString("ped_urg"), "N");
  EXPECT_EQ(t->AsString("cli_cod"), "1");
  EXPECT_EQ(Repr(t->AsString("cli_nom")), Repr("Jo\xE3o da Silva"));
  EXPECT_EQ(t->AsDateTime("cpf_dta_nas"), (TDateTime{1980, 5, 14, 0, 0, 0, 0}));
  EXPECT_EQ(t->AsString("cpf_sex"), "M");
  EXPECT_EQ(t->AsString("mat_cod"), "1");
  EXPECT_EQ(t->AsString("mat_dsc"), "Sangue total EDTA");
  EXPECT_EQ(Repr(t->AsString("med_nom")), Repr("Dra. M\xE1rcia Lopes"));
  EXPECT_EQ(Repr(t->AsString("grp_dsc")), Repr("Ambulat\xF3rio"));
  EXPECT_FALSE(global->myDB->IsConnected());
}

TEST_P(LisLookups, VisibleCodesCompareAsNumbers) {
  struct Row {
    const char* device;
    const char* code;
    int64_t pedCod;
  } rows[] = {
      {"Indiko", "2240801237", 3},  // beyond 32 bits
      {"XN-550", "0019", 7},        // leading zeros
      {"XN-550", "19", 7},
      {"Indiko", "+1068687", 8},
      {"XN-550", " 1011 ", 11},  // padded sample id
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    TAnalisador a;
    a.modelo = rows[i].device;
    auto t = client->GetDadosProtocolo(a, rows[i].code);
    ASSERT_NE(t, nullptr) << "row " << i;
    ASSERT_GE(t->RecordCount(), 1) << "row " << i;
    EXPECT_EQ(t->AsInteger("ped_cod"), rows[i].pedCod) << "row " << i;
  }
  TAnalisador indiko;
  indiko.modelo = "Indiko";
  auto t = client->GetDadosProtocolo(indiko, "2240801237");
  ASSERT_TRUE(t && t->RecordCount() == 1);
  EXPECT_EQ(Repr(t->AsString("cli_nom")), Repr("Ant\xF4nio Carlos de Albuquerque Magalh\xE3" "es J\xFAnior"));
  EXPECT_EQ(t->AsString("ped_urg"), "S");
  EXPECT_EQ(DbLog(), "");
}

// A LIS that keeps the visible code as text ('0019') is asked with the code's
// numeric meaning too: 19, 019 and 0019 find it, on a fresh attachment for
// each statement and on one kept between lookups alike.
TEST_P(LisLookups, VisibleCodesCompareAsNumbersInATextColumnToo) {
  Script("alter table ped_pedidos alter column ped_cod_vis type varchar(20);"
         "update ped_pedidos set ped_cod_vis = '0019' where ped_cod = 7;"
         "insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) "
         "  values (13, 'SAMPLE123', '2024-08-06 08:00:00', 'N', 1, 1, 1);");
  TLisDatabaseLookups kept([] { return global->myDB.get(); }, {}, nullptr, true);
  struct Row {
    const char* device;
    const char* code;
    int64_t pedCod;  // 0: not found
  } rows[] = {
      {"XN-550", "0019", 7}, {"XN-550", "19", 7},       {"XN-550", "019", 7},  {"XN-550", "00019", 7},
      {"Indiko", "2240801237", 3}, {"XN-550", "1001", 1}, {"XN-550", "190", 0}, {"XN-550", "1", 0},
  };
  for (TLisLookups* lookups : {static_cast<TLisLookups*>(&kept), global->lis.get()}) {
    const uint64_t attaches = global->myDB->AttachCount();
    for (size_t i = 0; i < std::size(rows); ++i) {
      TAnalisador a;
      a.modelo = rows[i].device;
      auto t = lookups->GetDadosProtocolo(a, rows[i].code);
      ASSERT_NE(t, nullptr) << "row " << i << " " << rows[i].code;
      if (rows[i].pedCod == 0) {
        EXPECT_EQ(t->RecordCount(), 0) << "row " << i;
      } else {
        ASSERT_GE(t->RecordCount(), 1) << "row " << i;
        EXPECT_EQ(t->AsInteger("ped_cod"), rows[i].pedCod) << "row " << i;
      }
    }
    // Kept: one attach for every lookup (and one reading of the column's
    // type); otherwise two attaches per lookup.
    const uint64_t made = global->myDB->AttachCount() - attaches;
    if (lookups == &kept) {
      EXPECT_EQ(made, 1u);
      EXPECT_TRUE(global->myDB->IsConnected());
      global->myDB->Disconnect();
    } else {
      EXPECT_EQ(made, 2 * std::size(rows));
    }
  }
  EXPECT_EQ(DbLog(), "");
}

// An integer column keeps its index-friendly comparison: the code is bound as a number.
TEST(LisStatements, OrderCodeBindingFollowsTheColumnType) {
  auto number = lis::OrderStatement("XN-550", {101}, "0019", lis::CodeColumn::Number);
  auto text = lis::OrderStatement("XN-550", {101}, "0019", lis::CodeColumn::Text);
  auto zero = lis::OrderStatement("XN-550", {101}, "000", lis::CodeColumn::Text);
  ASSERT_TRUE(number && text && zero);
  EXPECT_NE(number->sql.find("ped.ped_cod_vis = ?"), std::string::npos);
  EXPECT_EQ(std::get<int64_t>(number->params[0]), 19);
  EXPECT_NE(text->sql.find("trim(leading '0' from ped.ped_cod_vis) = ?"), std::string::npos);
  EXPECT_EQ(std::get<std::string>(text->params[0]), "19");
  EXPECT_EQ(std::get<std::string>(zero->params[0]), "");
  EXPECT_FALSE(lis::OrderStatement("XN-550", {101}, "SAMPLE123", lis::CodeColumn::Text));
  EXPECT_EQ(lis::CodeColumnOf(37), lis::CodeColumn::Text);
  EXPECT_EQ(lis::CodeColumnOf(14), lis::CodeColumn::Text);
  EXPECT_EQ(lis::CodeColumnOf(16), lis::CodeColumn::Number);
  EXPECT_EQ(lis::CodeColumnOf(8), lis::CodeColumn::Number);
}

TEST_P(LisLookups, OrderWithTwoMaterialsGivesTwoRows) {
  TAnalisador indiko;
  indiko.modelo = "Indiko";
  auto t = client->GetDadosProtocolo(indiko, "1004");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->RecordCount(), 2);
  EXPECT_EQ(Sorted(Column(*t, "mat_dsc")), (std::vector<std::string>{"Plasma fluoretado", "Soro"}));
  EXPECT_EQ(Column(*t, "ped_cod"), (std::vector<std::string>{"4", "4"}));
  // The same order seen from the hematology analyzer has one material.
  TAnalisador xn;
  xn.modelo = "XN-550";
  t = client->GetDadosProtocolo(xn, "1004");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(Column(*t, "mat_dsc"), (std::vector<std::string>{"Sangue total EDTA"}));
}

TEST_P(LisLookups, OrderWithoutPhysicianAndPatientWithoutPersonalData) {
  TAnalisador& a = Analyzer("XN-550");
  auto t = client->GetDadosProtocolo(a, "1005");
  ASSERT_TRUE(t && t->RecordCount() == 1);
  EXPECT_TRUE(t->IsNull("med_nom"));
  EXPECT_EQ(t->AsString("med_nom"), "");
  TAnalisador urine;
  urine.modelo = "XN-550";
  auto e = std::make_unique<TExame>();
  e->codigo = 301;
  urine.AddExame(std::move(e));
  t = client->GetDadosProtocolo(urine, "1010");  // a company: no personal data row
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->RecordCount(), 0);
  t = client->GetDadosProtocolo(a, "9999");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->RecordCount(), 0);
}

TEST_P(LisLookups, InjectionAndTextCodesFindNoOrderWithTheColumnAsIntegerAndAsText) {
  for (bool textColumn : {false, true}) {
    SCOPED_TRACE(textColumn ? "ped_cod_vis varchar" : "ped_cod_vis bigint");
    if (textColumn) {
      Script("alter table ped_pedidos alter column ped_cod_vis type varchar(20);"
             "insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) "
             "  values (13, 'SAMPLE123', '2024-08-06 08:00:00', 'N', 1, 1, 1);"
             "insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (13, 101, 1, 2);");
      auto check = global->myDB->Select("select ped_cod from ped_pedidos where ped_cod_vis = 'SAMPLE123'", false);
      ASSERT_TRUE(check && check->RecordCount() == 1);  // the row is there to be found
    }
    TAnalisador& a = Analyzer("XN-550");
    for (const char* code : {"1 or 1=1", "1001 or 1=1", "SAMPLE123", "1001; delete from ped_pedidos", "1001'"}) {
      EXPECT_EQ(client->GetDadosProtocolo(a, code), nullptr) << code;
    }
    EXPECT_EQ(DbLog(), "");  // not even a statement was sent
    auto t = client->GetDadosProtocolo(a, "1001");
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->RecordCount(), 1);
    EXPECT_EQ(t->AsInteger("ped_cod"), 1);
    auto all = global->myDB->Select("select count(*) as n from ped_pedidos", false);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all->AsInteger("n"), textColumn ? 13 : 12);
  }
}

TEST_P(LisLookups, EmptyOrderCodeAndEmptyExamListTouchNothing) {
  TAnalisador& a = WithDevice(Analyzer("XN-550"));
  ASSERT_NE(a.aparelhoTevarin, nullptr);
  BreakDatabase();
  EXPECT_EQ(client->GetDadosProtocolo(a, ""), nullptr);
  EXPECT_EQ(client->GetDadosProtocolo(a, "SAMPLE123"), nullptr);
  a.aparelhoTevarin->exames.clear();
  EXPECT_EQ(client->GetExamesProtocolo(a, 1), nullptr);
  a.aparelhoTevarin.reset();
  EXPECT_EQ(client->GetExamesProtocolo(a, 1), nullptr);
  EXPECT_EQ(DbLog(), "");
  EXPECT_EQ(ServiceLog(), "");
  // Whereas a real query against the missing file is one database log entry.
  EXPECT_EQ(client->GetDadosProtocolo(a, "1001"), nullptr);
  EXPECT_EQ(Count(DbLog(), kStamp), 1u);
}

TEST_P(LisLookups, UnavailableDatabaseLogsOnceAndGivesNoDevice) {
  Analyzer("XN-550");
  BreakDatabase();
  EXPECT_EQ(client->GetAparelhoTevarinInDB(), nullptr);
  std::string log = DbLog();
  EXPECT_EQ(Count(log, kStamp), 1u) << Repr(log);
  EXPECT_EQ(log.rfind(kStamp + "TMyTransaction.Select() -> Erro:", 0), 0u);
  EXPECT_EQ(ServiceLog(), "");  // no "Nada encontrado" for a failure
}

TEST_P(LisLookups, TestNamesOfTheDeviceExamsWithStatus2AndANameOnly) {
  TAnalisador& xn = WithDevice(Analyzer("XN-550"));
  ASSERT_NE(xn.aparelhoTevarin, nullptr);
  struct Row {
    int32_t pedCod;
    std::vector<std::string> names;
  } xnRows[] = {
      {1, kXn550Names},                                 // the XN-550's model of exam 101, none empty
      {6, {}},                                          // exams with status 3 and 1
      {11, {"HCT", "HGB", "MCH", "MCHC", "MCV", "PLT", "RBC", "RET#", "RET%", "WBC"}},
      {2, {}},                                          // chemistry order: no exam of this device
  };
  for (const auto& row : xnRows) {
    auto t = client->GetExamesProtocolo(xn, row.pedCod);
    ASSERT_NE(t, nullptr) << "order " << row.pedCod;
    ASSERT_EQ(t->columns.size(), 1u);
    EXPECT_EQ(t->columns[0].name, "ARE_NOM_APA");
    EXPECT_EQ(Sorted(Column(*t, "are_nom_apa")), row.names) << "order " << row.pedCod;
  }
  // The BC-5380 runs exam 101 too, with a report model of its own: it is
  // told its own names, never the XN-550's (MCV, MCH, MCHC).
  client->analisador = std::make_unique<TAnalisador>();
  TAnalisador& bc = WithDevice(Analyzer("Mindray", "BC-5380"));
  ASSERT_NE(bc.aparelhoTevarin, nullptr);
  for (int32_t pedCod : {1, 7, 11}) {
    auto t = client->GetExamesProtocolo(bc, pedCod);
    ASSERT_NE(t, nullptr) << "order " << pedCod;
    EXPECT_EQ(Sorted(Column(*t, "are_nom_apa")), (std::vector<std::string>{"HCT", "HGB", "PLT", "RBC", "WBC"}))
        << "order " << pedCod;
  }
}

TEST_P(LisLookups, TestNamesOfChemistryOrders) {
  TAnalisador& indiko = WithDevice(Analyzer("1", "Indiko"));
  ASSERT_NE(indiko.aparelhoTevarin, nullptr);
  struct Row {
    int32_t pedCod;
    std::vector<std::string> names;
  } rows[] = {
      {2, {"CHOL", "GLU", "TRIG"}},
      {3, {"CREA", "GLU", "UREA"}},
      {9, {}},       // only an empty attribute name
      {12, {"GLU"}}, // cholesterol still has status 1
      {8, {"AST", "CREA"}},
  };
  for (const auto& row : rows) {
    auto t = client->GetExamesProtocolo(indiko, row.pedCod);
    ASSERT_NE(t, nullptr) << "order " << row.pedCod;
    EXPECT_EQ(Sorted(Column(*t, "are_nom_apa")), row.names) << "order " << row.pedCod;
  }
  // With configured exams the device's list is the configured one.
  client->analisador = std::make_unique<TAnalisador>();
  TAnalisador& configured = WithDevice(Analyzer("1", "Indiko", {201}));
  auto t = client->GetExamesProtocolo(configured, 2);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(Column(*t, "are_nom_apa"), (std::vector<std::string>{"GLU"}));
}

TEST_P(LisLookups, AnExamCodeThatDoesNotConvertIsOneLoggedFailure) {
  TAnalisador& a = WithDevice(Analyzer("XN-550"));
  ASSERT_NE(a.aparelhoTevarin, nullptr);
  a.aparelhoTevarin->exames.push_back("abc");
  EXPECT_EQ(client->GetExamesProtocolo(a, 1), nullptr);
  std::string log = DbLog();
  EXPECT_EQ(Count(log, kStamp), 1u) << Repr(log);
  EXPECT_EQ(log.rfind(kStamp + "TMyTransaction.Select() -> Erro:", 0), 0u) << Repr(log);
  EXPECT_FALSE(global->myDB->IsConnected());
  // The next query works as usual.
  a.aparelhoTevarin->exames.pop_back();
  auto t = client->GetExamesProtocolo(a, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(Sorted(Column(*t, "are_nom_apa")), kXn550Names);
}

TEST_P(LisLookups, DebugModeLogsTheOrderStatementAndItsValues) {
  global->config->debug = true;
  TAnalisador& a = Analyzer("XN-550", "", {101});
  auto t = client->GetDadosProtocolo(a, "1001");
  ASSERT_TRUE(t && t->RecordCount() == 1);
  EXPECT_EQ(Repr(ServiceLog()), Repr(kStamp + "TSocketClient.GetDadosProtocolo\r" + lis::FillPlaces(lis::O2, {"?"}) +
                                     " and exp.exa_cod in (?)\rPar\xE2metros: 1001, 101\r\n"));
}

std::string ViaName(const ::testing::TestParamInfo<Via>& info) {
  return info.param == Via::Server ? "Server" : "Embedded";
}
INSTANTIATE_TEST_SUITE_P(Embedded, LisLookups, ::testing::Values(Via::Embedded), ViaName);
INSTANTIATE_TEST_SUITE_P(Server, LisLookups, ::testing::Values(Via::Server), ViaName);
