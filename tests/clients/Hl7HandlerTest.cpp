// ProcessHL7 on a client record: archive files, ACK^R01 entries, what leaves
// the input buffer, the log lines, and bad input.
#include <gtest/gtest.h>

#include "protocol/Hl7.hpp"
#include "clients/Hl7Fixture.hpp"

using namespace hl7test;
using kvtest::Repr;

namespace {

class Hl7Handler : public Hl7Fixture {
 protected:
  void FeedLines(const std::vector<std::string>& linhas) {
    for (const auto& l : linhas) client->inputBuffer.push_back(kvtest::Expand(l));
  }
  std::vector<std::string> Output() const { return {client->outputBuffer.begin(), client->outputBuffer.end()}; }
};

std::string CrLf(const std::vector<std::string>& linhas) {
  std::string s;
  for (const auto& l : linhas) s += l + "\r\n";
  return s;
}

TEST_F(Hl7Handler, TwoResultMessagesAreArchivedAndAcknowledgedInOrder) {
  FeedLines(Oru("77", "SAMPLE01"));
  FeedLines(Oru("78", "SAMPLE02"));
  client->ProcessHL7();

  EXPECT_EQ(Files(), (std::vector<std::string>{"Mindray/SAMPLE01.hl7", "Mindray/SAMPLE02.hl7"}));
  ASSERT_EQ(client->outputBuffer.size(), 2u);
  EXPECT_EQ(Repr(client->outputBuffer[0]), Repr(Ack("BC-5380", "Mindray", "77")));
  EXPECT_EQ(Repr(client->outputBuffer[1]), Repr(Ack("BC-5380", "Mindray", "78")));
  EXPECT_TRUE(client->inputBuffer.empty()) << ReprLines(client->inputBuffer);

  // The file holds the cleaned lines, CR LF after each; the FS line is an empty last line.
  EXPECT_EQ(Repr(File("Mindray/SAMPLE01.hl7")),
            Repr(CrLf({"MSH|^~\\&|BC-5380|Mindray|||20080617143943||ORU^R01|77|P|2.3.1||||||UNICODE",
                       "PID|1||7393670^^^^MR||TEST^PATIENT||19900804000000|Female",
                       "OBR|1||SAMPLE01|00001^Automated Count^99MRC",
                       "OBX|1|NM|6690-2^WBC^LN||2.78|10*3/uL|4.00-10.00|L~N|||F", ""})));
  EXPECT_TRUE(LogHas("Item salvo em " + saida + "Mindray/SAMPLE01.hl7"));
  EXPECT_TRUE(LogHas("Item salvo em " + saida + "Mindray/SAMPLE02.hl7"));
  EXPECT_FALSE(LogHas("res\xED" "duos"));
}

TEST_F(Hl7Handler, FileNameRule) {
  struct Row {
    std::vector<std::string> lines;
    std::string file;
  };
  const std::string msh = "<VT>MSH|^~\\&|BC-5380|Mindray|||t||ORU^R01|1|P|2.3.1";
  const std::vector<Row> rows = {
      {{msh, "PID|1|PAT001", "OBR|1|OBR2VAL|OBR3VAL", "<FS>"}, "Mindray/OBR2VAL.hl7"},
      {{msh, "PID|1|PAT001", "OBR|1|AB|OBR3VAL", "<FS>"}, "Mindray/OBR3VAL.hl7"},
      {{msh, "PID|1|PAT001", "OBR|1|AB|CD", "<FS>"}, "Mindray/PAT001.hl7"},
      {{msh, "OBR|1|AB|", "<FS>"}, "Mindray/AB.hl7"},
      {{msh, "OBR|1|10686870001", "<FS>"}, "Mindray/1068687.hl7"},
      {{msh, "OBR|1|1234567-02", "<FS>"}, "Mindray/1234567.hl7"},
      {{msh, "OBR|1|OBR2VAL", "<FS>"}, "Mindray/OBR2VAL-01.hl7"},
      {{msh, "PID|1|PAT002", "<FS>"}, "Mindray/20240805-145708-07.hl7"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto antes = Files();
    FeedLines(rows[i].lines);
    client->ProcessHL7();
    auto depois = Files();
    std::vector<std::string> novos;
    for (const auto& f : depois)
      if (std::find(antes.begin(), antes.end(), f) == antes.end()) novos.push_back(f);
    EXPECT_EQ(novos, std::vector<std::string>{rows[i].file}) << "row " << i;
  }
  EXPECT_EQ(client->outputBuffer.size(), rows.size());
}

TEST_F(Hl7Handler, QueryDoesNotThrowAwayTheMessagesAfterIt) {
  // The sample id is the HL7 null value, so no lookup is needed: not found.
  Feed({"<VT>MSH|^~\\&|||||20120508104700||QRY^Q02|41|P|2.3.1||||||ASCII|||",
        "QRD|20120508104700|R|D|1|||RD|\"\"|OTH|||T|", "QRF||||||RCT|COR|ALL||", "<FS>"});
  FeedLines(Oru("77", "SAMPLE01"));
  client->ProcessHL7();

  ASSERT_EQ(client->outputBuffer.size(), 2u) << ReprLines(client->outputBuffer);
  EXPECT_EQ(Repr(client->outputBuffer[0]),
            Repr("MSH|^~\\&|BC-5380|Mindray|||" + AGORA_TXT +
                 "||QCK^Q02|42|P|2.3.1||||||UNICODE|||\rMSA|AA|42|Message accepted|||0\rERR|0\rQAK|SR|NF\r"));
  EXPECT_EQ(Repr(client->outputBuffer[1]), Repr(Ack("BC-5380", "Mindray", "77")));
  EXPECT_EQ(Files(), std::vector<std::string>{"Mindray/SAMPLE01.hl7"});
  EXPECT_TRUE(client->inputBuffer.empty()) << ReprLines(client->inputBuffer);
  EXPECT_TRUE(LogHas("HL7: Query(\"\")"));
  EXPECT_TRUE(LogHas("HL7 : Nenhum pedido encontrado"));
  EXPECT_TRUE(LogHas("HL7: QCK^Q02 \r" + client->outputBuffer[0]));
}

TEST_F(Hl7Handler, ResultThenQueryThenConfirmationThenOrderThenResult) {
  FeedLines(Oru("70", "SAMPLE01"));
  Feed({"<VT>MSH|^~\\&|||||t||QRY^Q02|41|P|2.3.1||||||ASCII|||", "QRD|t|R|D|1|||RD||OTH|||T|", "QRF||||||RCT|COR|ALL||",
        "<FS>"});
  Feed({"<VT>MSH|^~\\&|||||t||ACK^Q03|43|P|2.3.1", "MSA|AA|43", "<FS>"});
  Feed({"<VT>MSH|^~\\&|||||t||ORM^O01|389|P|2.3.1||||||UNICODE", "ORC|RF||\"\"||IP", "<FS>"});
  FeedLines(Oru("71", "SAMPLE02"));
  client->ProcessHL7();

  const auto out = Output();
  ASSERT_EQ(out.size(), 4u) << ReprLines(out);
  EXPECT_EQ(Repr(out[0]), Repr(Ack("BC-5380", "Mindray", "70")));
  EXPECT_NE(out[1].find("||QCK^Q02|42|"), std::string::npos) << Repr(out[1]);
  EXPECT_EQ(Repr(out[2]), Repr(Fmt("MSH|^~\\&|LIS||||%s||ORR^O02|%s|P|%s||||||%s|||",
                                   {AGORA_TXT, "389", "2.3.1", "UNICODE"}) +
                               "\rMSA|AR|389|||||\r"));
  EXPECT_EQ(Repr(out[3]), Repr(Ack("BC-5380", "Mindray", "71")));
  EXPECT_EQ(Files(), (std::vector<std::string>{"Mindray/SAMPLE01.hl7", "Mindray/SAMPLE02.hl7"}));
  EXPECT_TRUE(client->inputBuffer.empty()) << ReprLines(client->inputBuffer);
}

TEST_F(Hl7Handler, SplitSegmentsLeaveTheBufferWithTheirMessage) {
  // Three continuation lines: with the joined count only, their input lines
  // would come back as a message of their own and be acknowledged.
  Feed({"<VT>MSH|^~\\&|BC-5380|Mindray|||t||ORU^R01|90|P|2.3.1", "PID|1||7393670", "^^^^MR", "OBR|1||SPLIT01",
        "OBX|1|NM|6690-2", "^WBC^LN||2.78", "|10*3/uL|||F", "<FS>"});
  FeedLines(Oru("91", "SAMPLE02"));
  client->ProcessHL7();

  EXPECT_EQ(Files(), (std::vector<std::string>{"Mindray/SAMPLE02.hl7", "Mindray/SPLIT01.hl7"}));
  ASSERT_EQ(client->outputBuffer.size(), 2u) << ReprLines(client->outputBuffer);
  EXPECT_EQ(Repr(client->outputBuffer[0]), Repr(Ack("BC-5380", "Mindray", "90")));
  EXPECT_EQ(Repr(client->outputBuffer[1]), Repr(Ack("BC-5380", "Mindray", "91")));
  EXPECT_EQ(Repr(File("Mindray/SPLIT01.hl7")),
            Repr(CrLf({"MSH|^~\\&|BC-5380|Mindray|||t||ORU^R01|90|P|2.3.1", "PID|1||7393670^^^^MR", "OBR|1||SPLIT01",
                       "OBX|1|NM|6690-2^WBC^LN||2.78|10*3/uL|||F", ""})));
  EXPECT_TRUE(client->inputBuffer.empty()) << ReprLines(client->inputBuffer);
}

TEST_F(Hl7Handler, LeftOverLines) {
  struct Row {
    std::vector<std::string> after;   // lines after one whole message
    std::vector<std::string> remain;  // what stays in the input buffer
  };
  const std::vector<Row> rows = {
      {{}, {}},
      {{""}, {}},
      {{"", "  \x01"}, {}},
      {{"<NUL><NUL>", "", "\t"}, {}},
      // The start of the next message stays, however short.
      {{"<VT>MSH|^~\\&|BC-5380|Mindray|||t||ORU^R01|5"}, {"<VT>MSH|^~\\&|BC-5380|Mindray|||t||ORU^R01|5"}},
      {{"", "<VT>MSH|^~\\&|A", "PID|1"}, {"<VT>MSH|^~\\&|A", "PID|1"}},
      {{"<VT>"}, {"<VT>"}},
      {{"junk"}, {"junk"}},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    client->inputBuffer.clear();
    FeedLines(Oru("1", "SAMPLE01"));
    FeedLines(rows[i].after);
    client->ProcessHL7();
    std::vector<std::string> remain(client->inputBuffer.begin(), client->inputBuffer.end());
    std::vector<std::string> expected;
    for (const auto& l : rows[i].remain) expected.push_back(kvtest::Expand(l));
    EXPECT_EQ(remain, expected) << "row " << i << ": " << ReprLines(remain);
  }
  EXPECT_EQ(client->outputBuffer.size(), rows.size());
  EXPECT_TRUE(LogHas("Buffer cont\xE9m res\xED" "duos da \xFAltima mensagem recebida: {junk\r\n}"));
}

TEST_F(Hl7Handler, UnclosedMessageGrowsUntilItsFsArrives) {
  Feed({"<VT>MSH|^~\\&|BC-5380|Mindray|||t||ORU^R01|12|P|2.3.1", "PID|1||1"});
  client->ProcessHL7();
  EXPECT_EQ(client->inputBuffer.size(), 2u);
  EXPECT_TRUE(client->outputBuffer.empty());
  EXPECT_TRUE(LogHas("Buffer cont\xE9m res\xED" "duos da \xFAltima mensagem recebida: {" +
                     kvtest::Expand("<VT>MSH|^~\\&|BC-5380|Mindray|||t||ORU^R01|12|P|2.3.1\r\nPID|1||1\r\n}")));
  Feed({"OBR|1||GROW01"});
  client->ProcessHL7();
  EXPECT_EQ(client->inputBuffer.size(), 3u);
  EXPECT_TRUE(Files().empty());
  Feed({"<FS>"});
  client->ProcessHL7();
  EXPECT_EQ(Files(), std::vector<std::string>{"Mindray/GROW01.hl7"});
  ASSERT_EQ(client->outputBuffer.size(), 1u);
  EXPECT_EQ(Repr(client->outputBuffer[0]), Repr(Ack("BC-5380", "Mindray", "12")));
  EXPECT_TRUE(client->inputBuffer.empty());
}

TEST_F(Hl7Handler, EmptyBufferDoesNothing) {
  client->ProcessHL7();
  EXPECT_TRUE(client->outputBuffer.empty());
  EXPECT_TRUE(Files().empty());
  EXPECT_FALSE(LogHas("res\xED" "duos"));
}

TEST_F(Hl7Handler, MshValuesFollowTheHeaderLayout) {
  struct Row {
    std::string msh;
    std::string ack;
  };
  const std::vector<Row> rows = {
      {"<VT>MSH|^~\\&|APP|FAC|||t||ORU^R01|501|P|2.3.1", Ack("APP", "FAC", "501")},
      {"<VT>MSH|x|y|^~\\&|APP|FAC|||t||ORU^R01|502|P|2.3.1", Ack("APP", "FAC", "502")},
      {"<VT>MSH|^~\\&#|APP|FAC|||t||ORU^R01|503|P|2.3.1", Ack("APP", "FAC", "503")},
      // Fewer than ten fields: empty control id.
      {"<VT>MSH|^~\\&|APP|FAC|||t||ORU^R01", Ack("APP", "FAC", "")},
      {"<VT>MSH|^~\\&|APP|FAC|||t||ORU^R01|A41|P", Ack("APP", "FAC", "A41")},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    client->outputBuffer.clear();
    Feed({rows[i].msh, "OBR|1||S" + std::to_string(1000 + i), "<FS>"});
    client->ProcessHL7();
    ASSERT_EQ(client->outputBuffer.size(), 1u) << "row " << i;
    EXPECT_EQ(Repr(client->outputBuffer[0]), Repr(rows[i].ack)) << "row " << i;
  }
}

TEST_F(Hl7Handler, TextBeforeTheHeaderStaysInTheFileButTheHeaderDecides) {
  FeedLines(Oru("1", "SAMPLE01"));
  client->inputBuffer.push_back(std::string("\0\xFFgarbage\x01", 10));
  FeedLines(Oru("2", "SAMPLE02"));
  client->ProcessHL7();
  ASSERT_EQ(client->outputBuffer.size(), 2u);
  EXPECT_EQ(Repr(client->outputBuffer[1]), Repr(Ack("BC-5380", "Mindray", "2")));
  const std::string f = File("Mindray/SAMPLE02.hl7");
  EXPECT_EQ(f.rfind(std::string("\0\xFFgarbage\x01\r\nMSH|^~\\&|BC-5380|Mindray|", 37), 0), 0u) << Repr(f);

  // A query behind such text is still answered as a query.
  Feed({"noise", "<VT>MSH|^~\\&|||||t||QRY^Q02|8|P|2.3.1||||||ASCII|||", "QRD|t|R|D|1|||RD||OTH|||T|",
        "QRF||||||RCT|COR|ALL||", "<FS>"});
  client->ProcessHL7();
  ASSERT_EQ(client->outputBuffer.size(), 3u);
  EXPECT_NE(client->outputBuffer[2].find("||QCK^Q02|9|"), std::string::npos) << Repr(client->outputBuffer[2]);
  EXPECT_EQ(Files().size(), 2u);
}

TEST_F(Hl7Handler, BadInputNeverLosesAResult) {
  // No MSH at all: still a result message, archived and acknowledged.
  Feed({"<VT>PID|1||X", "OBR|1||NOMSH01", "<FS>"});
  // Accented names pass through as Windows-1252 bytes.
  Feed({"<VT>MSH|^~\\&|BC-5380|Mindray|||t||ORU^R01|3|P|2.3.1", "PID|1||1||Jo\xE3o^Concei\xE7\xE3o", "OBR|1||ACENTO01",
        "<FS>"});
  client->ProcessHL7();
  EXPECT_EQ(Files(), (std::vector<std::string>{"Mindray/ACENTO01.hl7", "Mindray/NOMSH01.hl7"}));
  EXPECT_EQ(client->outputBuffer.size(), 2u);
  EXPECT_NE(File("Mindray/ACENTO01.hl7").find("PID|1||1||Jo\xE3o^Concei\xE7\xE3o\r\n"), std::string::npos);
}

TEST_F(Hl7Handler, TerminatorMarkersAfterAMessageLeaveWithIt) {
  FeedLines(Oru("1", "SAMPLE01"));
  client->inputBuffer.push_back(TERMINADOR_BLOCO);
  client->inputBuffer.push_back(TERMINADOR_BLOCO);
  Feed({"<VT>MSH|^~\\&|A"});
  client->ProcessHL7();
  ASSERT_EQ(client->inputBuffer.size(), 1u);
  EXPECT_EQ(client->inputBuffer[0], kvtest::Expand("<VT>MSH|^~\\&|A"));
  EXPECT_EQ(File("Mindray/SAMPLE01.hl7").find(TERMINADOR_BLOCO), std::string::npos);
}

TEST_F(Hl7Handler, UnwritableOutputFolderGivesNoAck) {
  // A regular file where the output folder should be: nothing can be written below it.
  archive.AddFile(root / "blocked", "x");
  client = NewClient(root / "blocked/");
  FeedLines(Oru("66", "SAMPLE01"));
  FeedLines(Oru("67", "SAMPLE02"));
  client->ProcessHL7();
  EXPECT_TRUE(client->outputBuffer.empty()) << ReprLines(client->outputBuffer);
  EXPECT_TRUE(client->inputBuffer.empty()) << ReprLines(client->inputBuffer);
  EXPECT_TRUE(LogHas("\t\r\rN\xE3o foi poss\xEDvel salvar informa\xE7\xF5" "es recebidas.\rErro: "));
  EXPECT_TRUE(LogHas("\r\rInforma\xE7\xF5" "es:\rMSH|^~\\&|BC-5380|Mindray|||20080617143943||ORU^R01|66|"));
  EXPECT_FALSE(LogHas("Item salvo em"));
}

TEST_F(Hl7Handler, QueryTooShortIsLoggedAndLeaves) {
  Feed({"<VT>MSH|^~\\&|||||t||QRY^Q02|41|P|2.3.1||||||ASCII|||", "QRD|t|R|D|1|||RD|1001|OTH|||T|<FS>"});
  FeedLines(Oru("5", "SAMPLE05"));
  client->ProcessHL7();
  ASSERT_EQ(client->outputBuffer.size(), 1u);
  EXPECT_EQ(Repr(client->outputBuffer[0]), Repr(Ack("BC-5380", "Mindray", "5")));
  EXPECT_TRUE(LogHas("ProcessQueryHL7() -> Erro: "));
  EXPECT_TRUE(client->inputBuffer.empty());
}

TEST_F(Hl7Handler, DebugLines) {
  config.debug = true;
  FeedLines(Oru("1", "SAMPLE01"));
  client->ProcessHL7();
  EXPECT_TRUE(LogHas("bloco_para_salvar: \r" + kvtest::Expand("<VT>MSH|")));
  EXPECT_TRUE(LogHas("bloco_para salvar (limpo): \rMSH|"));
  EXPECT_TRUE(LogHas("Buffer lines: 0"));
}

}  // namespace

namespace {

TEST_F(Hl7Handler, OrderWithoutFsWaitsForIt) {
  // The completeness test calls the handler on the ORC line alone.
  Feed({"<VT>MSH|^~\\&|||||t||ORM^O01|389|P|2.3.1||||||UNICODE", "ORC|RF||\"\"||IP"});
  client->ProcessHL7();
  EXPECT_TRUE(client->outputBuffer.empty());
  EXPECT_EQ(client->inputBuffer.size(), 2u);
  EXPECT_TRUE(LogHas("Buffer cont\xE9m res\xED" "duos da \xFAltima mensagem recebida: {"));
  config.debug = true;
  Feed({"<FS>"});
  client->ProcessHL7();
  ASSERT_EQ(client->outputBuffer.size(), 1u);
  EXPECT_NE(client->outputBuffer[0].find("\rMSA|AR|389|||||\r"), std::string::npos);
  EXPECT_TRUE(client->inputBuffer.empty());
  EXPECT_TRUE(LogHas("Consulta iniciada"));
}

TEST_F(Hl7Handler, StrayFsAloneIsNoMessage) {
  Feed({"<FS>", "<NUL><FS>"});
  FeedLines(Oru("1", "SAMPLE01"));
  client->ProcessHL7();
  EXPECT_EQ(Files(), std::vector<std::string>{"Mindray/SAMPLE01.hl7"});
  ASSERT_EQ(client->outputBuffer.size(), 1u);
  EXPECT_EQ(Repr(client->outputBuffer[0]), Repr(Ack("BC-5380", "Mindray", "1")));
}

}  // namespace
