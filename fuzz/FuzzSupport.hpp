#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clients/TSocketClient.hpp"
#include "config/TConfigJson.hpp"
#include "support/FakeLis.hpp"
#include "support/MemoryArchive.hpp"
#include "support/MemoryLog.hpp"

namespace kvfuzz {

// A finding: prints what broke and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(const std::string& what);

// The ports of one client record, all in memory: the analyzers of the test
// captures, a memory log, archive and LIS (devices and a few orders), a fixed
// clock and the output folder "/saida/".
class Env {
 public:
  Env();
  TClientContext Context();
  std::unique_ptr<TSocketClient> NewClient();
  // Every archive file must lie inside the output folder, with no ".." step.
  void CheckArchive() const;

  std::string saida = "/saida/";
  TConfigJson config;
  kvtest::MemoryLog log;
  kvtest::MemoryArchive archive;
  kvtest::FakeLis lis;
};

// Cuts data into chunks whose sizes come from the first byte (a small
// generator seeded with it); the chunks cover the rest of data exactly.
std::vector<std::string> Chunks(const uint8_t* data, size_t size);

}  // namespace kvfuzz
