// Protocol identification, dispatch, PrepararBuffer, completeness and block extraction.
#include <gtest/gtest.h>

#include "protocol/ArchiveNames.hpp"
#include "protocol/Blocks.hpp"
#include "protocol/Lines.hpp"
#include "support/DemoLis.hpp"
#include "ClientFixture.hpp"

using namespace kvtest;

namespace {

struct LineRow {
  const char* line;
  bool astm;
  bool hl7;
};

TEST(HeaderTests, AstmAndHl7Lines) {
  const std::vector<LineRow> rows = {
      {"H|\\^&|||X", true, false},
      {"<STX>H|\\^&", true, false},
      {"1H|\\^&", true, false},
      {"<STX>1H|\\^&", true, false},
      {"<ENQ><STX>1H|\\^&", false, false},  // record name at position 3
      {"  H|", false, false},
      {"XH|", true, false},  // any one character before it
      {"P|1|H|", false, false},
      {"2H|", true, false},  // "H|" at position 2
      {"MSH|^~\\&|", false, true},
      {"<VT>MSH|^~\\&|", false, true},
      {"<FS><VT>MSH|", false, false},
      {"MSH^~", false, false},
      {"", false, false},
      {"H", false, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string line = Expand(rows[i].line);
    EXPECT_EQ(TSocketClient::IsLineASTM(line), rows[i].astm) << "row " << i << ": " << Repr(line);
    EXPECT_EQ(TSocketClient::IsLineHL7(line), rows[i].hl7) << "row " << i << ": " << Repr(line);
  }
}

TEST(HeaderTests, JsonLineNeedsIcounterInTheBuffer) {
  TSocketClient c("h:1", "/tmp/", TClientContext{});
  c.inputBuffer = {"{", "\"device\": \"Icounter\","};
  EXPECT_TRUE(c.IsLineJson("{"));
  EXPECT_TRUE(c.IsLineJson("{ \"a\": 1"));
  EXPECT_FALSE(c.IsLineJson(" {"));
  EXPECT_FALSE(c.IsLineJson(Expand("<STX>{")));
  EXPECT_FALSE(c.IsLineJson(""));
  EXPECT_FALSE(c.IsLineJson("}"));
  c.inputBuffer = {"{", "\"device\": \"ICOUNTER\","};
  EXPECT_FALSE(c.IsLineJson("{"));
}

struct CaptureRow {
  const char* file;
  int32_t protocol;
  const char* versao;
  const char* aplicacao;
  const char* modelo;
  bool stx;
  bool vt;
};

// Every capture, cut as its analyzer delivers it (ENQ and EOT left out here),
// identifies from its header line.
TEST(GetProtocolInBuffer, Captures) {
  const std::vector<CaptureRow> rows = {
      {"astm/astmgeneral_horiba_yumizen_h500_full_session_125_frames.astm", 10, "LIS2-A2", "H500", "H500", true, false},
      {"astm/astmgeneral_ortho_vitros3600_host_query_session.astm", 10, "LIS2-A", "3600796", "3600796", true, false},
      {"astm/astmgeneral_ortho_vitros3600_results_session_16_frames.astm", 10, "LIS2-A", "3600796", "3600796", true, false},
      {"astm/astmgeneral_unnamed_chemistry_single_frame_session.astm", 10, "E 1394-97", "", "", true, false},
      {"astm/indiko_thermo_host_query_session.astm", 10, "", "1", "1", true, false},
      {"astm/mindray_cl_host_query_split_frames_session.astm", 10, "1394-97", "Mindray", "Mindray", true, false},
      {"astm/mindray_cl_result_single_frame_session.astm", 10, "1394-97", "Mindray", "Mindray", true, false},
      {"astm/mindray_cl_result_unframed_records.astm", 10, "1394-97", "Mindray", "Mindray", false, false},
      {"astm/roche_cobas_u411_urinalysis_session.astm", 10, "", "cobas u 411", "cobas u 411", true, false},
      {"astm/senaite_abbott_architect_single_frame.astm", 10, "1", "ARCHITECT", "ARCHITECT", true, false},
      {"astm/senaite_cepheid_genexpert_84_results_single_frame.astm", 10, "1394-97", ".806149 Happy Hospital",
       ".806149 Happy Hospital", true, false},
      {"astm/senaite_horiba_pentra_xlr_cbc_28_frames.astm", 10, "E1394-97", "ABX", "ABX", true, false},
      {"astm/senaite_roche_cobas_c111_etb_frames.astm", 10, "1", "SENAITE", "SENAITE", true, false},
      {"astm/senaite_roche_cobas_c311_single_frame.astm", 10, "1", "c311", "c311", true, false},
      {"astm/senaite_sysmex_xn550_single_frame.astm", 10, "E1394-97", "XN-550", "XN-550", true, false},
      {"hl7/mindray_bc5150_orm_o01_worklist_query_capture_mllp.hl7", 20, "2.3.1", "", "", false, true},
      {"hl7/mindray_bc5150_oru_r01_cbc_capture_trimmed_mllp.hl7", 20, "2.3.1", "", "", false, true},
      {"hl7/mindray_bc5380_oru_r01_cbc_manual_c33.hl7", 20, "2.3.1", "BC-5380", "Mindray", false, false},
      {"hl7/mindray_bc5380_oru_r01_xr_qc_manual_c33.hl7", 20, "2.3.1", "BC-5380", "Mindray", false, false},
      {"hl7/mindray_cl_oru_r01_patient_mllp.hl7", 20, "2.3.1", "", "", false, true},
      {"hl7/mindray_cl_oru_r01_qc_obr_only_mllp.hl7", 20, "2.3.1", "", "", false, true},
      {"hl7/mindray_cl_qry_q02_by_barcode_mllp.hl7", 20, "2.3.1", "", "", false, true},
      {"hl7/mindray_cl_qry_q02_by_id_range_mllp.hl7", 20, "2.3.1", "", "", false, true},
      {"hl7/senaite_pixcell_hemoscreen_oru_r01_v24.hl7", 20, "2.4", "HemoScreen", "PixCell", false, false},
      {"hl7/senaite_pixcell_hemoscreen_oru_r01_v24_with_nte.hl7", 20, "2.4", "HemoScreen", "PixCell", false, false},
  };
  ASSERT_EQ(rows.size(), TestDataFiles("astm").size() + TestDataFiles("hl7").size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    ClientEnv env;
    TSocketClient c("h:1", env.saida, env.Context());
    for (const auto& chunk : SessionChunks(TestData(r.file))) {
      if (chunk.size() == 1 && (chunk[0] == ENQ || chunk[0] == EOT)) continue;
      c.AddInputBuffer(chunk);
    }
    const size_t lines = c.inputBuffer.size();
    EXPECT_EQ(c.GetProtocolInBuffer(), r.protocol) << "row " << i << ": " << r.file;
    const TAnalisador& a = *c.analisador;
    EXPECT_EQ(a.protocolo.id, r.protocol) << "row " << i << ": " << r.file;
    EXPECT_EQ(a.protocolo.versao, r.versao) << "row " << i << ": " << r.file;
    EXPECT_EQ(a.aplicacao, r.aplicacao) << "row " << i << ": " << r.file;
    EXPECT_EQ(a.modelo, r.modelo) << "row " << i << ": " << r.file;
    EXPECT_EQ(a.usandoSTXETX, r.stx) << "row " << i << ": " << r.file;
    EXPECT_EQ(a.usandoVTFS, r.vt) << "row " << i << ": " << r.file;
    EXPECT_EQ(c.inputBuffer.size(), lines) << "identification never edits the buffer, row " << i;
    EXPECT_TRUE(env.LogHas(r.protocol == 10 ? "Protocolo identificado: ASTM " : "Protocolo identificado: HL7 "))
        << "row " << i << ": " << r.file;
  }
}

// An MLLP header cut by a chunk boundary is read once its line is whole, so
// every cut identifies the analyzer as the whole message does.
TEST(GetProtocolInBuffer, MllpHeaderCutAnywhereGivesTheSameIdentity) {
  const std::string bytes = TestData("hl7/mindray_bc5150_orm_o01_worklist_query_capture_mllp.hl7");
  const std::string header = Expand("<VT>MSH|^~\\&|App|Fac|||x||ORU^R01|1|P|2.3.1<CR>PID|1||X<CR><FS><CR>");
  for (const std::string& sample : {bytes, header}) {
    ClientEnv env;
    TSocketClient whole("h:0", env.saida, env.Context());
    whole.AddInputBuffer(sample);
    ASSERT_EQ(whole.GetProtocolInBuffer(), PROTOCOLO_HL7);
    const std::string eol = sample.substr(0, sample.find(CR) + 1);
    for (size_t k = 1; k < eol.size(); ++k) {
      TSocketClient c("h:1", env.saida, env.Context());
      c.AddInputBuffer(sample.substr(0, k));
      EXPECT_EQ(c.GetProtocolInBuffer(), PROTOCOLO_NAO_INDENTIFICADO) << "cut at " << k;
      c.AddInputBuffer(sample.substr(k));
      EXPECT_EQ(c.GetProtocolInBuffer(), PROTOCOLO_HL7) << "cut at " << k;
      EXPECT_EQ(c.analisador->aplicacao, whole.analisador->aplicacao) << "cut at " << k;
      EXPECT_EQ(c.analisador->modelo, whole.analisador->modelo) << "cut at " << k;
      EXPECT_EQ(c.analisador->protocolo.versao, whole.analisador->protocolo.versao) << "cut at " << k;
      EXPECT_EQ(c.analisador->usandoVTFS, whole.analisador->usandoVTFS) << "cut at " << k;
    }
  }
  // At EOT the open line is all there is: it is read as it stands.
  ClientEnv env;
  TSocketClient c("h:2", env.saida, env.Context());
  c.ReadMessage(Expand("<VT>MSH|^~\\&|App|Fac"));
  EXPECT_EQ(c.analisador->protocolo.id, PROTOCOLO_NAO_INDENTIFICADO);
  c.ReadMessage(Expand("<EOT>"));
  EXPECT_EQ(c.analisador->protocolo.id, PROTOCOLO_HL7);
  EXPECT_EQ(c.analisador->modelo, "Fac");
}

// A whole ENQ ... EOT session read as one chunk keeps its header behind ENQ STX
// (position 3), so nothing is identified from it.
TEST(GetProtocolInBuffer, SessionInOneReadHidesTheHeader) {
  ClientEnv env;
  TSocketClient c("h:1", env.saida, env.Context());
  c.AddInputBuffer(TestData("astm/astmgeneral_ortho_vitros3600_host_query_session.astm"));
  EXPECT_EQ(c.GetProtocolInBuffer(), PROTOCOLO_NAO_INDENTIFICADO);
}

struct ProtocolRow {
  const char* name;
  std::vector<std::string> lines;
  int32_t answer;
  int32_t recorded;
  const char* versao;
  const char* aplicacao;
  const char* modelo;
  bool vt;
  bool stx;
};

TEST(GetProtocolInBuffer, Rules) {
  const std::vector<ProtocolRow> rows = {
      {"framed ASTM header", {"<STX>1H|\\^&|||  Alfa ^1.2|||||||P|LIS2-A2|2024"}, 10, 10, "LIS2-A2", "Alfa", "Alfa", false, true},
      {"MLLP header", {"<VT>MSH|^~\\&|App|Fac|||x||ORU^R01|1|P|2.3.1"}, 20, 20, "2.3.1", "App", "Fac", true, false},
      {"MSH with encoding characters in field 4", {"MSH|x|y|^~\\&|App|Fac||||||||2.5"}, 20, 20, "2.5", "App", "Fac", false, false},
      {"MSH with a fifth encoding character", {"<VT>MSH|^~\\&#|App|Fac|||||||2.3.1"}, 20, 20, "", "", "", false, false},
      {"lines before the header are skipped", {"garbage", "", "P|1", "H|\\^&|||M1||||||||E1394-97"}, 10, 10, "E1394-97", "M1", "M1", false, false},
      {"JSON answers 30 and records nothing", {"{", "\"model\": \"Icounter\""}, 30, 0, "", "", "", false, false},
      {"JSON without Icounter", {"{", "\"model\": \"other\""}, 0, 0, "", "", "", false, false},
      {"the first recognised line decides", {"{ Icounter", "H|\\^&|||M2"}, 30, 0, "", "", "", false, false},
      {"nothing recognised", {"abc", "", "<STX>2P|1"}, 0, 0, "", "", "", false, false},
      {"header with VT and STX", {"<VT>H|\\^&|||M3|<STX>"}, 10, 10, "", "M3", "M3", true, true},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    ClientEnv env;
    TSocketClient c("h:1", env.saida, env.Context());
    for (const auto& l : r.lines) c.inputBuffer.push_back(Expand(l));
    EXPECT_EQ(c.GetProtocolInBuffer(), r.answer) << "row " << i << ": " << r.name;
    const TAnalisador& a = *c.analisador;
    EXPECT_EQ(a.protocolo.id, r.recorded) << "row " << i << ": " << r.name;
    EXPECT_EQ(a.protocolo.versao, r.versao) << "row " << i << ": " << r.name;
    EXPECT_EQ(a.aplicacao, r.aplicacao) << "row " << i << ": " << r.name;
    EXPECT_EQ(a.modelo, r.modelo) << "row " << i << ": " << r.name;
    EXPECT_EQ(a.usandoVTFS, r.vt) << "row " << i << ": " << r.name;
    EXPECT_EQ(a.usandoSTXETX, r.stx) << "row " << i << ": " << r.name;
    EXPECT_EQ(a.aparelhoTevarin, nullptr) << "row " << i << ": " << r.name;
  }
}

TEST(GetProtocolInBuffer, OnceSetItNeverChanges) {
  ClientEnv env;
  TSocketClient c("h:1", env.saida, env.Context());
  c.inputBuffer = {"H|\\^&|||First|||||||||LIS2-A2"};
  ASSERT_EQ(c.GetProtocolInBuffer(), PROTOCOLO_ASTM);
  c.inputBuffer = {Expand("<VT>MSH|^~\\&|App|Second|||||||2.3.1")};
  EXPECT_EQ(c.GetProtocolInBuffer(), PROTOCOLO_ASTM);
  EXPECT_EQ(c.analisador->modelo, "First");
  EXPECT_FALSE(c.analisador->usandoVTFS);
}

TEST(GetProtocolInBuffer, CompletesFromTheConfiguredAnalyzer) {
  ClientEnv env;
  env.AddAnalisador("M9", "Primeiro", {5, 7});
  env.AddAnalisador("M9", "Segundo", {8});
  env.AddAnalisador("m9", "Caixa", {9});
  TSocketClient c("h:1", env.saida, env.Context());
  c.inputBuffer = {"H|\\^&|||M9^2.0|||||||||LIS2-A2"};
  ASSERT_EQ(c.GetProtocolInBuffer(), PROTOCOLO_ASTM);
  EXPECT_EQ(c.analisador->nomeTevarin, "Primeiro");
  ASSERT_EQ(c.analisador->exames.size(), 2u);
  EXPECT_EQ(c.analisador->exames[0]->codigo, 5);
  EXPECT_EQ(c.analisador->exames[1]->codigo, 7);
}

// Identification reads the header and the configuration only: the LIS
// device (the demo devices) comes with the analyzer's first host query, once,
// also when lookups are asked at once. A result message never asks the LIS.
TEST(GetProtocolInBuffer, LooksNothingUpTheDeviceComesWithTheFirstQuery) {
  ClientEnv env;
  for (const char* device : {"XN-550", "Indiko", "BC-5380"}) demo::AddDevice(env.lis, device);
  demo::AddOrder(env.lis, 1001);
  const auto query = [](const std::string& device) {
    return Expand("H|\\^&|||" + device + "^00-24|||||||P|LIS2-A2<CR>" +
                  "Q|1|^1001||^^^ALL||20240105145700|||||||O<CR>L|1|N<CR>");
  };
  {
    TSocketClient c("h:1", env.saida, env.Context());
    for (const auto& chunk : SessionChunks(TestData("astm/senaite_sysmex_xn550_single_frame.astm"))) {
      c.ReadMessage(chunk);
    }
    ASSERT_EQ(c.GetProtocolInBuffer(), PROTOCOLO_ASTM);
    ASSERT_EQ(env.Files().size(), 1u) << env.Log();
    EXPECT_EQ(c.analisador->aparelhoTevarin, nullptr);
    EXPECT_TRUE(env.lis.calls.empty()) << "identification or a result asked the LIS";

    c.ReadMessage(query("XN-550"));
    ASSERT_NE(c.analisador->aparelhoTevarin, nullptr) << "device XN-550 not found";
    EXPECT_EQ(c.analisador->aparelhoTevarin->codigo, 1);
    EXPECT_EQ(c.analisador->aparelhoTevarin->exames, (std::vector<std::string>{"101", "103"}));
    ASSERT_GE(env.lis.calls.size(), 2u);
    EXPECT_EQ(env.lis.calls[0].lookup, "GetAparelhoTevarin");  // before the order, which needs it
    EXPECT_EQ(env.lis.calls[1].lookup, "GetDadosProtocolo");
    EXPECT_TRUE(env.LogHas("ASTM: Pedido encontrado")) << env.Log();
    c.ReadMessage(query("XN-550"));
  }
  {
    TSocketClient c("h:2", env.saida, env.Context());
    c.ReadMessage(query("NoSuchDevice"));
    c.ReadMessage(query("NoSuchDevice"));
    EXPECT_EQ(c.analisador->aparelhoTevarin, nullptr);
  }
  // Asked once per connection, by the header's device name, found or not.
  const auto calls = env.lis.CallsOf("GetAparelhoTevarin");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].device, "XN-550");
  EXPECT_EQ(calls[1].device, "NoSuchDevice");
}

