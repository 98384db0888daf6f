// HL7 over TCP against the real service executable with a real embedded LIS
// database: MLLP framing on the wire, archive files, chunk boundaries.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <regex>

#include "support/LisDatabase.hpp"
#include "support/ServiceProcess.hpp"
#include "support/TestSupport.hpp"

using kvtest::Repr;
using namespace std::chrono_literals;

namespace {

const std::string VT_S(1, '\x0b');
const std::string FS_CR = "\x1c\r";

// The service stamps replies with its own clock: compare them with the stamps masked.
std::string MaskTime(const std::string& s) { return std::regex_replace(s, std::regex("\\|[0-9]{14}\\|"), "|<NOW>|"); }

std::string Framed(const std::string& bytes) {
  if (!bytes.empty() && bytes[0] == '\x0b') return bytes;
  return VT_S + bytes + FS_CR;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size())) ++n;
  return n;
}

// One service in its own folder with the demo LIS and the HL7 analyzers.
class Hl7Service {
 public:
  Hl7Service() : dir_(), info_(kvtest::CreateLisDatabase(dir_.path())) {
    nlohmann::json analyzers = nlohmann::json::array();
    for (const char* modelo : {"Mindray", ""})
      analyzers.push_back(
          {{"aplicacao", "BC-5380"}, {"modelo", modelo}, {"nomeTevarin", "BC-5380"}, {"exames", nlohmann::json::array()}});
    nlohmann::json config = {{"pastaSaida", dir_.path() + "/svc/saida/"},
                             {"debug", false},
                             {"server", info_.server},
                             {"database", info_.database},
                             {"user", info_.user},
                             {"password", info_.password},
                             {"analisadores", analyzers}};
    service_ = std::make_unique<kvtest::ServiceProcess>(dir_.path() + "/svc", config);
    ready_ = service_->WaitListening();
  }

  bool ready() const { return ready_; }
  int port() const { return service_->port(); }
  std::string saida() const { return dir_.path() + "/svc/saida/"; }
  std::string Log() const { return service_->LogText(); }
  // The archive files (a file still being written under its .tmp name is not one yet).
  std::map<std::string, std::string> Files() const {
    std::map<std::string, std::string> m;
    for (const auto& f : kvtest::ListFiles(saida()))
      if (!f.ends_with(".tmp")) m[f] = kvtest::ReadFile(saida() + f);
    return m;
  }

 private:
  kvtest::TempDir dir_;
  TMyDBInfo info_;
  std::unique_ptr<kvtest::ServiceProcess> service_;
  bool ready_ = false;
};

// Reads until `n` MLLP frames (VT ... FS CR) have arrived.
std::string ReadFrames(kvtest::TcpClient& c, size_t n, std::chrono::milliseconds timeout = 10000ms) {
  return c.ReadUntil([n](const std::string& r) { return Count(r, FS_CR) >= n; }, timeout);
}

std::vector<std::string> SplitFrames(const std::string& wire) {
  std::vector<std::string> frames;
  for (size_t p = 0; p < wire.size();) {
    const size_t end = wire.find(FS_CR, p);
    if (end == std::string::npos) {
      frames.push_back(wire.substr(p));
      break;
    }
    frames.push_back(wire.substr(p, end + 2 - p));
    p = end + 2;
  }
  return frames;
}

