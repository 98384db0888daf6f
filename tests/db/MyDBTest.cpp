#include <gtest/gtest.h>

#include <cstdlib>

#include "db/DbTestSupport.hpp"
#include "db/TMyDB.hpp"
#include "db/TMyTransaction.hpp"

using namespace dbtest;
using kvtest::Repr;
using kvtest::TempDir;

namespace {

// One demo database for the read-only cases of this file.
class MyDBTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    info_ = kvtest::CreateLisDatabase(dir_->path());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { db = MakeDB(info_, logDir / "myDB.txt"); }

  static TempDir* dir_;
  static TMyDBInfo info_;
  TempDir logDir;
  std::unique_ptr<TMyDB> db;
};
TempDir* MyDBTest::dir_ = nullptr;
TMyDBInfo MyDBTest::info_;

}  // namespace

TEST_F(MyDBTest, StartupCheckGivesOneRowWithTheCursorOnItAndDetaches) {
  auto t = db->Select("select 1 from rdb$database", false);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->RecordCount(), 1);
  EXPECT_FALSE(t->Eof());
  EXPECT_EQ(t->RecNo(), 1);
  ASSERT_EQ(t->columns.size(), 1u);
  EXPECT_EQ(t->AsInteger(t->columns[0].name), 1);
  EXPECT_FALSE(db->IsConnected());
  EXPECT_EQ(LogText(*db), "");
}

TEST_F(MyDBTest, KeepConnectedStaysAttachedUntilDisconnect) {
  auto t = db->Select("select 1 as um from rdb$database", true);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(db->IsConnected());
  db->Disconnect();
  EXPECT_FALSE(db->IsConnected());
}

TEST_F(MyDBTest, EachQueryAttachesAnew) {
  auto a = db->Select("select current_connection as c from rdb$database", false);
  auto b = db->Select("select current_connection as c from rdb$database", false);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->AsInteger("c"), b->AsInteger("c"));
  auto k1 = db->Select("select current_connection as c from rdb$database", true);
  auto k2 = db->Select("select current_connection as c from rdb$database", true);
  ASSERT_TRUE(k1 && k2);
  EXPECT_EQ(k1->AsInteger("c"), k2->AsInteger("c"));
}

TEST_F(MyDBTest, TypedReadsByColumnNameInAnyLetterCase) {
  auto t = db->Select(
      "select ped.ped_cod, ped.ped_cod_vis, ped.ped_dat, ped.ped_urg, cli.cli_nom, cpf.cpf_dta_nas, cpf.cpf_sex "
      "from ped_pedidos ped join cli_clientes cli on cli.cli_cod = ped.cli_cod "
      "join cpf_clientepessoafisica cpf on cpf.cli_cod = cli.cli_cod where ped.ped_cod = 3",
      false);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->RecordCount(), 1);
  EXPECT_EQ(t->AsInteger("PED_COD"), 3);
  EXPECT_EQ(t->AsString("ped_cod"), "3");
  EXPECT_EQ(t->AsInteger("Ped_Cod_Vis"), 2240801237LL);
  EXPECT_EQ(t->AsDateTime("ped_dat"), (TDateTime{2024, 8, 4, 23, 5, 0, 0}));
  EXPECT_EQ(t->AsString("ped_dat"), "04/08/2024 23:05:00");
  EXPECT_EQ(t->AsDateTime("cpf_dta_nas"), (TDateTime{1948, 2, 29, 0, 0, 0, 0}));
  EXPECT_EQ(t->AsString("cpf_dta_nas"), "29/02/1948");
  EXPECT_EQ(t->AsString("ped_urg"), "S");
  EXPECT_EQ(t->AsString("cpf_sex"), "M");
  // Windows-1252 bytes, as the service keeps text.
  EXPECT_EQ(kvtest::Repr(t->AsString("cli_nom")),
            kvtest::Repr("Ant\xF4nio Carlos de Albuquerque Magalh\xE3" "es J\xFAnior"));
  EXPECT_THROW(t->AsString("no_such_column"), std::out_of_range);
  EXPECT_THROW(t->AsInteger("cli_nom"), std::invalid_argument);
}

