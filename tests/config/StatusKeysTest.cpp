// The status page's keys: portaStatus, enderecoStatus, tokenStatus,
// alertaImportacaoMinutos and the analyzers' alertaSilencioMinutos.
#include <gtest/gtest.h>

#include <filesystem>

#include "config/TConfigJson.hpp"
#include "support/TestSupport.hpp"

using kvtest::TempDir;
using kvtest::WriteFile;

namespace {

struct Loaded {
  TConfigJson config;
  std::string error;
};

std::unique_ptr<Loaded> Load(const std::string& main) {
  static TempDir dir;
  static int n = 0;
  const std::string folder = dir / ("s" + std::to_string(++n)) + "/";
  std::filesystem::create_directories(folder);
  WriteFile(folder + "kv_redurozozi.json", main);
  auto out = std::make_unique<Loaded>();
  try {
    out->config.Load(folder + "kv_redurozozi.json");
  } catch (const TConfigError& e) {
    out->error = e.what();
  }
  return out;
}

TEST(StatusKeys, DefaultsValuesAndRefusals) {
  struct Row {
    std::string keys;   // put before "analisadores"
    std::string error;  // expected part of the failure; "" when the load succeeds
    int porta;
    std::string endereco, token;
    int importacao;
  };
  const std::vector<Row> rows = {
      {"", "", 6080, "127.0.0.1", "", 30},
      {R"("portaStatus": null, "enderecoStatus": null, "alertaImportacaoMinutos": null,)", "", 6080, "127.0.0.1", "",
       30},
      {R"("portaStatus": 0,)", "", 0, "127.0.0.1", "", 30},
      {R"("portaStatus": 7080, "alertaImportacaoMinutos": 0,)", "", 7080, "127.0.0.1", "", 0},
      {R"("enderecoStatus": "127.0.0.2",)", "", 6080, "127.0.0.2", "", 30},
      {R"("enderecoStatus": "::1",)", "", 6080, "::1", "", 30},
      {R"("enderecoStatus": "localhost",)", "", 6080, "localhost", "", 30},
      {R"("enderecoStatus": "0.0.0.0", "tokenStatus": "s3cr3t",)", "", 6080, "0.0.0.0", "s3cr3t", 30},
      // Off: no token needed whatever the address.
      {R"("portaStatus": 0, "enderecoStatus": "0.0.0.0",)", "", 0, "0.0.0.0", "", 30},
      {R"("enderecoStatus": "0.0.0.0",)", R"("tokenStatus" is required when "enderecoStatus" is not loopback (0.0.0.0))", 0, "", "", 0},
      {R"("enderecoStatus": "10.1.2.3", "tokenStatus": "",)", R"("tokenStatus" is required)", 0, "", "", 0},
      {R"("enderecoStatus": "lab-host",)", R"("tokenStatus" is required)", 0, "", "", 0},
      {R"("enderecoStatus": "128.0.0.1",)", R"("tokenStatus" is required)", 0, "", "", 0},
      {R"("portaStatus": 70000,)", R"("portaStatus" is not a port (0 to 65535): 70000)", 0, "", "", 0},
      {R"("portaStatus": -1,)", R"("portaStatus" is not a port)", 0, "", "", 0},
      {R"("portaStatus": "x",)", R"("portaStatus" is not an integer)", 0, "", "", 0},
      {R"("alertaImportacaoMinutos": -5,)", R"("alertaImportacaoMinutos" must not be negative: -5)", 0, "", "", 0},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    const auto l = Load("{" + r.keys + R"( "analisadores": []})");
    if (!r.error.empty()) {
      EXPECT_NE(l->error.find(r.error), std::string::npos) << "row " << i << ": " << l->error;
      EXPECT_NE(l->error.find("kv_redurozozi.json: "), std::string::npos) << "row " << i;
      continue;
    }
    ASSERT_EQ(l->error, "") << "row " << i;
    EXPECT_EQ(l->config.portaStatus, r.porta) << "row " << i;
    EXPECT_EQ(l->config.enderecoStatus, r.endereco) << "row " << i;
    EXPECT_EQ(l->config.tokenStatus, r.token) << "row " << i;
    EXPECT_EQ(l->config.alertaImportacaoMinutos, r.importacao) << "row " << i;
  }
}

TEST(StatusKeys, NoConfigurationFileLeavesThePageOff) {
  TConfigJson c;
  TempDir dir;
  c.Load(dir / "kv_redurozozi.json");
  EXPECT_EQ(c.portaStatus, 0);
  // The alarm keeps its default; with no output folder configured it watches nothing.
  EXPECT_EQ(c.alertaImportacaoMinutos, 30);
  EXPECT_EQ(c.pastaSaida, "");
}

TEST(StatusKeys, AlertaSilencioMinutos) {
  struct Row {
    std::string value;  // "" leaves the key out
    int expected;       // -1: refused
  };
  const std::vector<Row> rows = {{"", 0}, {"null", 0}, {"0", 0}, {"15", 15}, {"\"20\"", 20}, {"-1", -1}, {"1.5", -1}};
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string key = rows[i].value.empty() ? "" : R"(, "alertaSilencioMinutos": )" + rows[i].value;
    const auto l = Load(R"({"analisadores": [{"aplicacao": "a", "modelo": "m", "exames": []},
                                              {"aplicacao": "b", "modelo": "n", "exames": [])" + key + "}]}");
    if (rows[i].expected < 0) {
      EXPECT_NE(l->error.find(R"("analisadores"[1]."alertaSilencioMinutos")"), std::string::npos)
          << "row " << i << ": " << l->error;
      continue;
    }
    ASSERT_EQ(l->error, "") << "row " << i;
    EXPECT_EQ(l->config.analisadores[0]->alertaSilencioMinutos, 0) << "row " << i;
    EXPECT_EQ(l->config.analisadores[1]->alertaSilencioMinutos, rows[i].expected) << "row " << i;
  }
}

TEST(StatusKeys, LoopbackAddresses) {
  for (const char* a : {"127.0.0.1", "127.0.0.2", "127.255.255.254", "::1", "localhost", "0:0:0:0:0:0:0:1",
                        "::0:1", "0::1", "0000::0001"})
    EXPECT_TRUE(IsLoopbackAddress(a)) << a;
  for (const char* a : {"0.0.0.0", "10.0.0.1", "128.0.0.1", "::", "::ffff:10.0.0.1", "lab", "", "127.0.0.1 ",
                        "127.0.0", "127.0.0.256", "127.0.0.1.1", "1::1", "::1::", "::2", "1::", "0:0:0:0:0:0:1",
                        "::00001", "127.0.0.x"})
    EXPECT_FALSE(IsLoopbackAddress(a)) << a;
}

}  // namespace
