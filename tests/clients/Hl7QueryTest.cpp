// Query and order replies from demo LIS content (the orders listed at the top
// of demo/lis_demo_data.sql, as the lookups answer them).
#include <gtest/gtest.h>

#include "clients/Hl7Fixture.hpp"

using namespace hl7test;
using kvtest::Repr;

namespace {

class Hl7Query : public Hl7LisFixture {
 protected:
  void SetUp() override {
    Hl7LisFixture::SetUp();
    // No birth date for order 1005's patient: the zero date-time goes out.
    for (auto& row : lis.Order(1005)) row.cpf_dta_nas.reset();
    UseBc5380(*client);
  }

  // Mindray BC-5380: device 3 in the LIS, exam 101.
  static void UseBc5380(TSocketClient& c) {
    c.analisador->aplicacao = "BC-5380";
    c.analisador->modelo = "Mindray";
    c.analisador->nomeTevarin = "BC-5380";
    c.analisador->aparelhoTevarin = std::make_unique<TAparelhoTevarin>();
    c.analisador->aparelhoTevarin->codigo = 3;
    c.analisador->aparelhoTevarin->exames = {"101"};
  }
  // Thermo Indiko: device 2, exams 201 to 208.
  static void UseIndiko(TSocketClient& c) {
    c.analisador->aplicacao = "Indiko";
    c.analisador->modelo = "1";
    c.analisador->nomeTevarin = "Indiko";
    c.analisador->aparelhoTevarin = std::make_unique<TAparelhoTevarin>();
    c.analisador->aparelhoTevarin->codigo = 2;
    c.analisador->aparelhoTevarin->exames = {"201", "202", "203", "204", "205", "206", "207", "208"};
  }

  void Query(const std::string& controlId, const std::string& amostra) {
    Feed({"<VT>MSH|^~\\&|||||20120508104700||QRY^Q02|" + controlId + "|P|2.3.1||||||ASCII|||",
          "QRD|20120508104700|R|D|7|||RD|" + amostra + "|OTH|||T|", "QRF||||||RCT|COR|ALL||", "<FS>"});
    client->ProcessHL7();
  }
  void Order(const std::string& controlId, const std::string& amostra) {
    Feed({"<VT>MSH|^~\\&|||||20190504060725||ORM^O01|" + controlId + "|P|2.3.1||||||UNICODE",
          "ORC|RF||" + amostra + "||IP", "<FS>"});
    client->ProcessHL7();
  }

