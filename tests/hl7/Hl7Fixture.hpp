#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"
#include "hl7/Hl7TestUtil.hpp"
#include "support/LisDatabase.hpp"

namespace hl7test {

// 5 August 2024 14:57:07, the time every reply and name of these tests carries.
inline const TDateTime AGORA{2024, 8, 5, 14, 57, 7, 0};
inline const std::string AGORA_TXT = "20240805145707";

// A process state in a temp folder with the clock fixed, and one HL7 client
// whose analyzer identification already found (BC-5380, model "Mindray").
class Hl7Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    global = std::make_unique<TGlobal>(tmp / "kv_redurozozi");
    global->clock = FixedClock(AGORA);
    global->config = std::make_unique<TConfigJson>();
    saida = tmp / "saida/";
    std::filesystem::create_directories(saida);
    global->config->pastaSaida = saida;
    client = NewClient(saida);
  }

  void TearDown() override {
    client.reset();
    global.reset();
  }

  static std::unique_ptr<TSocketClient> NewClient(const std::string& pasta) {
    auto c = std::make_unique<TSocketClient>("127.0.0.1:40000", pasta, kvtest::GlobalContext());
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
  std::string Log() const {
    if (global && global->log_) global->log_->flush();
    return SemLf(kvtest::ReadFile(global->log_file_name));
  }
  bool LogHas(const std::string& text) const { return Log().find(SemLf(text)) != std::string::npos; }

  std::vector<std::string> Files() const { return kvtest::ListFiles(saida); }
  std::string File(const std::string& relative) const { return kvtest::ReadFile(saida + relative); }

  kvtest::TempDir tmp;
  std::string saida;
  std::unique_ptr<TSocketClient> client;
};

// Hl7Fixture with a real LIS database built from demo/ for the whole suite;
// every test's process state uses it.
class Hl7LisFixture : public Hl7Fixture {
 protected:
  static void SetUpTestSuite() {
    dbDir_ = std::make_unique<kvtest::TempDir>();
    info_ = kvtest::CreateLisDatabase(dbDir_->path());
  }
  static void TearDownTestSuite() { dbDir_.reset(); }

  void SetUp() override {
    Hl7Fixture::SetUp();
    global->myDBInfo = info_;
    global->StartMyDB();
  }

  inline static std::unique_ptr<kvtest::TempDir> dbDir_;  // holds the suite's database
  inline static TMyDBInfo info_;                          // how to reach it
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