TEST(ProcessBuffer, UnidentifiedRunsNoHandler) {
  ClientEnv env;
  TSocketClient c("h:1", env.saida, env.Context());
  c.inputBuffer = {"abc", "def"};
  EXPECT_EQ(c.ProcessBuffer(), "");
  EXPECT_EQ(Lines(c.inputBuffer), (std::vector<std::string>{"abc", "def"}));
  EXPECT_TRUE(c.outputBuffer.empty());
}

struct PrepRow {
  const char* name;
  std::vector<std::string> in;
  std::vector<std::string> out;
};

TEST(PrepararBuffer, Rows) {
  const std::vector<PrepRow> rows = {
      {"empty block", {}, {}},
      {"ORC glued to PID", {"MSH|a", "PID|b", "ORC|c", "OBR|d"}, {"MSH|a", "PID|bORC|c", "OBR|d"}},
      {"empty line disappears", {"MSH|a", "", "OBX|1"}, {"MSH|a", "OBX|1"}},
      {"NTE glued to OBX", {"MSH|a", "OBX|1", "NTE|x", "OBX|2"}, {"MSH|a", "OBX|1NTE|x", "OBX|2"}},
      {"split field rejoined", {"MSH|a", "OBX|1|NM|WB", "C||11.7"}, {"MSH|a", "OBX|1|NM|WBC||11.7"}},
      {"prefix needs no bar", {"MSH|a", "OBXZ", "PV1|"}, {"MSH|a", "OBXZ", "PV1|"}},
      {"MSHX counts as MSH", {"MSHX", "foo"}, {"MSHXfoo"}},
      {"VT before MSH leaves it", {"<VT>MSH|a", "ORC|c"}, {"<VT>MSH|a", "ORC|c"}},
      {"ASTM block unchanged", {"H|\\^&", "X"}, {"H|\\^&", "X"}},
      {"framed ASTM unchanged", {"1H|\\^&", "X"}, {"1H|\\^&", "X"}},
      {"JSON unchanged", {"{", "\"a\": 1", "}", ""}, {"{", "\"a\": 1", "}", ""}},
  };
  TSocketClient c("h:1", "/tmp/", TClientContext{});
  for (size_t i = 0; i < rows.size(); ++i) {
    TLines bloco = ExpandAll(rows[i].in);
    c.PrepararBuffer(bloco);
    EXPECT_EQ(ReprLines(bloco), ReprLines(ExpandAll(rows[i].out))) << "row " << i << ": " << rows[i].name;
  }
  EXPECT_TRUE(protocol::PrefixoOK("OBX|", protocol::PREPARAR_BUFFER_PREFIXOS));
  EXPECT_FALSE(protocol::PrefixoOK("ORC|", protocol::PREPARAR_BUFFER_PREFIXOS));
  EXPECT_FALSE(protocol::PrefixoOK(" MSH|", protocol::PREPARAR_BUFFER_PREFIXOS));
}

