#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "clients/TSocketClient.hpp"
#include "config/TConfigJson.hpp"
#include "protocol/Hl7TestUtil.hpp"
#include "support/DemoLis.hpp"
#include "support/FakeLis.hpp"
#include "support/MemoryArchive.hpp"
#include "support/MemoryLog.hpp"
#include "support/MemoryPorts.hpp"

namespace hl7test {

// 5 August 2024 14:57:07, the time every reply and name of these tests carries.
inline const TDateTime AGORA{2024, 8, 5, 14, 57, 7, 0};
inline const std::string AGORA_TXT = "20240805145707";

// A client record on memory ports with the clock fixed (a memory log and
// archive with the output folder "saida/", a configuration built in code, a
// fake LIS), and one HL7 client whose analyzer identification already found
// (BC-5380, model "Mindray").
class Hl7Fixture : public ::testing::Test {
 protected:
  // Where folders are named (nothing is written to disk).
  struct Root {
    std::string path;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
  };

  void SetUp() override {
    config.pastaSaida = saida;
    archive.AddFolder(saida);
    client = NewClient(saida);
  }

  void TearDown() override { client.reset(); }

  // What a record made here reaches.
  TClientContext Context() { return kvtest::MemoryContext(log, config, lis, archive, AGORA); }

  std::unique_ptr<TSocketClient> NewClient(const std::string& pasta) {
    auto c = std::make_unique<TSocketClient>("127.0.0.1:40000", pasta, Context());
    c->analisador->protocolo.id = PROTOCOLO_HL7;
    c->analisador->protocolo.versao = "2.3.1";
    c->analisador->aplicacao = "BC-5380";
    c->analisador->modelo = "Mindray";
    c->analisador->usandoVTFS = true;
    return c;
  }

  // Appends readable lines ("<VT>MSH|...") to the input buffer.
  void Feed(std::initializer_list<std::string> readable) {
    for (const auto& r : readable) client->inputBuffer.push_back(kvtest::Expand(r));
  }

  // The log file breaks lines at every CR; both sides are compared with CR LF read as CR.
  static std::string SemLf(std::string s) {
    for (size_t p; (p = s.find("\r\n")) != std::string::npos;) s.erase(p + 1, 1);
    return s;
  }
  std::string Log() const { return SemLf(log.Text()); }
  bool LogHas(const std::string& text) const { return Log().find(SemLf(text)) != std::string::npos; }

  std::vector<std::string> Files() const { return archive.Files(saida); }
  std::string File(const std::string& relative) const { return archive.Read(saida + relative); }

  const Root root{"/hl7"};
  std::string saida = root / "saida/";
  TConfigJson config;
  kvtest::MemoryLog log{FixedClock(AGORA)};
  kvtest::MemoryArchive archive;
  kvtest::FakeLis lis;
  std::unique_ptr<TSocketClient> client;
};

// Hl7Fixture whose LIS holds the demo devices BC-5380 and Indiko and the demo
// orders the query suites ask for (see support/DemoLis.hpp).
class Hl7LisFixture : public Hl7Fixture {
 protected:
  void SetUp() override {
    for (const char* d : {"BC-5380", "Indiko"}) kvtest::demo::AddDevice(lis, d);
    for (int64_t o : std::initializer_list<int64_t>{1001, 1005, 1006, 19, 1068687, 2240801237}) kvtest::demo::AddOrder(lis, o);
    Hl7Fixture::SetUp();
  }
};

// An ORU^R01 as the lines reception makes of it: VT before MSH, FS alone last.
inline std::vector<std::string> Oru(const std::string& controlId, const std::string& amostra,
                                    const std::string& mshFields = "BC-5380|Mindray") {
  return {"<VT>MSH|^~\\&|" + mshFields + "|||20080617143943||ORU^R01|" + controlId + "|P|2.3.1||||||UNICODE",
          "PID|1||7393670^^^^MR||TEST^PATIENT||19900804000000|Female",
          "OBR|1||" + amostra + "|00001^Automated Count^99MRC",
          "OBX|1|NM|6690-2^WBC^LN||2.78|10*3/uL|4.00-10.00|L~N|||F",
          "<FS>"};
}

inline std::string Ack(const std::string& fabricante, const std::string& modelo, const std::string& id) {
  return Fmt("MSH|^~\\&|%s|%s|||%s||ACK^R01|%s|P|2.3.1||||0||ASCII|||", {fabricante, modelo, AGORA_TXT, id}) +
         "\r" + Fmt("MSA|AA|%s|Message accepted|||0|", {id}) + "\r";
}

}  // namespace hl7test