  static std::string Qck(const std::string& app, const std::string& modelo, const std::string& id) {
    return Fmt("MSH|^~\\&|||%s|%s|%s||QCK^Q02|%s|P|%s||||||%s|||", {app, modelo, AGORA_TXT, id, "2.3.1", "ASCII"}) +
           "\rMSA|AA|" + id + "|Message accepted|||0|\rERR|0|\rQAK|SR|OK|\r";
  }
  static std::string Dsr(const std::string& app, const std::string& modelo, const std::string& id,
                         const std::string& amostra, const std::vector<std::string>& dsp) {
    std::string s =
        Fmt("MSH|^~\\&|||%s|%s|%s||DSR^Q03|%s|P|%s||||||%s|||", {app, modelo, AGORA_TXT, id, "2.3.1", "ASCII"}) +
        "\rMSA|AA|" + id + "|Message accepted|||0|\rERR|0|\rQAK|SR|OK|\r" +
        Fmt("QRD|%s|R|D|%s|||RD|%s|OTH|||T|", {AGORA_TXT, "7", amostra}) + "\rQRF||||||RCT|COR|ALL||\r";
    for (size_t i = 0; i < dsp.size(); ++i) s += Fmt("DSP|%d||%s|||", {std::to_string(i + 1), dsp[i]}) + "\r";
    return s + "DSC||\r";
  }
  static std::string MshOrr(const std::string& id) {
    return Fmt("MSH|^~\\&|LIS||||%s||ORR^O02|%s|P|%s||||||%s|||", {AGORA_TXT, id, "2.3.1", "UNICODE"}) + "\r";
  }
  std::vector<std::string> Output() const { return {client->outputBuffer.begin(), client->outputBuffer.end()}; }
};

// The 28 fixed DSP values of an order, in DSP-1 order.
std::vector<std::string> DspFixos(const std::string& nome, const std::string& nasc, const std::string& sexo,
                                  const std::string& amostra, const std::string& mat, const std::string& urg,
                                  const std::string& matDsc, const std::string& medico, const std::string& grupo) {
  std::vector<std::string> v(28);
  v[2] = nome;
  v[3] = nasc;
  v[4] = sexo;
  v[20] = amostra;
  v[21] = mat;
  v[22] = AGORA_TXT;
  v[23] = urg;
  v[25] = matDsc;
  v[26] = medico;
  v[27] = grupo;
  return v;
}

TEST_F(Hl7Query, QueryFoundGivesQckSeparatorAndDsr) {
  Query("41", "1001");
  auto dsp = DspFixos("Jo\xE3o da Silva", "19800514000000", "M", "1001", "1", "N", "Sangue total EDTA",
                      "Dra. M\xE1rcia Lopes", "Ambulat\xF3rio");
  // Exam 101's names in the BC-5380's own report model (the LIS lists them once each, sorted);
  // the XN-550's model names MCV, MCH and MCHC too, which are not this analyzer's.
  for (const char* n : {"HCT", "HGB", "PLT", "RBC", "WBC"}) dsp.push_back(n);
  const auto out = Output();
  ASSERT_EQ(out.size(), 3u) << ReprLines(out);
  EXPECT_EQ(Repr(out[0]), Repr(Qck("BC-5380", "Mindray", "42")));
  EXPECT_EQ(out[1], LINHA_SEPARADORA);
  EXPECT_EQ(Repr(out[2]), Repr(Dsr("BC-5380", "Mindray", "43", "1001", dsp)));
  EXPECT_TRUE(client->inputBuffer.empty());
  EXPECT_TRUE(LogHas("HL7: Query(1001)"));
  EXPECT_TRUE(LogHas("HL7: Pedido encontrado"));
  EXPECT_FALSE(LogHas("HL7: QCK^Q02 "));
}

TEST_F(Hl7Query, QueryNotFoundGivesQckNf) {
  Query("41", "9999");
  const auto out = Output();
  ASSERT_EQ(out.size(), 1u) << ReprLines(out);
  const std::string expected = "MSH|^~\\&|BC-5380|Mindray|||" + AGORA_TXT +
                               "||QCK^Q02|42|P|2.3.1||||||UNICODE|||\rMSA|AA|42|Message accepted|||0\rERR|0\rQAK|SR|NF\r";
  EXPECT_EQ(Repr(out[0]), Repr(expected));
  EXPECT_TRUE(LogHas("HL7 : Nenhum pedido encontrado"));
  EXPECT_TRUE(LogHas("HL7: QCK^Q02 \r" + expected));
}

TEST_F(Hl7Query, OrderFoundGivesOrrAccepted) {
  Order("389", "1001");
  const auto out = Output();
  ASSERT_EQ(out.size(), 1u) << ReprLines(out);
  const std::string expected = MshOrr("389") + "MSA|AA|389|||||\r" +
                               Fmt("PID|1|%s|||%s||%s|%s|||||||%s||||||||||||||||",
                                   {"1001", "Jo\xE3o da Silva", "19800514", "M", ""}) +
                               "\rOBR|1||||||||||||||||||||||O|Ex|U|U|U||7|10||||||||||||||||||\r";
  EXPECT_EQ(Repr(out[0]), Repr(expected));
  EXPECT_EQ(out[0].find("ORC|"), std::string::npos);
  EXPECT_TRUE(LogHas("HL7: Pedido encontrado"));
  EXPECT_TRUE(LogHas("HL7: ORR^O02 \r" + expected));
}

TEST_F(Hl7Query, OrderNotFoundGivesOrrRejected) {
  Order("389", "9999");
  const auto out = Output();
  ASSERT_EQ(out.size(), 1u) << ReprLines(out);
  const std::string expected = MshOrr("389") + "MSA|AR|389|||||\r";
  EXPECT_EQ(Repr(out[0]), Repr(expected));
  EXPECT_TRUE(LogHas("HL7 : Nenhum pedido encontrado"));
  EXPECT_TRUE(LogHas("HL7: ORR^O02 \r" + expected));
}

TEST_F(Hl7Query, OrderDetails) {
  struct Row {
    bool indiko;
    std::string amostra;
    std::vector<std::string> dsp;  // expected DSP values (28 fixed + test names)
  };
  std::vector<Row> rows;
  // Eleven characters: looked up by the first seven, sent whole.
  rows.push_back({true, "10686870001",
                  DspFixos("Jos\xE9 Lu\xEDs Pe\xE7" "anha", "19710930000000", "M", "10686870001", "2", "N", "Soro",
                           "Dr. Ant\xF4nio Prado", "Interna\xE7\xE3o")});
  rows.back().dsp.insert(rows.back().dsp.end(), {"AST", "CREA"});
  // Urgent, patient name longer than 30 characters (cut to 30).
  rows.push_back({true, "2240801237",
                  DspFixos("Ant\xF4nio Carlos de Albuquerque ", "19480229000000", "M", "2240801237", "2", "Y",
                           "Soro", "Dr. Ant\xF4nio Prado", "Interna\xE7\xE3o")});
  rows.back().dsp.insert(rows.back().dsp.end(), {"CREA", "GLU", "UREA"});
  // No physician, no birth date.
  rows.push_back({false, "1005",
                  DspFixos("Pedro Henrique Gon\xE7" "alves", "18991230000000", "M", "1005", "1", "N",
                           "Sangue total EDTA", "", "Ambulat\xF3rio")});
  rows.back().dsp.insert(rows.back().dsp.end(), {"HCT", "HGB", "PLT", "RBC", "WBC"});
  // No exam with status 2: exactly 28 DSP lines.
  rows.push_back({false, "1006",
                  DspFixos("Lu\xED" "za Fernandes", "19881231000000", "F", "1006", "1", "N", "Sangue total EDTA",
                           "Dr. Ant\xF4nio Prado", "Conv\xEAnio Sa\xFA" "de+")});

  for (size_t i = 0; i < rows.size(); ++i) {
    client->outputBuffer.clear();
    if (rows[i].indiko)
      UseIndiko(*client);
    else
      UseBc5380(*client);
    Query("41", rows[i].amostra);
    const auto out = Output();
    ASSERT_EQ(out.size(), 3u) << "row " << i << ": " << ReprLines(out);
    const std::string app = rows[i].indiko ? "Indiko" : "BC-5380";
    const std::string modelo = rows[i].indiko ? "1" : "Mindray";
    EXPECT_EQ(Repr(out[2]), Repr(Dsr(app, modelo, "43", rows[i].amostra, rows[i].dsp))) << "row " << i;
  }
}

TEST_F(Hl7Query, SampleIdsThatAreNotLookedUp) {
  struct Row {
    std::string amostra;
    std::string logged;
  };
  // Empty, the HL7 null value, an 11-character id whose first seven name no
  // order, text the order statement must never see.
  const std::vector<Row> rows = {{"", "HL7: Query()"},
                                 {"\"\"", "HL7: Query(\"\")"},
                                 {"10010000000", "HL7: Query(10010000000)"},
                                 {"1001 or 1=1", "HL7: Query(1001 or 1=1)"},
                                 {"TEST01", "HL7: Query(TEST01)"}};
  for (size_t i = 0; i < rows.size(); ++i) {
    client->outputBuffer.clear();
    Query("41", rows[i].amostra);
    ASSERT_EQ(client->outputBuffer.size(), 1u) << "row " << i;
    EXPECT_NE(client->outputBuffer[0].find("QAK|SR|NF\r"), std::string::npos) << "row " << i;
    EXPECT_TRUE(LogHas(rows[i].logged)) << "row " << i;
  }
}

TEST_F(Hl7Query, ControlIdsInReplies) {
  struct Row {
    std::string in, qck, dsr;
  };
  const std::vector<Row> rows = {
      {"41", "42", "43"},   {"A41", "A41", "A41"}, {"007", "8", "9"}, {"$FF", "256", "257"},
      {"9223372036854775807", "-9223372036854775808", "-9223372036854775807"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    client->outputBuffer.clear();
    Query(rows[i].in, "1001");
    const auto out = Output();
    ASSERT_EQ(out.size(), 3u) << "row " << i;
    EXPECT_NE(out[0].find("||QCK^Q02|" + rows[i].qck + "|P|"), std::string::npos) << "row " << i;
    EXPECT_NE(out[0].find("MSA|AA|" + rows[i].qck + "|"), std::string::npos) << "row " << i;
    EXPECT_NE(out[2].find("||DSR^Q03|" + rows[i].dsr + "|P|"), std::string::npos) << "row " << i;
    EXPECT_NE(out[2].find("MSA|AA|" + rows[i].dsr + "|"), std::string::npos) << "row " << i;
  }
  // An order echoes its id unchanged.
  client->outputBuffer.clear();
  Order("007", "1001");
  ASSERT_EQ(client->outputBuffer.size(), 1u);
  EXPECT_NE(client->outputBuffer[0].find("||ORR^O02|007|P|"), std::string::npos);
}

TEST_F(Hl7Query, ShiftedOrderHeaderIsReadAtTheShiftedPieces) {
  Feed({"<VT>MSH|a|b|^~\\&|||||20190504060725||ORM^O01|390|P|2.3.1||||||UNICODE", "ORC|RF||1001||IP", "<FS>"});
  client->ProcessHL7();
  ASSERT_EQ(client->outputBuffer.size(), 1u);
  EXPECT_EQ(client->outputBuffer[0].rfind(MshOrr("390") + "MSA|AA|390|||||\rPID|1|1001|||", 0), 0u)
      << Repr(client->outputBuffer[0]);
}

TEST_F(Hl7Query, NoDeviceMeansNoExamLines) {
  client->analisador->aparelhoTevarin.reset();
  Query("41", "1001");
  const auto out = Output();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_NE(out[2].find("DSP|28||Ambulat\xF3rio|||\rDSC||\r"), std::string::npos) << Repr(out[2]);
}

}  // namespace
