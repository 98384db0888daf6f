#include <gtest/gtest.h>

#include "db/DbTestSupport.hpp"
#include "db/TExecDB.hpp"
#include "db/TMyDB.hpp"
#include "db/TMyTransaction.hpp"

using namespace dbtest;
using kvtest::Repr;
using kvtest::TempDir;

namespace {

std::unique_ptr<TFieldForExecDB> Field(const std::string& name, TDbValue v, bool key = false, bool autoinc = false) {
  return std::make_unique<TFieldForExecDB>(name, v, key, autoinc);
}

class ExecDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    info = kvtest::CreateLisDatabase(dir.path());
    kvtest::RunSqlScript(info,
                         "create table tst_pessoa (cod integer not null primary key, nome varchar(40), "
                         "  foto blob sub_type 0);"
                         "insert into tst_pessoa (cod, nome) values (5, 'Existente');");
    db = MakeDB(info, dir / "myDB.txt");
  }
  std::unique_ptr<TResultTable> Rows() {
    return db->Select("select cod, nome, foto from tst_pessoa order by cod", false);
  }
  TempDir dir;
  TMyDBInfo info;
  std::unique_ptr<TMyDB> db;
};

}  // namespace

TEST(ExecDBTexts, ConditionsInsertAndUpdateTexts) {
  TExecDB b(nullptr);
  b.Start("tst_pessoa", TExecAction::eaInsertOrUpdate);
  b.AddField(Field("upper(cod)", int64_t{1}, true));
  b.AddField(Field("nome", std::string("x")));
  b.AddField(Field("idade", int64_t{3}));
  EXPECT_EQ(b.fields[0]->GetCleanName(), "cod");
  EXPECT_EQ(b.GetConditions(), "upper(cod) = :cod");
  EXPECT_EQ(b.GetInsertSQL(), " insert into tst_pessoa(upper(cod), nome, idade) values (:upper(cod), :nome, :idade);");
  EXPECT_EQ(b.GetUpdateSQL(), " update tst_pessoa set nome = :nome, idade = :idade where upper(cod) = :cod");
  b.AddField(Field("UPPER(Serie)", std::string("A"), true));
  // Only the lower-case word is removed, as written.
  EXPECT_EQ(b.fields[3]->GetCleanName(), "UPPERSerie");
  EXPECT_EQ(b.GetConditions(), "upper(cod) = :cod and UPPER(Serie) = :UPPERSerie");
}

TEST(ExecDBTexts, NamedMarkersBecomeQuestionMarks) {
  struct Row {
    std::string in, sql;
    std::vector<std::string> names;
  } rows[] = {
      {"update t set a = :a where b = :b_2", "update t set a = ? where b = ?", {"a", "b_2"}},
      {"select ':x' from t where y = :y", "select ':x' from t where y = ?", {"y"}},
      {"select 1 from t -- :c\nwhere d = :d", "select 1 from t -- :c\nwhere d = ?", {"d"}},
      {"select /* :e */ 1 from t where \"f:g\" = :f", "select /* :e */ 1 from t where \"f:g\" = ?", {"f"}},
      {"select 1 from t where a = :a or b = :a", "select 1 from t where a = ? or b = ?", {"a", "a"}},
      {"select '12:30' from t", "select '12:30' from t", {}},
      {"select 'it''s :no' from t where x = :x", "select 'it''s :no' from t where x = ?", {"x"}},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    TNamedSql n = ParseNamedParams(rows[i].in);
    EXPECT_EQ(n.sql, rows[i].sql) << "row " << i;
    EXPECT_EQ(n.names, rows[i].names) << "row " << i;
  }
}

