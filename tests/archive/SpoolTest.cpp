// The spool on disk (its file format and its rules) and the delivery behind
// the handlers, on memory ports: what is acknowledged waits when the output
// folder fails, in its order, and arrives once it works again.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/TArchiveDelivery.hpp"
#include "archive/TSpoolStore.hpp"
#include "support/MemorySpool.hpp"
#include "clients/ClientFixture.hpp"

using namespace kvtest;
namespace fs = std::filesystem;

namespace {

TArchiveEntry Entry(const std::string& origem, std::vector<std::string> linhas) {
  TArchiveEntry e;
  e.linhas = std::move(linhas);
  e.protocolo = PROTOCOLO_ASTM;
  e.versao = "LIS2-A2";
  e.modelo = "XN-550";
  e.nomeTevarin = "Sysmex";
  e.pastaSaida = "/saida/";
  e.completo = TDateTime{2024, 1, 5, 14, 57, 7, 123};
  e.origem = origem;
  return e;
}

TEST(FileSpoolStore, EntriesComeBackByteForByteInTheirOrder) {
  TempDir dir;
  const std::vector<TArchiveEntry> rows = {
      Entry("h:1", {"1H|\\^&", "2O|1|S1", "3L|1|N"}),
      Entry("h:2", {}),                                                      // no lines
      Entry("h:1", {"", "CR\rinside", "LF\ninside", std::string("NUL\0x", 5), "\xe9\xff\x80"}),
      Entry(std::string("odd\norigem 9\n", 13), {"linha 3\nfim\n"}),         // field-like text inside
  };
  std::vector<std::string> keys;
  {
    TFileSpoolStore store(dir.path());
    for (const auto& e : rows) keys.push_back(store.Put(e));
  }
  for (size_t i = 1; i < keys.size(); ++i) EXPECT_LT(keys[i - 1], keys[i]) << "row " << i;
  TFileSpoolStore again(dir.path());  // another run
  std::vector<std::string> problems;
  const auto loaded = again.Load(&problems);
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(loaded.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(loaded[i].first, keys[i]) << "row " << i;
    EXPECT_EQ(loaded[i].second, rows[i]) << "row " << i;
  }
  // A later Put of the new run numbers after what is there.
  EXPECT_GT(again.Put(rows[0]), keys.back());
  again.Remove(keys[0]);
  EXPECT_EQ(again.Load(nullptr).size(), rows.size());  // one gone, one added
}

TEST(FileSpoolStore, CutOrForeignFilesAreSetAsideAndUnfinishedWritesRemoved) {
  TempDir dir;
  TFileSpoolStore store(dir.path());
  const std::string key = store.Put(Entry("h:1", {"1H|", "2L|1|N"}));
  const std::string full = ReadFile(dir / key);
  struct Row {
    const char* name;
    std::string text;
  };
  const std::vector<Row> rows = {
      {"cut before its end mark", full.substr(0, full.size() - 4)},
      {"cut inside a line", full.substr(0, full.size() / 2)},
      {"empty", ""},
      {"another format", "hello\n"},
      {"a line longer than the file", "KVSPOOL 1\norigem 999\nabc\n"},
  };
  for (size_t i = 0; i < rows.size(); ++i) WriteFile(dir / ("9000000000000000000" + std::to_string(i) + ".entry"), rows[i].text);
  WriteFile(dir / "00000000000000000005.entry.Ab12Cd.tmp", "half");
  std::vector<std::string> problems;
  const auto loaded = store.Load(&problems);
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].first, key);
  EXPECT_EQ(problems.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i)
    EXPECT_TRUE(FileExists(dir / ("9000000000000000000" + std::to_string(i) + ".entry.ilegivel"))) << rows[i].name;
  EXPECT_FALSE(FileExists(dir / "00000000000000000005.entry.Ab12Cd.tmp"));
}

