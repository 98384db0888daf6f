// The demo content the handler tests put into their fake LIS is what the
// database lookups answer for the demo database: devices, order rows (values
// and their kinds) and test names, in the same order.
#include <gtest/gtest.h>

#include "db/TMyDB.hpp"
#include "lis/TLisLookups.hpp"
#include "support/DemoLis.hpp"
#include "support/LisDatabase.hpp"
#include "support/TestSupport.hpp"

namespace {

class DemoLisContent : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<kvtest::TempDir>();
    TMyDBInfo info = kvtest::CreateLisDatabase(dir_->path());
    kvtest::RunSqlScript(info, kvtest::demo::ExtraOrdersSql());
    db_ = std::make_unique<TMyDB>(info, *dir_ / "myDB.txt");
  }
  static void TearDownTestSuite() {
    db_.reset();
    dir_.reset();
  }

  static TAnalisador Analyzer(const std::string& device) {
    TAnalisador a;
    a.nomeTevarin = device;
    return a;
  }

  TLisDatabaseLookups real{[] { return db_.get(); }, {}, nullptr};

  inline static std::unique_ptr<kvtest::TempDir> dir_;
  inline static std::unique_ptr<TMyDB> db_;
};

void ExpectSameTable(TResultTable& want, TResultTable& got, const std::string& what) {
  ASSERT_EQ(got.RecordCount(), want.RecordCount()) << what;
  ASSERT_EQ(got.columns.size(), want.columns.size()) << what;
  for (size_t c = 0; c < want.columns.size(); ++c) {
    EXPECT_EQ(got.columns[c].name, want.columns[c].name) << what;
    for (size_t r = 0; r < want.rows.size(); ++r) {
      const std::string at = what + " row " + std::to_string(r) + " " + want.columns[c].name;
      EXPECT_EQ(got.rows[r][c].index(), want.rows[r][c].index()) << at;
    }
  }
  for (want.First(), got.First(); !want.Eof(); want.Next(), got.Next()) {
    for (const auto& col : want.columns) {
      EXPECT_EQ(got.IsNull(col.name), want.IsNull(col.name)) << what << " " << col.name;
      EXPECT_EQ(kvtest::Repr(got.AsString(col.name)), kvtest::Repr(want.AsString(col.name))) << what << " " << col.name;
    }
  }
}

TEST_F(DemoLisContent, DevicesAreTheDatabaseDevices) {
  for (const std::string device : {"XN-550", "Indiko", "BC-5380"}) {
    kvtest::FakeLis fake;
    kvtest::demo::AddDevice(fake, device);
    const TAnalisador a = Analyzer(device);
    auto want = real.GetAparelhoTevarin(a);
    auto got = fake.GetAparelhoTevarin(a);
    ASSERT_NE(want, nullptr) << device;
    ASSERT_NE(got, nullptr) << device;
    EXPECT_EQ(got->codigo, want->codigo) << device;
    EXPECT_EQ(got->exames, want->exames) << device;
  }
}

TEST_F(DemoLisContent, OrdersAndTestNamesAreTheDatabaseAnswers) {
  for (const auto& order : kvtest::demo::Orders()) {
    const std::string what = order.device + " " + std::to_string(order.code);
    kvtest::FakeLis fake;
    kvtest::demo::AddDevice(fake, order.device);
    kvtest::demo::AddOrder(fake, order.code);
    TAnalisador a = Analyzer(order.device);
    a.aparelhoTevarin = real.GetAparelhoTevarin(a);
    ASSERT_NE(a.aparelhoTevarin, nullptr) << what;

    auto want = real.GetDadosProtocolo(a, std::to_string(order.code));
    auto got = fake.GetDadosProtocolo(a, std::to_string(order.code));
    ASSERT_NE(want, nullptr) << what;
    ASSERT_NE(got, nullptr) << what;
    ASSERT_GT(want->RecordCount(), 0) << what;
    ExpectSameTable(*want, *got, what);

    const int32_t pedCod = static_cast<int32_t>(order.rows.front().ped_cod);
    auto wantNames = real.GetExamesProtocolo(a, pedCod);
    auto gotNames = fake.GetExamesProtocolo(a, pedCod);
    ASSERT_NE(wantNames, nullptr) << what;
    ASSERT_NE(gotNames, nullptr) << what;
    ExpectSameTable(*wantNames, *gotNames, what + " names");
  }
}

}  // namespace