TEST(IsMultiLineMessage, CountsNonEmptyLines) {
  TSocketClient c("h:1", "/tmp/", TClientContext{});
  EXPECT_FALSE(c.IsMultiLineMessage("a\rb\r"));
  EXPECT_TRUE(c.IsMultiLineMessage("a\rb\rc"));
  EXPECT_FALSE(c.IsMultiLineMessage("a\r  \r\r\nb"));
  EXPECT_FALSE(c.IsMultiLineMessage(""));
}

struct CompleteRow {
  const char* name;
  int32_t protocol;
  std::vector<std::string> lines;
  bool complete;
};

TEST(BufferPossuiBlocoCompleto, Rules) {
  const std::vector<CompleteRow> rows = {
      {"ASTM: ETX anywhere", 10, {"<STX>1H|x", "<ETX>4F"}, true},
      {"ASTM: ETX inside a line", 10, {"abc<ETX>def"}, true},
      {"ASTM: H and L records", 10, {"H|\\^&", "P|1", "L|1|N"}, true},
      {"ASTM: L before H", 10, {"L|1", "H|x"}, true},
      {"ASTM: header without terminator", 10, {"H|\\^&", "P|1"}, false},
      {"ASTM: framed header without ETX", 10, {"<STX>1H|x", "<STX>2L|1"}, false},
      {"ASTM: record names must be at position 1", 10, {"1H|x", "2L|1"}, false},
      {"HL7: ORC on the second line", 20, {"MSH|x", "ORC|RF"}, true},
      {"HL7: ORC anywhere in the second line", 20, {"MSH|x", "xxORCxx"}, true},
      {"HL7: one line holding ORC", 20, {"MSH|x ORC"}, false},
      {"HL7: ORC on the third line", 20, {"MSH|x", "PID|1", "ORC|1"}, false},
      {"HL7: FS", 20, {"<VT>MSH|x", "PID|1", "<FS>"}, true},
      {"HL7: no FS", 20, {"<VT>MSH|x", "PID|1"}, false},
      {"JSON: never", 30, {"{", "}", "", "<ETX>"}, false},
      {"unidentified: never", 0, {"abc<ETX>", "<FS>"}, false},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    ClientEnv env;
    TSocketClient c("h:1", env.saida, env.Context());
    c.analisador->protocolo.id = r.protocol;
    for (const auto& l : r.lines) c.inputBuffer.push_back(Expand(l));
    EXPECT_EQ(c.BufferPossuiBlocoCompleto(), r.complete) << "row " << i << ": " << r.name;
  }
}