TEST(FileSpoolStore, UnwritableFolderThrowsAndLeavesNothing) {
  TempDir dir;
  TFileSpoolStore store(dir / "missing/");
  EXPECT_THROW(store.Put(Entry("h:1", {"x"})), std::runtime_error);
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

// A client record whose context has a delivery over the memory archive and a memory spool.
struct SpoolEnv : ClientEnv {
  SpoolEnv() : delivery(archive, &spool, &log) {}
  TClientContext SpoolContext() {
    TClientContext c = Context();
    c.delivery = &delivery;
    return c;
  }
  std::unique_ptr<TSocketClient> Astm(const std::string& id) {
    auto c = std::make_unique<TSocketClient>(id, saida, SpoolContext());
    return c;
  }
  MemorySpool spool;
  TArchiveDelivery delivery;
};

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size())) ++n;
  return n;
}

// One ASTM transfer of a result for `sample` (plain frames, as a bridge delivers them).
void SendAstm(TSocketClient& c, const std::string& sample) {
  c.ReadMessage(Expand("<ENQ>"));
  const std::vector<std::string> recs = {"H|\\^&|||XN-550^1|||||||P|LIS2-A2", "O|1|" + sample + "||^^^WBC", "L|1|N"};
  for (size_t i = 0; i < recs.size(); ++i)
    c.ReadMessage(Expand("<STX>") + std::to_string(i + 1) + recs[i] + Expand("<CR><ETX>00<CR><LF>"));
  c.ReadMessage(Expand("<EOT>"));
}

const std::string kFalhou = "N\xE3o foi poss\xEDvel entregar o item na pasta destino: ";

TEST(Delivery, FailedOutputKeepsAstmInOrderLogsOnceAndDeliversWhenItWorks) {
  SpoolEnv env;
  env.archive.failWith = "Read-only file system";
  auto a = env.Astm("h:1");
  auto b = env.Astm("h:2");
  SendAstm(*a, "S1");
  SendAstm(*a, "S1");  // the same sample again: its file must be the "-01" one
  SendAstm(*b, "S2");
  for (int i = 0; i < 3; ++i) env.delivery.DeliverPending();
  EXPECT_TRUE(env.Files().empty());
  EXPECT_EQ(env.spool.Size(), 3u);
  EXPECT_EQ(env.delivery.Pending(), 3u);
  EXPECT_EQ(Count(env.Log(), kFalhou), 1u) << env.Log();
  EXPECT_EQ(Count(env.Log(), "Item salvo em"), 0u);

  env.archive.failWith = "No space left on device";  // another kind: logged once more
  env.delivery.DeliverPending();
  env.delivery.DeliverPending();
  EXPECT_EQ(Count(env.Log(), kFalhou), 2u);

  env.archive.failWith.clear();
  EXPECT_EQ(env.delivery.DeliverPending(), 0u);
  EXPECT_EQ(env.spool.Size(), 0u);
  EXPECT_EQ(env.Files(), (std::vector<std::string>{"XN-550/S1-01.astm", "XN-550/S1.astm", "XN-550/S2.astm"}));
  // Oldest first: the first transfer of h:1 holds the plain name.
  const auto& texts = env.log.Texts();
  std::vector<std::string> salvos;
  for (const auto& t : texts)
    if (t.rfind("Item salvo em ", 0) == 0) salvos.push_back(t.substr(14));
  EXPECT_EQ(salvos, (std::vector<std::string>{"/saida/XN-550/S1.astm", "/saida/XN-550/S1-01.astm", "/saida/XN-550/S2.astm"}));
  EXPECT_EQ(env.File("XN-550/S1.astm"), "1H|\\^&|||XN-550^1|||||||P|LIS2-A2\r\n2O|1|S1||^^^WBC\r\n3L|1|N\r\n");

  // After a delivery the same failure is news again.
  env.archive.failWith = "Read-only file system";
  SendAstm(*a, "S3");
  EXPECT_EQ(Count(env.Log(), kFalhou), 3u);
}

