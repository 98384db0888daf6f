#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "protocol/Controls.hpp"
#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"
#include "db/TMyDB.hpp"
#include "support/LisDatabase.hpp"
#include "support/TestSupport.hpp"

namespace astmtest {

// Orders added to the demo LIS for these tests (Indiko device, exam 201 with status 2):
//   7001: a patient whose name is only blanks;
//   7002: a patient and physician whose names hold ASTM delimiters and a CR.
inline const char* EXTRA_ORDERS = R"SQL(
insert into cli_clientes (cli_cod, cli_nom) values (101, '   ');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (101, '1970-01-02', 'F');
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (101, 7001, '2024-08-06 06:07:08', 'N', 101, null, 1);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (101, 201, 2, 2);
insert into cli_clientes (cli_cod, cli_nom) values (102, 'Ana|Maria Souza^Lima');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (102, null, null);
insert into med_medicos (med_cod, med_nom, med_crm) values (102, 'Dr. A&B' || ascii_char(13) || 'C', null);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (102, 7002, '2024-08-06 16:17:18', 'N', 102, 102, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (102, 201, 2, 2);
)SQL";

// A LIS database shared by the tests of one program (created once, read only afterwards).
inline const TMyDBInfo& SharedLis() {
  static kvtest::TempDir dir;
  static TMyDBInfo info = [] {
    TMyDBInfo i = kvtest::CreateLisDatabase(dir.path());
    kvtest::RunSqlScript(i, EXTRA_ORDERS);
    return i;
  }();
  return info;
}

// A process state in a temp folder with a fixed clock, the shared LIS and an
// output folder "saida/".
class AstmFixture : public ::testing::Test {
 protected:
  void SetUp() override { Init(tmp.path()); }
  void TearDown() override {
    client.reset();
    if (global && global->log_) global->log_->flush();
    global.reset();
  }

  // A fresh process state (log, configuration, output folder) in `folder`.
  void Init(const std::string& folder) {
    client.reset();
    global.reset();
    std::filesystem::create_directories(folder);
    global = std::make_unique<TGlobal>(folder + "/kv_redurozozi");
    global->clock = FixedClock(TDateTime{2024, 8, 5, 14, 57, 7, 0});
    global->sleep = [](int) {};
    global->config = std::make_unique<TConfigJson>();
    saida = folder + "/saida/";
    std::filesystem::create_directories(saida);
    global->config->pastaSaida = saida;
    global->myDBInfo = SharedLis();
    global->StartMyDB();
  }

  // A configured analyzer; each exam gets the attributes given for it.
  TAnalisador& Configure(const std::string& modelo, const std::string& nomeTevarin,
                         const std::vector<std::pair<int, std::vector<std::string>>>& exames = {}) {
    auto a = std::make_unique<TAnalisador>();
    a->aplicacao = modelo;
    a->modelo = modelo;
    a->nomeTevarin = nomeTevarin;
    for (const auto& [codigo, atributos] : exames) {
      auto e = std::make_unique<TExame>();
      e->codigo = codigo;
      for (const auto& at : atributos) e->AddAtributo(at);
      a->AddExame(std::move(e));
    }
    global->config->analisadores.push_back(std::move(a));
    return *global->config->analisadores.back();
  }

  TSocketClient& NewClient() {
    client = std::make_unique<TSocketClient>("127.0.0.1:40000", saida, kvtest::GlobalContext());
    return *client;
  }

  // Hands every chunk to reception, as the connection layer does.
  void Feed(const std::vector<std::string>& chunks) {
    for (const auto& c : chunks) client->ReadMessage(c);
  }

  std::string Log() const {
    if (global && global->log_) global->log_->flush();
    return kvtest::ReadFile(global->log_file_name);
  }
  bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }
  std::vector<std::string> Files() const { return kvtest::ListFiles(saida); }

  kvtest::TempDir tmp;
  std::string saida;
  std::unique_ptr<TSocketClient> client;
};

// A session cut the way an E1381 analyzer delivers it: ENQ alone, one chunk
// per frame with its line end, EOT alone. Text outside frames goes with the
// frame before it.
inline std::vector<std::string> FrameChunks(const std::string& bytes) {
  std::vector<std::string> chunks;
  std::string cur;
  auto flush = [&] {
    if (!cur.empty()) chunks.push_back(cur);
    cur.clear();
  };
  for (char c : bytes) {
    if (c == ENQ || c == EOT) {
      flush();
      chunks.emplace_back(1, c);
    } else {
      if (c == STX) flush();
      cur += c;
    }
  }
  flush();
  return chunks;
}

// The capture without its ENQ and EOT bytes.
inline std::string WithoutHandshake(const std::string& bytes) {
  std::string out;
  for (char c : bytes)
    if (c != ENQ && c != EOT) out += c;
  return out;
}

// What the archive file of a capture must hold, worked out from the frames
// (not from lines): each frame's text from its frame number to its ETX/ETB,
// cut at CR/LF, empty pieces dropped; unframed text cut at CR/LF.
inline std::string ExpectedArchive(const std::string& bytes) {
  std::string text = WithoutHandshake(bytes);
  std::vector<std::string> pieces;
  auto cut = [&](const std::string& s) {
    std::string cur;
    for (char c : s) {
      if (c == CR || c == LF) {
        if (!cur.empty()) pieces.push_back(cur);
        cur.clear();
      } else {
        cur += c;
      }
    }
    if (!cur.empty()) pieces.push_back(cur);
  };
  if (text.find(STX) == std::string::npos) {
    cut(text);
  } else {
    size_t pos = 0;
    while ((pos = text.find(STX, pos)) != std::string::npos) {
      size_t end = text.find_first_of(std::string{ETX, ETB}, pos);
      cut(text.substr(pos + 1, end - pos - 1));
      pos = end;
    }
  }
  std::string out;
  for (const auto& p : pieces) out += p + "\r\n";
  return out;
}

}  // namespace astmtest