TEST_F(MyDBTest, NullsStayNullAndReadAsDefaults) {
  auto t = db->Select(
      "select cast(null as timestamp) as t, cast(null as varchar(10)) as s, cast(null as integer) as i, "
      "cast(0 as integer) as zero, cast('' as varchar(5)) as vazio, med_cod from ped_pedidos where ped_cod = 5",
      false);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->RecordCount(), 1);
  for (const char* c : {"t", "s", "i", "med_cod"}) {
    SCOPED_TRACE(c);
    EXPECT_TRUE(t->IsNull(c));
    EXPECT_EQ(t->AsInteger(c), 0);
    EXPECT_EQ(t->AsString(c), "");
    EXPECT_EQ(t->AsDateTime(c), (TDateTime{1899, 12, 30, 0, 0, 0, 0}));
  }
  EXPECT_FALSE(t->IsNull("zero"));
  EXPECT_FALSE(t->IsNull("vazio"));
}

TEST_F(MyDBTest, ParametersOfEveryKindAreBound) {
  TDateTime when{2024, 8, 4, 23, 5, 7, 250};
  auto t = db->Select(
      "select cast(? as bigint) as i, cast(? as varchar(20)) as s, cast(? as double precision) as d, "
      "cast(? as timestamp) as t, cast(? as integer) as n, cast(? as varchar(30)) as q from rdb$database",
      false, {TDbValue(int64_t{2240801237}), TDbValue(std::string("Jo\xE3o")), TDbValue(2.5), TDbValue(when),
              TDbValue(), TDbValue(std::string("D'\xC1vila ' or 1=1 --"))});
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->AsInteger("i"), 2240801237LL);
  EXPECT_EQ(kvtest::Repr(t->AsString("s")), kvtest::Repr("Jo\xE3o"));
  EXPECT_EQ(t->AsString("d"), "2.5");
  EXPECT_EQ(t->AsDateTime("t"), when);
  EXPECT_TRUE(t->IsNull("n"));
  EXPECT_EQ(t->AsString("q"), "D'\xC1vila ' or 1=1 --");
}

TEST_F(MyDBTest, SyntaxErrorGivesNoTableAndOneLogEntryWithTheStatement) {
  const std::string sql = "select from where ped_pedidos";
  auto t = db->Select(sql, false);
  EXPECT_EQ(t, nullptr);
  EXPECT_FALSE(db->IsConnected());
  std::string log = LogText(*db);
  const std::string head = kStamp + "TMyTransaction.Select() -> Erro:";
  EXPECT_EQ(log.rfind(head, 0), 0u) << kvtest::Repr(log);
  // The error text follows the colon directly, the statement follows CR "SQL: ".
  EXPECT_NE(log[head.size()], ' ');
  const std::string tail = "\rSQL: " + sql + "\r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail) << kvtest::Repr(log);
  EXPECT_EQ(Count(log, "TMyTransaction.Select()"), 1u);
  EXPECT_EQ(Count(log, kStamp), 1u);
  EXPECT_NE(log.find("Token unknown"), std::string::npos) << kvtest::Repr(log);
}

TEST_F(MyDBTest, QueryWithoutRowsGivesAnEmptyTableAtItsEnd) {
  auto t = db->Select("select ped_cod, ped_dat from ped_pedidos where ped_cod = -1", false);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->RecordCount(), 0);
  EXPECT_TRUE(t->Eof());
  ASSERT_EQ(t->columns.size(), 2u);
  EXPECT_EQ(t->columns[1].name, "PED_DAT");
  EXPECT_THROW(t->AsInteger("ped_cod"), std::out_of_range);
  EXPECT_EQ(LogText(*db), "");
}

TEST_F(MyDBTest, CursorWalksEveryRowInOrder) {
  auto t = db->Select("select apa_cod, apa_dsc from apa_aparelhos order by apa_cod", false);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->RecordCount(), 3);
  std::vector<std::string> seen;
  for (t->First(); !t->Eof(); t->Next()) seen.push_back(std::to_string(t->RecNo()) + ":" + t->AsString("apa_dsc"));
  EXPECT_EQ(seen, (std::vector<std::string>{"1:XN-550", "2:Indiko", "3:BC-5380"}));
  t->Next();  // stays at the end
  EXPECT_TRUE(t->Eof());
  t->First();
  EXPECT_EQ(t->AsInteger("apa_cod"), 1);
}

