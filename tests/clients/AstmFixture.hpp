#pragma once
#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "protocol/Controls.hpp"
#include "clients/TSocketClient.hpp"
#include "config/TConfigJson.hpp"
#include "support/DemoLis.hpp"
#include "support/FakeLis.hpp"
#include "support/MemoryArchive.hpp"
#include "support/MemoryLog.hpp"
#include "support/TestSupport.hpp"

namespace astmtest {

// A client record on memory ports: a fixed clock, a memory log and archive
// with the output folder "saida/", a configuration built in code and a fake
// LIS that holds only the demo content a test asks for.
class AstmFixture : public ::testing::Test {
 protected:
  // Where a state's folders are named (nothing is written to disk).
  struct Root {
    std::string path;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
  };

  void SetUp() override { Init(root.path); }
  void TearDown() override { client.reset(); }

  // A fresh state (log, configuration, LIS, archive with the output folder) named after `folder`.
  void Init(const std::string& folder) {
    client.reset();
    log = std::make_unique<kvtest::MemoryLog>(FixedClock(kNow));
    archive = std::make_unique<kvtest::MemoryArchive>();
    lis = std::make_unique<kvtest::FakeLis>();
    config = std::make_unique<TConfigJson>();
    saida = folder + "/saida/";
    archive->AddFolder(saida);
    config->pastaSaida = saida;
  }

  // Demo devices and orders (see support/DemoLis.hpp) the LIS of this state holds.
  void UseDemo(std::initializer_list<const char*> devices, std::initializer_list<int64_t> orders = {}) {
    for (const char* d : devices) kvtest::demo::AddDevice(*lis, d);
    for (int64_t o : orders) kvtest::demo::AddOrder(*lis, o);
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
    config->analisadores.push_back(std::move(a));
    return *config->analisadores.back();
  }

  TSocketClient& NewClient() {
    TClientContext c;
    c.log = log.get();
    c.config = config.get();
    c.lis = lis.get();
    c.archive = archive.get();
    c.clock = FixedClock(kNow);
    client = std::make_unique<TSocketClient>("127.0.0.1:40000", saida, std::move(c));
    return *client;
  }

  // Hands every chunk to reception, as the connection layer does.
  void Feed(const std::vector<std::string>& chunks) {
    for (const auto& c : chunks) client->ReadMessage(c);
  }

  std::string Log() const { return log->Text(); }
  bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }
  std::vector<std::string> Files() const { return archive->Files(saida); }
  std::string File(const std::string& relative) const { return archive->Read(saida + relative); }

  static constexpr TDateTime kNow{2024, 8, 5, 14, 57, 7, 0};
  const Root root{"/astm"};
  std::string saida;
  std::unique_ptr<kvtest::MemoryLog> log;
  std::unique_ptr<kvtest::MemoryArchive> archive;
  std::unique_ptr<kvtest::FakeLis> lis;
  std::unique_ptr<TConfigJson> config;
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
