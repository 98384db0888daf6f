#include "FuzzSupport.hpp"

#include <cstdio>
#include <cstdlib>

#include "support/MemoryPorts.hpp"

namespace kvfuzz {

namespace {

constexpr TDateTime kNow{2024, 1, 5, 14, 57, 7, 0};

}  // namespace

void Fail(const std::string& what) {
  std::fprintf(stderr, "FUZZ FINDING: %s\n", what.c_str());
  std::abort();
}

Env::Env() : log(FixedClock(kNow), 1 << 20) {
  config.pastaSaida = saida;
  archive.AddFolder(saida);
  // The models the captures in tests/data name, so that their seeds get identified.
  const char* modelos[] = {"XN-550", "ARCHITECT", "H500", "Mindray", "c311", "cobas u 411",
                           "ABX", "PixCell", "Icounter", "SENAITE", "3600796"};
  int codigo = 100;
  for (const char* m : modelos) {
    auto a = std::make_unique<TAnalisador>();
    a->aplicacao = m;
    a->modelo = m;
    a->nomeTevarin = m;
    auto e = std::make_unique<TExame>();
    e->codigo = ++codigo;
    e->nome = "Exame";
    e->AddAtributo("WBC");
    e->AddAtributo("HGB");
    a->AddExame(std::move(e));
    config.analisadores.push_back(std::move(a));
    lis.AddDevice(m, codigo, {std::to_string(codigo)});
  }
  for (int64_t code : {1, 19, 123, 1234, 12345, 123456}) {
    kvtest::FakeOrderRow row;
    row.ped_cod = code;
    row.ped_dat = kNow;
    row.cli_cod = 7;
    row.cli_nom = "PACIENTE DE TESTE";
    row.mat_cod = 1;
    row.mat_dsc = "SANGUE";
    lis.AddOrder(code, {row});
    lis.SetTestNames(static_cast<int32_t>(code), {"WBC", "RBC"});
  }
}

TClientContext Env::Context() { return kvtest::MemoryContext(log, config, lis, archive, kNow); }

std::unique_ptr<TSocketClient> Env::NewClient() {
  return std::make_unique<TSocketClient>("127.0.0.1:4000", saida, Context());
}

void Env::CheckArchive() const {
  for (const std::string& f : archive.Files("/")) {
    if (f.compare(0, 6, "saida/") != 0) Fail("archive file outside the output folder: " + f);
    size_t start = 0;
    for (;;) {
      const size_t slash = f.find('/', start);
      const std::string step = f.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
      if (step == ".." || step == "." || step.empty()) Fail("archive path with a '" + step + "' step: " + f);
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
  }
}

std::vector<std::string> Chunks(const uint8_t* data, size_t size) {
  std::vector<std::string> out;
  if (size == 0) return out;
  uint32_t state = data[0] * 2654435761u + 1;
  size_t at = 1;
  while (at < size) {
    state = state * 1103515245u + 12345u;
    // Mostly small reads, now and then a large one, as a serial bridge gives them.
    size_t n = (state >> 16) % 16 == 0 ? 1 + (state >> 8) % 512 : 1 + (state >> 20) % 16;
    if (data[0] == 0) n = size;  // the whole input as one read
    n = std::min(n, size - at);
    out.emplace_back(reinterpret_cast<const char*>(data) + at, n);
    at += n;
  }
  return out;
}

}  // namespace kvfuzz