TEST_F(ExecDBTest, InsertsWithAGeneratedKeyThenUpdatesOnlyTheOtherFields) {
  auto tr = db->StartTransaction();
  TExecDB* b = tr->GetNewExec();
  ASSERT_EQ(tr->execList.size(), 1u);
  b->Start("tst_pessoa", TExecAction::eaInsertOrUpdate);
  b->AddField(Field("cod", int64_t{900}, true, true));
  b->AddField(Field("nome", std::string("Jos\xE9 Nov\xE9")));
  EXPECT_TRUE(b->Execute(true));
  // No generator yet: it starts after the highest key in use (5).
  EXPECT_EQ(std::get<int64_t>(b->fields[0]->value), 6);
  auto t = Rows();
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->RecordCount(), 2);
  t->Next();
  EXPECT_EQ(t->AsInteger("cod"), 6);
  EXPECT_EQ(Repr(t->AsString("nome")), Repr("Jos\xE9 Nov\xE9"));

  auto tr2 = db->StartTransaction();
  TExecDB* u = tr2->GetNewExec();
  u->Start("tst_pessoa", TExecAction::eaInsertOrUpdate);
  u->AddField(Field("cod", int64_t{6}, true, true));
  u->AddField(Field("nome", std::string("Atualizado")));
  EXPECT_TRUE(u->Execute(true));
  EXPECT_EQ(std::get<int64_t>(u->fields[0]->value), 6);  // no new key for an update
  t = Rows();
  ASSERT_TRUE(t && t->RecordCount() == 2);
  EXPECT_EQ(t->AsString("nome"), "Existente");
  t->Next();
  EXPECT_EQ(t->AsString("nome"), "Atualizado");
  EXPECT_EQ(LogText(*db).find("TExecDB"), std::string::npos);
}

TEST_F(ExecDBTest, WithoutAutoCommitNothingIsKeptUntilCommit) {
  {
    auto tr = db->StartTransaction();
    TExecDB* b = tr->GetNewExec();
    b->Start("tst_pessoa", TExecAction::eaInsertOrUpdate);
    b->AddField(Field("cod", int64_t{7}, true));
    b->AddField(Field("nome", std::string("Provis\xF3rio")));
    EXPECT_TRUE(b->Execute(false));
  }  // freed without commit
  EXPECT_EQ(Rows()->RecordCount(), 1);
  auto tr = db->StartTransaction();
  TExecDB* b = tr->GetNewExec();
  b->Start("tst_pessoa", TExecAction::eaInsertOrUpdate);
  b->AddField(Field("cod", int64_t{7}, true));
  b->AddField(Field("nome", std::string("Definitivo")));
  EXPECT_TRUE(b->Execute(false));
  EXPECT_TRUE(tr->DoCommit());
  EXPECT_EQ(Rows()->RecordCount(), 2);
}

TEST_F(ExecDBTest, BlobFieldsStoreTheirBytesOrNull) {
  const std::string jpeg("\xFF\xD8\xFF\xE0\0\x10JFIF\0\x01\xFF\xD9", 14);
  auto tr = db->StartTransaction();
  TExecDB* b = tr->GetNewExec();
  b->Start("tst_pessoa", TExecAction::eaInsertOrUpdate);
  b->AddField(Field("cod", int64_t{5}, true));
  auto foto = Field("foto", TDbValue());
  foto->SetStreamValue(std::make_unique<std::string>(jpeg));
  EXPECT_EQ(foto->typeOf, TMyFieldType::mftBlob);
  b->AddField(std::move(foto));
  EXPECT_TRUE(b->Execute(true));
  auto t = Rows();
  ASSERT_TRUE(t && t->RecordCount() == 1);
  EXPECT_EQ(Repr(t->AsString("foto")), Repr(jpeg));

  auto tr2 = db->StartTransaction();
  TExecDB* n = tr2->GetNewExec();
  n->Start("tst_pessoa", TExecAction::eaInsertOrUpdate);
  n->AddField(Field("cod", int64_t{5}, true));
  auto none = Field("foto", TDbValue());
  none->SetStreamValue(nullptr);
  n->AddField(std::move(none));
  EXPECT_TRUE(n->Execute(true));
  t = Rows();
  ASSERT_TRUE(t && t->RecordCount() == 1);
  EXPECT_TRUE(t->IsNull("foto"));
}