TEST(Hl7EndToEnd, ResultIsArchivedAndAcknowledgedInMllp) {
  Hl7Service svc;
  ASSERT_TRUE(svc.ready());
  kvtest::TcpClient c(svc.port());
  c.Send(Framed(kvtest::TestData("hl7/mindray_bc5380_oru_r01_cbc_manual_c33.hl7")));
  const std::string wire = ReadFrames(c, 1);
  EXPECT_EQ(Repr(MaskTime(wire)),
            Repr(VT_S + "MSH|^~\\&|BC-5380|Mindray|||<NOW>||ACK^R01|1|P|2.3.1||||0||ASCII|||\r" +
                 "MSA|AA|1|Message accepted|||0|\r" + FS_CR));
  ASSERT_TRUE(kvtest::WaitFor([&] { return kvtest::FileExists(svc.saida() + "Mindray/2007120.hl7"); }));
  const std::string file = kvtest::ReadFile(svc.saida() + "Mindray/2007120.hl7");
  EXPECT_EQ(file.rfind("MSH|^~\\&|BC-5380|Mindray|||20080617143943||ORU^R01|1|P|2.3.1||||||UNICODE\r\nPID|1||", 0), 0u);
  // The log reaches its file within 100 ms.
  EXPECT_TRUE(kvtest::WaitFor(
      [&] { return svc.Log().find("Item salvo em " + svc.saida() + "Mindray/2007120.hl7") != std::string::npos; }));
  // Nothing more comes for one message.
  EXPECT_EQ(c.ReadFor(300ms), "");
}

TEST(Hl7EndToEnd, QueryGetsTwoTransmissionsAndNeverTheSeparator) {
  Hl7Service svc;
  ASSERT_TRUE(svc.ready());
  kvtest::TcpClient c(svc.port());
  c.Send(kvtest::TestData("hl7/mindray_cl_qry_q02_by_barcode_mllp.hl7"));
  const std::string wire = ReadFrames(c, 2);
  const auto frames = SplitFrames(wire);
  ASSERT_EQ(frames.size(), 2u) << Repr(wire);
  EXPECT_EQ(Repr(MaskTime(frames[0])),
            Repr(VT_S + "MSH|^~\\&|||||<NOW>||QCK^Q02|5|P|2.3.1||||||ASCII|||\rMSA|AA|5|Message accepted|||0|\r" +
                 "ERR|0|\rQAK|SR|OK|\r" + FS_CR));
  EXPECT_EQ(frames[1].rfind(VT_S + "MSH|^~\\&|||||", 0), 0u) << Repr(frames[1]);
  EXPECT_NE(frames[1].find("||DSR^Q03|6|P|2.3.1||||||ASCII|||\r"), std::string::npos);
  EXPECT_NE(frames[1].find("DSP|3||Francisca Ara\xFAjo|||\r"), std::string::npos);
  EXPECT_NE(frames[1].find("DSC||\r" + FS_CR), std::string::npos);
  EXPECT_EQ(wire.find("LINHA SEPARADORA"), std::string::npos);
  EXPECT_EQ(c.ReadFor(300ms), "");
  EXPECT_TRUE(svc.Files().empty());
}

TEST(Hl7EndToEnd, OrderAndResultInOneSendAreBothAnswered) {
  Hl7Service svc;
  ASSERT_TRUE(svc.ready());
  kvtest::TcpClient c(svc.port());
  c.Send(kvtest::TestData("hl7/mindray_bc5150_orm_o01_worklist_query_capture_mllp.hl7") +
         kvtest::TestData("hl7/mindray_bc5150_oru_r01_cbc_capture_trimmed_mllp.hl7"));
  const auto frames = SplitFrames(ReadFrames(c, 2));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(Repr(MaskTime(frames[0])),
            Repr(VT_S + "MSH|^~\\&|LIS||||<NOW>||ORR^O02|389|P|2.3.1||||||UNICODE|||\rMSA|AR|389|||||\r" + FS_CR));
  EXPECT_EQ(Repr(MaskTime(frames[1])),
            Repr(VT_S + "MSH|^~\\&|||||<NOW>||ACK^R01|389|P|2.3.1||||0||ASCII|||\rMSA|AA|389|Message accepted|||0|\r" +
                 FS_CR));
  EXPECT_TRUE(kvtest::WaitFor([&] { return kvtest::FileExists(svc.saida() + "BC-5380/TEST01.hl7"); }));
}