TEST_F(MyDBTest, WrongParameterCountIsAFailureNotAGuess) {
  auto t = db->Select("select 1 from rdb$database where 1 = ?", false);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(Count(LogText(*db), "TMyTransaction.Select() -> Erro:"), 1u);
}

TEST(MyDBConnection, ConnectionStringIsServerColonDatabaseOrDatabaseAlone) {
  struct Row {
    std::string server, database, expected;
  } rows[] = {
      {"", "/var/lib/lis/lis.fdb", "/var/lib/lis/lis.fdb"},
      {"127.0.0.1", "/var/lib/lis/lis.fdb", "127.0.0.1:/var/lib/lis/lis.fdb"},
      {"lis-host/3051", "lis", "lis-host/3051:lis"},
      {"", "inet://lis-host/lis", "inet://lis-host/lis"},
  };
  TempDir dir;
  for (size_t i = 0; i < std::size(rows); ++i) {
    TMyDB db({rows[i].server, rows[i].database, "SYSDBA", "x"}, dir / "myDB.txt");
    EXPECT_EQ(db.ConnectionString(), rows[i].expected) << "row " << i;
    EXPECT_FALSE(db.IsConnected()) << "row " << i;
  }
}

TEST(MyDBConnection, FailedAttachLogsOnceGivesNoTableAndTheNextQueryAttachesAnew) {
  TempDir dir;
  TMyDBInfo good = kvtest::CreateLisDatabase(dir.path());
  struct Row {
    const char* name;
    TMyDBInfo bad;
  } rows[] = {
      {"missing file", {"", dir / "nao_existe.fdb", "SYSDBA", "masterkey"}},
      {"missing folder", {"", dir / "sem/pasta/lis.fdb", "SYSDBA", "masterkey"}},
      {"unreachable server", {"127.0.0.1/" + std::to_string(kvtest::FreePort()), good.database, "SYSDBA", "x"}},
      {"no database configured", {"", "", "SYSDBA", "masterkey"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir logDir;
    auto db = MakeDB(row.bad, logDir / "myDB.txt");
    EXPECT_EQ(db->Select("select 1 from rdb$database", false), nullptr);
    EXPECT_FALSE(db->IsConnected());
    std::string log = LogText(*db);
    EXPECT_EQ(Count(log, kStamp), 1u) << kvtest::Repr(log);
    EXPECT_EQ(log.rfind(kStamp + "TMyTransaction.Select() -> Erro:", 0), 0u) << kvtest::Repr(log);
    EXPECT_NE(log.find("\rSQL: select 1 from rdb$database\r\n"), std::string::npos);
    // The driver's message stays for the start-up line, and is what the log holds.
    EXPECT_FALSE(db->lastError.empty());
    EXPECT_NE(log.find(db->lastError.substr(0, 20)), std::string::npos) << kvtest::Repr(db->lastError);
    // Same failure again: a second entry, nothing kept from the first attempt.
    EXPECT_EQ(db->Select("select 1 from rdb$database", true), nullptr);
    EXPECT_EQ(Count(LogText(*db), kStamp), 2u);
    db->SetDBInfo(good);
    auto t = db->Select("select 1 from rdb$database", false);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->RecordCount(), 1);
    EXPECT_TRUE(db->lastError.empty());
    EXPECT_EQ(Count(LogText(*db), kStamp), 2u);
  }
}

TEST(MyDBConnection, ConnectReportsFailureInTheLog) {
  TempDir dir;
  auto db = MakeDB({"", dir / "nao_existe.fdb", "SYSDBA", "x"}, dir / "myDB.txt");
  EXPECT_FALSE(db->Connect());
  EXPECT_EQ(LogText(*db).rfind(kStamp + "TMyDB.Connect() -> Erro: ", 0), 0u);
  db->SetDBInfo(kvtest::CreateLisDatabase(dir.path()));
  EXPECT_TRUE(db->Connect());
  EXPECT_TRUE(db->IsConnected());
  db->Disconnect();
  EXPECT_FALSE(db->IsConnected());
}

TEST(MyDBTransactions, CommitKeepsRollbackAndDestroyDiscard) {
  TempDir dir;
  TMyDBInfo info = kvtest::CreateLisDatabase(dir.path());
  auto db = MakeDB(info, dir / "myDB.txt");
  auto count = [&] {
    auto t = db->Select("select count(*) as n from grp_grupos", true);
    return t ? t->AsInteger("n") : -1;
  };
  const int64_t before = count();
  {
    auto tr = db->StartTransaction();
    EXPECT_FALSE(tr->IsActive());
    EXPECT_TRUE(tr->Exec("insert into grp_grupos (grp_cod, grp_dsc) values (:cod, :dsc)", true,
                         {TDbValue(int64_t{50}), TDbValue(std::string("Domic\xEDlio"))}));
    EXPECT_TRUE(tr->IsActive());
    EXPECT_TRUE(tr->DoRollback());
    EXPECT_FALSE(tr->IsActive());
  }
  EXPECT_EQ(count(), before);
  {
    auto tr = db->StartTransaction();
    EXPECT_TRUE(tr->Exec("insert into grp_grupos (grp_cod, grp_dsc) values (51, 'Pesquisa')", false));
  }  // freed while active: rolled back
  EXPECT_EQ(count(), before);
  {
    auto tr = db->StartTransaction();
    EXPECT_TRUE(tr->Exec("insert into grp_grupos (grp_cod, grp_dsc) values (:cod, :dsc)", true,
                         {TDbValue(int64_t{52}), TDbValue(std::string("Domic\xEDlio"))}));
    EXPECT_TRUE(tr->DoCommit());
    EXPECT_EQ(tr->lastError, "");
  }
  EXPECT_EQ(count(), before + 1);
  auto t = db->Select("select grp_dsc from grp_grupos where grp_cod = ?", false, {TDbValue(int64_t{52})});
  ASSERT_TRUE(t && t->RecordCount() == 1);
  EXPECT_EQ(t->AsString("grp_dsc"), "Domic\xEDlio");
}

TEST(MyDBTransactions, ExecFailureIsLoggedWithTheStatement) {
  TempDir dir;
  auto db = MakeDB(kvtest::CreateLisDatabase(dir.path()), dir / "myDB.txt");
  const std::string sql = "insert into grp_grupos (grp_cod, grp_dsc) values (1, 'duplicada')";
  EXPECT_FALSE(db->Exec(sql, false));
  std::string log = LogText(*db);
  EXPECT_EQ(log.rfind(kStamp + "TMyTransaction.Exec() -> Erro:", 0), 0u) << kvtest::Repr(log);
  EXPECT_NE(log.find("\rSQL: " + sql + "\r\n"), std::string::npos);
  EXPECT_EQ(Count(log, kStamp), 1u);
}

TEST(MyDBServer, StartupCheckAndWrongPasswordThroughTheServer) {
  if (!std::getenv("KV_FB_SERVER")) GTEST_SKIP() << "KV_FB_SERVER not set (no Firebird server to test through)";
  TempDir dir;
  TMyDBInfo good = ThroughServer(kvtest::CreateLisDatabase(dir.path()), dir.path());
  ASSERT_FALSE(good.password.empty()) << "no ISC_PASSWORD in the password file";
  TempDir logDir;
  TMyDBInfo bad = good;
  bad.password = good.password + "x";
  auto db = MakeDB(bad, logDir / "myDB.txt");
  EXPECT_EQ(db->Select("select 1 from rdb$database", false), nullptr);
  std::string log = LogText(*db);
  EXPECT_EQ(Count(log, kStamp), 1u) << Repr(log);
  EXPECT_EQ(log.rfind(kStamp + "TMyTransaction.Select() -> Erro:", 0), 0u) << Repr(log);
  db->SetDBInfo(good);
  auto t = db->Select("select 1 from rdb$database", false);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->RecordCount(), 1);
  EXPECT_FALSE(db->IsConnected());
  // Two queries, two attachments, each with the user name and password once.
  auto a = db->Select("select current_connection as c, mon$remote_protocol as p from mon$attachments "
                      "where mon$attachment_id = current_connection", false);
  auto b = db->Select("select current_connection as c from rdb$database", false);
  ASSERT_TRUE(a && b && a->RecordCount() == 1);
  EXPECT_NE(a->AsInteger("c"), b->AsInteger("c"));
  EXPECT_EQ(a->AsString("p"), "TCPv4");
  EXPECT_EQ(Count(LogText(*db), kStamp), 1u);
}