TEST_F(ExecDBTest, FailuresGiveFalseAndGoToLastErrorOrTheLog) {
  auto tr = db->StartTransaction();
  TExecDB* bad = tr->GetNewExec();
  bad->Start("tabela_que_nao_existe", TExecAction::eaInsertOrUpdate);
  bad->AddField(Field("cod", int64_t{1}, true));
  EXPECT_FALSE(bad->Execute(true));
  EXPECT_NE(bad->lastError.find("TABELA_QUE_NAO_EXISTE"), std::string::npos) << bad->lastError;
  EXPECT_EQ(LogText(*db), "");  // a failed existence check is not logged

  auto tr2 = db->StartTransaction();
  TExecDB* b = tr2->GetNewExec();
  b->Start("tst_pessoa", TExecAction::eaInsertOrUpdate);
  b->AddField(Field("cod", int64_t{8}, true));
  b->AddField(Field("coluna_inexistente", std::string("x")));
  EXPECT_FALSE(b->Execute(true));
  EXPECT_EQ(b->lastError, "");
  std::string log = LogText(*db);
  EXPECT_EQ(log.rfind(kStamp + "TExecDB.DoInsertOrUpdate() -> Erro: ", 0), 0u) << Repr(log);
  EXPECT_EQ(Count(log, kStamp), 1u);
  EXPECT_EQ(Rows()->RecordCount(), 1);

  auto tr3 = db->StartTransaction();
  TExecDB* d = tr3->GetNewExec();
  d->Start("tst_pessoa", TExecAction::eaDelete);
  d->AddField(Field("cod", int64_t{5}, true));
  EXPECT_FALSE(d->Execute(true));  // deleting is not implemented: nothing happens
  EXPECT_EQ(Rows()->RecordCount(), 1);
}

TEST_F(ExecDBTest, GetNewIdAdvancesAnExistingGenerator) {
  EXPECT_EQ(db->GetNewID("ped_pedidos", "ped_cod"), 13);
  EXPECT_EQ(db->GetNewID("ped_pedidos", ""), 14);
  EXPECT_EQ(LogText(*db), "");
}

TEST_F(ExecDBTest, GetNewIdCreatesAMissingGeneratorAfterTheHighestKey) {
  // mat_material has keys up to 4 and no generator; the empty field name is "mat_cod".
  EXPECT_EQ(db->GetNewID("mat_material", ""), 5);
  EXPECT_EQ(db->GetNewID("mat_material", ""), 6);
  auto g = db->Select("select rdb$generator_name as n from rdb$generators where rdb$generator_name = ?", false,
                      {TDbValue(std::string("GEN_MAT_MATERIAL"))});
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->RecordCount(), 1);
  // The look-up of the missing generator is one logged failure.
  EXPECT_EQ(Count(LogText(*db), "TMyTransaction.Select() -> Erro:"), 1u);
  // An empty table starts at 1.
  kvtest::RunSqlScript(info, "create table tst_vazia (cod integer);");
  EXPECT_EQ(db->GetNewID("tst_vazia", "cod"), 1);
}

TEST_F(ExecDBTest, GetNewIdForALongTableNameUsesA31CharacterGenerator) {
  const std::string table = "tabela_de_resultados_historicos_arquivos";  // 40 characters
  ASSERT_EQ(table.size(), 40u);
  // The table cannot exist (names stop at 31 characters): the generator starts at 1001.
  EXPECT_EQ(db->GetNewID(table, "cod"), 1001);
  EXPECT_EQ(db->GetNewID(table, "cod"), 1002);
  auto g = db->Select("select trim(rdb$generator_name) as n from rdb$generators where rdb$generator_name starting with ?",
                      false, {TDbValue(std::string("GEN_TABELA"))});
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(g->RecordCount(), 1);
  EXPECT_EQ(g->AsString("n"), "GEN_TABELA_DE_RESULTADOS_HISTOR");
  EXPECT_EQ(g->AsString("n").size(), 31u);
}