// Unframed ASTM records outside a transfer: identification happens with the
// first chunk, completeness with the chunk that brings the last of H and L.
TEST(BufferPossuiBlocoCompleto, IdentifiesOnTheFirstHeaderChunk) {
  ClientEnv env;
  TSocketClient c("h:1", env.saida, env.Context());
  c.AddInputBuffer("H|\\^&|||Mindray^^|||||||PR|1394-97\r");
  EXPECT_FALSE(c.BufferPossuiBlocoCompleto());
  EXPECT_EQ(c.analisador->protocolo.id, PROTOCOLO_ASTM);
  c.AddInputBuffer("P|1\r");
  EXPECT_FALSE(c.BufferPossuiBlocoCompleto());
  c.AddInputBuffer("L|1|N\r");
  EXPECT_TRUE(c.BufferPossuiBlocoCompleto());
}

struct BlockRow {
  const char* name;
  int32_t protocol;  // preset; 0 lets extraction identify
  std::vector<std::string> lines;
  std::vector<std::string> block;
  size_t source;
  int32_t after;
};

std::vector<std::string> JsonLines(size_t textLines, bool emptyAfter) {
  std::vector<std::string> l = {"{", "\"identifier\": \"AM1\",", "\"device\": \"Icounter\","};
  while (l.size() < textLines - 1) l.push_back("\"p" + std::to_string(l.size()) + "\": 1,");
  l.push_back("}");
  if (emptyAfter) l.push_back("");
  return l;
}

