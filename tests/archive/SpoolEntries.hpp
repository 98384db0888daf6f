#pragma once
// A kept message as the spool tests write and read it back.
#include <string>
#include <utility>
#include <vector>

#include "archive/TArchiveEntry.hpp"

namespace kvtest {

inline TArchiveEntry SpoolEntry(const std::string& origem, std::vector<std::string> linhas) {
  TArchiveEntry e;
  e.linhas = std::move(linhas);
  e.protocolo = 10;
  e.versao = "LIS2-A2";
  e.modelo = "XN-550";
  e.nomeTevarin = "Sysmex";
  e.pastaSaida = "/saida/";
  e.completo = TDateTime{2024, 1, 5, 14, 57, 7, 123};
  e.origem = origem;
  return e;
}

}  // namespace kvtest