TEST(Delivery, AnOriginWaitsBehindItsOwnOldestMessageOnly) {
  SpoolEnv env;
  env.archive.AddFolder("/saida/XN-550");
  env.archive.AddFile("/saida/XN-550/S1.astm", "");  // taken names only get suffixes; no failure there
  // A file where the subfolder of h:1's first message would go: only that message fails.
  TArchiveEntry blocked = Entry("h:1", {"O|1|B1"});
  blocked.modelo = "Blocked";
  env.archive.AddFile("/saida/Blocked", "not a folder");
  env.delivery.Accept(blocked, TArchiveDelivery::TWhenSpoolFails::Refuse);
  env.delivery.Accept(Entry("h:1", {"O|1|B2"}), TArchiveDelivery::TWhenSpoolFails::Refuse);
  env.delivery.Accept(Entry("h:2", {"O|1|C1"}), TArchiveDelivery::TWhenSpoolFails::Refuse);
  EXPECT_EQ(env.delivery.Pending(), 2u);  // B1 and, behind it, B2
  EXPECT_EQ(env.Files(), (std::vector<std::string>{"Blocked", "XN-550/C1.astm", "XN-550/S1.astm"}));
  env.archive.Remove("/saida/Blocked");
  EXPECT_EQ(env.delivery.DeliverPending(), 0u);
  EXPECT_EQ(env.Files(),
            (std::vector<std::string>{"Blocked/B1.astm", "XN-550/B2.astm", "XN-550/C1.astm", "XN-550/S1.astm"}));
}

TEST(Delivery, Hl7IsAcknowledgedFromTheSpoolAndNotWhenTheSpoolRefuses) {
  struct Row {
    const char* name;
    std::string archiveFails, spoolFails;
    bool acked;
    std::vector<std::string> files;  // right after the message
  };
  const std::vector<Row> rows = {
      {"both work", "", "", true, {"Mindray/H1.hl7"}},
      {"output fails", "Read-only file system", "", true, {}},
      {"spool fails", "", "No space left on device", false, {}},
      {"both fail", "Read-only file system", "No space left on device", false, {}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SpoolEnv env;
    env.archive.failWith = rows[i].archiveFails;
    env.spool.failWith = rows[i].spoolFails;
    TSocketClient c("h:9", env.saida, env.SpoolContext());
    c.analisador->protocolo.id = PROTOCOLO_HL7;
    c.analisador->modelo = "Mindray";
    c.analisador->usandoVTFS = true;
    for (const char* l : {"<VT>MSH|^~\\&|BC-5380|Mindray|||t||ORU^R01|5|P|2.3.1", "OBR|1|H1", "<FS>"})
      c.inputBuffer.push_back(Expand(l));
    c.ProcessHL7();
    EXPECT_EQ(c.outputBuffer.size(), rows[i].acked ? 1u : 0u) << rows[i].name;
    if (rows[i].acked) {
      EXPECT_NE(c.outputBuffer.at(0).find("MSA|AA|5|"), std::string::npos) << rows[i].name;
    }
    EXPECT_EQ(env.Files(), rows[i].files) << rows[i].name;
    EXPECT_EQ(env.LogHas("N\xE3o foi poss\xEDvel salvar informa\xE7\xF5" "es recebidas."), !rows[i].acked) << rows[i].name;
    EXPECT_EQ(env.delivery.Pending(), rows[i].acked && !rows[i].archiveFails.empty() ? 1u : 0u) << rows[i].name;
  }
}

TEST(Delivery, AstmThatTheSpoolRefusesGoesStraightThroughOrWaitsInMemory) {
  SpoolEnv env;
  env.spool.failWith = "No space left on device";
  auto c = env.Astm("h:1");
  SendAstm(*c, "M1");  // the output folder works: written straight through
  EXPECT_EQ(env.Files(), (std::vector<std::string>{"XN-550/M1.astm"}));
  env.archive.failWith = "Read-only file system";
  SendAstm(*c, "M2");
  EXPECT_EQ(env.delivery.Pending(), 1u);
  EXPECT_EQ(Count(env.Log(), "N\xE3o foi poss\xEDvel guardar o item na fila spool/: "), 1u);
  // The spool takes it again: it is put there before the next attempt.
  env.spool.failWith.clear();
  env.delivery.DeliverPending();
  EXPECT_EQ(env.spool.Size(), 1u);
  env.archive.failWith.clear();
  env.delivery.DeliverPending();
  EXPECT_EQ(env.spool.Size(), 0u);
  EXPECT_EQ(env.Files(), (std::vector<std::string>{"XN-550/M1.astm", "XN-550/M2.astm"}));
  EXPECT_FALSE(env.LogHas("ProcessarASTM() -> Erro"));
}

}  // namespace