TEST(GetBlocoInBuffer, Rows) {
  const std::string T = TERMINADOR_BLOCO;
  const auto json34 = JsonLines(33, true);
  std::vector<std::string> jsonTail = json34;
  jsonTail.push_back("next");
  std::vector<std::string> withSkips = {"JA PROCESSADA"};
  withSkips.insert(withSkips.end(), json34.begin(), json34.begin() + 5);
  withSkips.push_back(T);
  withSkips.push_back("JA PROCESSADA");
  withSkips.insert(withSkips.end(), json34.begin() + 5, json34.end());

  const std::vector<BlockRow> rows = {
      {"JSON: 33 lines and the empty one", 0, json34, json34, 34, 30},
      {"JSON: stops after the empty line", 0, jsonTail, json34, 34, 30},
      {"JSON: skipped lines and markers count as source lines", 0, withSkips, json34, 37, 30},
      {"JSON: no empty line takes all", 30, {"{", "a", "b"}, {"{", "a", "b"}, 3, 30},
      {"unrecognised lines before a JSON header", 0, {"x", "y", "{", "Icounter", ""}, {"x", "y"}, 2, 0},
      {"ASTM: up to L at position 2", 0, {"1H|\\^&|||A||||||||LIS2-A2", "2O|1|S", "3L|1|N", "1H|"},
       {"1H|\\^&|||A||||||||LIS2-A2", "2O|1|S", "3L|1|N"}, 3, 10},
      {"ASTM: L at position 1", 10, {"H|", "L|1", "P|"}, {"H|", "L|1"}, 2, 10},
      {"ASTM: L at position 3 does not end", 10, {"H|", "<STX>3L|1", "x"}, {"H|", "<STX>3L|1", "x"}, 3, 10},
      {"HL7: ends at the first empty line", 0, {"<VT>MSH|^~\\&|A|B|||||||2.3.1", "PID|1", "", "MSH|"},
       {"<VT>MSH|^~\\&|A|B|||||||2.3.1", "PID|1", ""}, 3, 20},
      {"marker is never copied", 10, {"H|", T, "L|1"}, {"H|", "L|1"}, 3, 10},
      {"unidentified: everything", 0, {"a", "b"}, {"a", "b"}, 2, 0},
      {"empty buffer", 0, {}, {}, 0, 0},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    ClientEnv env;
    TSocketClient c("h:1", env.saida, env.Context());
    c.analisador->protocolo.id = r.protocol;
    for (const auto& l : r.lines) c.inputBuffer.push_back(Expand(l));
    const auto before = Lines(c.inputBuffer);
    size_t source = 999;
    const TLines bloco = c.GetBlocoInBuffer(&source);
    EXPECT_EQ(ReprLines(bloco), ReprLines(ExpandAll(r.block))) << "row " << i << ": " << r.name;
    EXPECT_EQ(source, r.source) << "row " << i << ": " << r.name;
    EXPECT_EQ(c.analisador->protocolo.id, r.after) << "row " << i << ": " << r.name;
    EXPECT_EQ(Lines(c.inputBuffer), before) << "row " << i << ": the buffer is never changed";
    EXPECT_TRUE(env.LogHas("BLOCO ENCONTRADO ")) << "row " << i;
    EXPECT_TRUE(env.LogHas("BUFFER ATUAL ")) << "row " << i;
  }
}

