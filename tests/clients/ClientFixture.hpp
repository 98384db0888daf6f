#pragma once
#include <sys/stat.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "protocol/Controls.hpp"
#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"
#include "support/FakeLis.hpp"
#include "support/MemoryArchive.hpp"
#include "support/MemoryLog.hpp"
#include "support/MemoryPorts.hpp"
#include "support/TestSupport.hpp"

namespace kvtest {

// The ports of one client record in memory: a configuration built in code,
// a memory log and archive, a fake LIS, a fixed clock (5 January 2024
// 14:57:07) and an output folder "/saida/".
class ClientEnv {
 public:
  ClientEnv() {
    config.pastaSaida = saida;
    archive.AddFolder(saida);
  }
  ClientEnv(const ClientEnv&) = delete;
  ClientEnv& operator=(const ClientEnv&) = delete;

  // A configured analyzer with one exam per code.
  TAnalisador& AddAnalisador(const std::string& modelo, const std::string& nomeTevarin,
                             const std::vector<int>& codigos = {}) {
    auto a = std::make_unique<TAnalisador>();
    a->modelo = modelo;
    a->nomeTevarin = nomeTevarin;
    for (int c : codigos) {
      auto e = std::make_unique<TExame>();
      e->codigo = c;
      e->nome = "Exame " + std::to_string(c);
      a->AddExame(std::move(e));
    }
    config.analisadores.push_back(std::move(a));
    return *config.analisadores.back();
  }

  // What a record made in this environment reaches.
  TClientContext Context() { return MemoryContext(log, config, lis, archive, kNow); }

  // The service log as written so far (newest entry first).
  std::string Log() const { return log.Text(); }
  bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }
  // Archive files below the output folder (relative, sorted) and their text.
  std::vector<std::string> Files() const { return archive.Files(saida); }
  std::string File(const std::string& relative) const { return archive.Read(saida + relative); }

  static constexpr TDateTime kNow{2024, 1, 5, 14, 57, 7, 0};
  std::string saida = "/saida/";  // ends with "/"
  TConfigJson config;
  MemoryLog log{FixedClock(kNow)};
  MemoryArchive archive;
  FakeLis lis;
};

// The ports of the service itself (a real TGlobal in a temporary folder: its
// log file, the host's file system) with the clock and output folder of
// ClientEnv, for the tests whose point is real files.
class FileClientEnv {
 public:
  FileClientEnv() {
    ::mkdir((dir / "Logs").c_str(), 0777);
    global = std::make_unique<TGlobal>(dir / "kv_redurozozi");
    global->config = std::make_unique<TConfigJson>();
    saida = dir / "saida/";
    ::mkdir(saida.c_str(), 0777);
    global->config->pastaSaida = saida;
    global->clock = FixedClock(ClientEnv::kNow);
  }
  ~FileClientEnv() {
    if (global && global->log_) global->log_->flush();
    global.reset();
  }
  FileClientEnv(const FileClientEnv&) = delete;
  FileClientEnv& operator=(const FileClientEnv&) = delete;

  // The service log as written so far (newest entry first).
  std::string Log() const {
    if (global && global->log_) global->log_->flush();
    return ReadFile(global ? global->log_file_name : std::string());
  }
  bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }

  TempDir dir;
  std::string saida;  // ends with "/"
};

inline std::vector<std::string> Lines(const std::deque<std::string>& d) { return {d.begin(), d.end()}; }

// Lines shown readable, one per row, for failure messages.
inline std::string ReprLines(const std::vector<std::string>& lines) {
  std::string out = "[";
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? ", \"" : "\"") + Repr(lines[i]) + "\"";
  return out + "]";
}

// Every readable line expanded.
inline std::vector<std::string> ExpandAll(const std::vector<std::string>& readable) {
  std::vector<std::string> out;
  for (const auto& r : readable) out.push_back(Expand(r));
  return out;
}

// A capture cut the way an E1381 analyzer delivers it: ENQ alone, one chunk per
// frame (up to the next STX, ENQ or EOT), EOT alone. Unframed text is one chunk.
inline std::vector<std::string> SessionChunks(const std::string& bytes) {
  std::vector<std::string> chunks;
  std::string current;
  auto flush = [&] {
    if (!current.empty()) chunks.push_back(current);
    current.clear();
  };
  for (char c : bytes) {
    if (c == ENQ || c == EOT) {
      flush();
      chunks.emplace_back(1, c);
    } else if (c == STX) {
      flush();
      current += c;
    } else {
      current += c;
    }
  }
  flush();
  return chunks;
}

}  // namespace kvtest
