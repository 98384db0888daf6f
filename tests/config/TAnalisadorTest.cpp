#include <gtest/gtest.h>

#include "config/TAnalisador.hpp"
#include "config/TConfigJson.hpp"
#include "support/TestSupport.hpp"

namespace {

std::unique_ptr<TAnalisador> Configured(const std::string& modelo, const std::string& nome,
                                        const std::vector<std::pair<int, std::vector<std::string>>>& exames) {
  auto a = std::make_unique<TAnalisador>();
  a->modelo = modelo;
  a->nomeTevarin = nome;
  for (const auto& [codigo, atributos] : exames) {
    auto e = std::make_unique<TExame>();
    e->codigo = codigo;
    e->nome = "exame " + std::to_string(codigo);
    for (const auto& at : atributos) e->AddAtributo(at);
    a->AddExame(std::move(e));
  }
  return a;
}

TEST(TAnalisador, NewAnalyzerIsEmpty) {
  TAnalisador a;
  EXPECT_EQ(a.aplicacao, "");
  EXPECT_EQ(a.modelo, "");
  EXPECT_EQ(a.nomeTevarin, "");
  EXPECT_TRUE(a.exames.empty());
  EXPECT_EQ(a.protocolo.id, PROTOCOLO_NAO_INDENTIFICADO);
  EXPECT_EQ(a.protocolo.versao, "");
  EXPECT_EQ(a.aparelhoTevarin, nullptr);
  EXPECT_FALSE(a.usandoVTFS);
  EXPECT_FALSE(a.usandoSTXETX);
  EXPECT_FALSE(a.UsandoCaracterControle());
  a.usandoSTXETX = true;
  EXPECT_TRUE(a.UsandoCaracterControle());
  a.usandoSTXETX = false;
  a.usandoVTFS = true;
  EXPECT_TRUE(a.UsandoCaracterControle());
}

TEST(TAnalisador, GetConfigsTakesTheFirstExactMatch) {
  std::vector<std::unique_ptr<TAnalisador>> config;
  config.push_back(Configured("BC-5380", "HEMATO", {{1, {"WBC"}}}));
  config.push_back(Configured("CL-1000i", "IMUNO 1", {{5, {"TSH"}}, {12, {"FT4"}}}));
  config.push_back(Configured("CL-1000i", "IMUNO 2", {{99, {"X"}}}));
  struct Row {
    std::string modelo;
    std::string nome;
    std::string codigos;
  };
  const std::vector<Row> rows = {
      {"CL-1000i", "IMUNO 1", "5, 12"},  // the first of two with the same modelo
      {"BC-5380", "HEMATO", "1"},
      {"cl-1000i", "", ""},  // letter case differs: nothing copied
      {"CL-1000", "", ""},
      {"", "", ""},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    TAnalisador client;
    client.modelo = rows[i].modelo;
    client.aplicacao = "APP";
    client.protocolo.id = PROTOCOLO_HL7;
    client.usandoVTFS = true;
    client.GetConfigs(config);
    EXPECT_EQ(client.nomeTevarin, rows[i].nome) << "row " << i;
    EXPECT_EQ(client.exames.GetCodigos(), rows[i].codigos) << "row " << i;
    // Nothing else is copied.
    EXPECT_EQ(client.aplicacao, "APP") << "row " << i;
    EXPECT_EQ(client.protocolo.id, PROTOCOLO_HL7) << "row " << i;
    EXPECT_TRUE(client.usandoVTFS) << "row " << i;
    EXPECT_FALSE(client.usandoSTXETX) << "row " << i;
    EXPECT_TRUE(client.examesProprios.empty()) << "row " << i;
  }
}

TEST(TAnalisador, GetConfigsReplacesTheExamList) {
  std::vector<std::unique_ptr<TAnalisador>> config;
  config.push_back(Configured("A", "N", {{7, {}}}));
  TAnalisador client;
  client.modelo = "A";
  TExame stale;
  client.exames.push_back(&stale);
  client.GetConfigs(config);
  ASSERT_EQ(client.exames.size(), 1u);
  EXPECT_EQ(client.exames[0], config[0]->exames[0]);
}

TEST(TAnalisador, ClientAnalyzersReferToConfiguredExamsWithoutOwningThem) {
  std::vector<std::unique_ptr<TAnalisador>> config;
  config.push_back(Configured("CL-1000i", "IMUNO", {{5, {"TSH", "tsh2"}}, {12, {"FT4"}}}));
  const TExame* first = config[0]->exames[0];
  for (int round = 0; round < 3; ++round) {
    auto client = std::make_unique<TAnalisador>();
    client->modelo = "CL-1000i";
    client->aparelhoTevarin = std::make_unique<TAparelhoTevarin>();
    client->aparelhoTevarin->exames = {"5", "12"};
    client->GetConfigs(config);
    ASSERT_EQ(client->exames.size(), 2u) << "round " << round;
    EXPECT_EQ(client->exames[0], first) << "round " << round;
    client.reset();  // the connection ends: under ASan a double free or use-after-free shows here
    ASSERT_EQ(config[0]->exames.size(), 2u);
    EXPECT_EQ(config[0]->exames[0]->codigo, 5);
    EXPECT_EQ(config[0]->exames[0]->atributos, (std::vector<std::string>{"TSH", "tsh2"}));
    EXPECT_EQ(config[0]->exames[1]->nome, "exame 12");
  }
}

TEST(TAnalisador, GetCodigosAndAttributes) {
  struct Row {
    std::vector<std::pair<int, std::vector<std::string>>> exames;
    std::string codigos;
    std::vector<std::string> atributos;
  };
  const std::vector<Row> rows = {
      {{{5, {"A", "b"}}, {12, {"B", "C"}}, {5, {}}}, "5, 12, 5", {"A", "b", "C"}},
      {{}, "", {}},
      {{{-3, {}}}, "-3", {}},
      {{{1, {"\xC7" "A", "\xE7" "a", "x", "X", "x"}}}, "1", {"\xC7" "A", "x"}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    auto a = Configured("M", "", rows[i].exames);
    EXPECT_EQ(a->exames.GetCodigos(), rows[i].codigos) << "row " << i;
    EXPECT_EQ(a->GetAtibutosDeExames(), rows[i].atributos) << "row " << i;
  }
}

TEST(TProtocolo, NamesAndIds) {
  const std::vector<std::pair<int, std::string>> names = {
      {0, "N\xE3o identificado"}, {10, "ASTM"}, {20, "HL7"}, {30, "JSON DIAGNO"}, {7, "N\xE3o identificado"}};
  for (size_t i = 0; i < names.size(); ++i) {
    TProtocolo p;
    p.id = names[i].first;
    EXPECT_EQ(kvtest::Repr(p.GetNome()), kvtest::Repr(names[i].second)) << "row " << i;
  }
  const std::vector<std::pair<std::string, int>> ids = {
      {"ASTM", 10}, {"HL7", 20}, {"JSON DIAGNO", 30}, {"astm", 77}, {"", 77}, {"JSON", 77}};
  for (size_t i = 0; i < ids.size(); ++i) {
    TProtocolo p;
    p.id = 77;
    p.SetID(ids[i].first);
    EXPECT_EQ(p.id, ids[i].second) << "row " << i;
  }
}

TEST(TConfigJsonLookup, GetAnalisadorFindsTheFirst) {
  TConfigJson c;
  c.analisadores.push_back(Configured("A", "first", {}));
  c.analisadores.push_back(Configured("A", "second", {}));
  ASSERT_NE(c.GetAnalisador("A"), nullptr);
  EXPECT_EQ(c.GetAnalisador("A")->nomeTevarin, "first");
  EXPECT_EQ(c.GetAnalisador("a"), nullptr);
}

}  // namespace