// The message is safe in the spool, so it is acknowledged; it waits there
// until the archive can be written (tests/service/ServiceSpoolTest.cpp).
TEST(Hl7EndToEnd, UnwritableOutputFolderAcksFromTheSpool) {
  Hl7Service svc;
  ASSERT_TRUE(svc.ready());
  // A file where the analyzer's subfolder would go: the archive cannot be written.
  kvtest::WriteFile(svc.saida() + "Mindray", "not a folder");
  kvtest::TcpClient c(svc.port());
  c.Send(Framed(kvtest::TestData("hl7/mindray_bc5380_oru_r01_cbc_manual_c33.hl7")));
  const std::string ack = c.ReadUntil([](const std::string& r) { return r.find(FS_CR) != std::string::npos; });
  EXPECT_NE(ack.find("ACK^R01"), std::string::npos) << Repr(ack);
  EXPECT_NE(ack.find("MSA|AA|"), std::string::npos) << Repr(ack);
  EXPECT_TRUE(kvtest::WaitFor([&] {
    return svc.Log().find("N\xE3o foi poss\xEDvel entregar o item na pasta destino") != std::string::npos;
  }));
  EXPECT_EQ(svc.Log().find("N\xE3o foi poss\xEDvel salvar informa\xE7\xF5" "es recebidas."), std::string::npos);
  EXPECT_EQ(svc.Log().find("Item salvo em"), std::string::npos);
  EXPECT_TRUE(kvtest::ListFiles(svc.saida()).size() == 1);  // only the blocking file
  EXPECT_EQ(kvtest::ListFiles(svc.saida() + "../spool").size(), 1u);  // the message waits there
}

// The recorded stream of one analyzer sent whole and in random chunks: the same
// files and the same replies. The first header line goes in one piece because
// identification reads the analyzer from the first chunk that holds "MSH|".
TEST(Hl7EndToEnd, RandomChunkingGivesTheSameFilesAndReplies) {
  std::string stream;
  for (const char* f : {"mindray_bc5150_oru_r01_cbc_capture_trimmed_mllp.hl7", "mindray_cl_oru_r01_patient_mllp.hl7",
                        "mindray_cl_qry_q02_by_barcode_mllp.hl7", "mindray_cl_oru_r01_qc_obr_only_mllp.hl7",
                        "mindray_bc5150_orm_o01_worklist_query_capture_mllp.hl7",
                        "mindray_bc5150_oru_r01_cbc_capture_trimmed_mllp.hl7"})
    stream += kvtest::TestData(std::string("hl7/") + f);
  const size_t expectedFrames = 7;  // 3 ACK, QCK, DSR, ORR, ACK

  auto run = [&](const std::vector<std::string>& chunks, std::map<std::string, std::string>& files) {
    Hl7Service svc;
    EXPECT_TRUE(svc.ready());
    kvtest::TcpClient c(svc.port());
    for (const auto& chunk : chunks) c.Send(chunk);
    const std::string wire = ReadFrames(c, expectedFrames);
    EXPECT_TRUE(kvtest::WaitFor([&] { return svc.Files().size() == 4; }));
    files = svc.Files();
    return MaskTime(wire);
  };

  std::map<std::string, std::string> wholeFiles;
  const std::string whole = run({stream}, wholeFiles);
  EXPECT_EQ(Count(whole, FS_CR), expectedFrames) << Repr(whole);
  EXPECT_EQ(wholeFiles.size(), 4u);
  EXPECT_TRUE(wholeFiles.count("BC-5380/TEST01-01.hl7"));

  std::mt19937 rng(424242);
  const size_t header = stream.find('\r') + 1;
  for (int r = 0; r < 2; ++r) {
    std::vector<std::string> chunks = {stream.substr(0, header)};
    std::uniform_int_distribution<size_t> len(1, 40);
    for (size_t p = header; p < stream.size();) {
      const size_t n = std::min(len(rng), stream.size() - p);
      chunks.push_back(stream.substr(p, n));
      p += n;
    }
    std::map<std::string, std::string> files;
    const std::string wire = run(chunks, files);
    EXPECT_EQ(Repr(wire), Repr(whole)) << "run " << r;
    EXPECT_EQ(files, wholeFiles) << "run " << r;
  }
}

}  // namespace