TEST(GetBlocoInBuffer, RecordsJsonDefaultsAndLogsIt) {
  ClientEnv env;
  env.AddAnalisador("Icounter", "Should not be copied", {1});
  TSocketClient c("h:1", env.saida, env.Context());
  for (const auto& l : JsonLines(33, true)) c.inputBuffer.push_back(l);
  const TLines bloco = c.GetBlocoInBuffer();
  EXPECT_EQ(bloco.size(), 34u);
  const TAnalisador& a = *c.analisador;
  EXPECT_EQ(a.protocolo.id, PROTOCOLO_JSON_DIAGNO);
  EXPECT_EQ(a.protocolo.versao, "1.4");
  EXPECT_EQ(a.aplicacao, "Diagno");
  EXPECT_EQ(a.modelo, "Icounter");
  EXPECT_EQ(a.nomeTevarin, "");  // no GetConfigs for JSON
  EXPECT_TRUE(a.exames.empty());
  EXPECT_FALSE(a.usandoVTFS || a.usandoSTXETX);
  EXPECT_TRUE(env.LogHas("Protocolo identificado: Json Diagno ")) << Repr(env.Log());
  EXPECT_TRUE(env.LogHas("BLOCO ENCONTRADO {\r\n\"identifier\""));
}

}  // namespace
