#include "config/ConfigKeys.hpp"

#include <memory>

#include "config/ConfigReader.hpp"
#include "config/TConfigJson.hpp"

namespace {

using W = TWithoutFile;

void ReadAtributos(const TListRead& list, TExame& exame) {
  for (size_t i = 0; i < list.array.size(); ++i) {
    const auto text = TConfigReader::AsText(list.array[i]);
    if (!text) list.reader.Fail(TConfigReader::Index(list.where, i), "is not a text");
    exame.AddAtributo(*text);
  }
}

void ReadExames(const TListRead& list, TAnalisador& analisador) {
  for (size_t i = 0; i < list.array.size(); ++i) {
    auto exame = std::make_unique<TExame>();
    list.reader.ReadObject(list.array[i], TConfigReader::Index(list.where, i), ExamKeys(), *exame);
    analisador.AddExame(std::move(exame));
  }
}

void ReadAnalisadores(const TListRead& list, TConfigJson& c) {
  for (size_t i = 0; i < list.array.size(); ++i) {
    auto analisador = std::make_unique<TAnalisador>();
    list.reader.ReadObject(list.array[i], TConfigReader::Index(list.where, i), AnalyzerKeys(), *analisador);
    c.analisadores.push_back(std::move(analisador));
  }
}

// An analyzer has one link of its own at most.
std::string OneLink(const TAnalisador& a) {
  if (a.conectarEm.empty() || a.portaSerial.empty()) return {};
  return "and \"portaSerial\" are both given for the analyzer \"" + a.modelo + "\": one link per analyzer";
}

constexpr const char* PARIDADES[] = {"nenhuma", "par", "impar"};
constexpr const char* CONTROLES_FLUXO[] = {"nenhum", "rtscts", "xonxoff"};

// The page names analyzers, hosts and archive files: beyond this machine only with a token.
std::string TokenNeededBeyondLoopback(const TConfigJson& c) {
  if (c.portaStatus == 0 || IsLoopbackAddress(c.enderecoStatus) || !c.tokenStatus.empty()) return {};
  return "is required when \"enderecoStatus\" is not loopback (" + c.enderecoStatus + ")";
}

constexpr TConfigKey<TConfigJson> MAIN_FILE_KEYS[] = {
    {.key = "porta", .field = &TConfigJson::portaServico, .def = 6000, .withoutFile = W::Zero},
    {.key = "pastaSaida", .field = &TConfigJson::pastaSaida, .def = TConfigFolder{}, .withoutFile = W::Zero},
    {.key = "debug", .field = &TConfigJson::debug, .def = false, .withoutFile = W::Zero},
    {.key = "verificarChecksum", .field = &TConfigJson::verificarChecksum, .def = true},
    {.key = "controleSemCRLF", .field = &TConfigJson::controleSemCRLF, .def = false},
    {.key = "pausaRespostaMs", .field = &TConfigJson::pausaRespostaMs, .def = 5},
    {.key = "timeoutRecepcaoSegundos", .field = &TConfigJson::timeoutRecepcaoSegundos, .def = 30},
    {.key = "timeoutRespostaSegundos", .field = &TConfigJson::timeoutRespostaSegundos, .def = 15},
    // Zero or less would retry delivery without a pause, over and over.
    {.key = "intervaloReenvioSegundos", .field = &TConfigJson::intervaloReenvioSegundos, .def = 30,
     .check = AT_LEAST_1},
    {.key = "threadsLis", .field = &TConfigJson::threadsLis, .def = 2, .check = {.min = 1, .max = 32}},
    // Without a deadline a hung LIS would hold a query's analyzer for ever.
    {.key = "timeoutLisSegundos", .field = &TConfigJson::timeoutLisSegundos, .def = 5, .check = AT_LEAST_1},
    {.key = "geracoesLog", .field = &TConfigJson::geracoesLog, .def = 5, .check = NOT_NEGATIVE},
    // Without a configuration file no status port is taken.
    {.key = "portaStatus", .field = &TConfigJson::portaStatus, .def = 6080, .check = PORT, .withoutFile = W::Zero},
    {.key = "enderecoStatus", .field = &TConfigJson::enderecoStatus, .def = "127.0.0.1"},
    {.key = "tokenStatus", .field = &TConfigJson::tokenStatus, .def = "", .rule = TokenNeededBeyondLoopback},
    {.key = "alertaImportacaoMinutos", .field = &TConfigJson::alertaImportacaoMinutos, .def = 30,
     .check = NOT_NEGATIVE},
    // Zero would call every delivery in progress a folder that does not answer.
    {.key = "alertaEntregaSegundos", .field = &TConfigJson::alertaEntregaSegundos, .def = 60, .check = AT_LEAST_1},
    {.key = "analisadores",
     .field = TListField<TConfigJson>{"analyzer objects", ReadAnalisadores},
     .def = TRequired{},
     .withoutFile = W::Zero},
    {.key = "usarCaracteresControle", .field = &TConfigJson::usarCaracteresControle, .def = false,
     .withoutFile = W::Zero},
};

constexpr TConfigKey<TAnalisador> ANALYZER_KEYS[] = {
    {.key = "aplicacao", .field = &TAnalisador::aplicacao, .def = TRequired{}},
    {.key = "modelo", .field = &TAnalisador::modelo, .def = TRequired{}},
    // A name that cannot be read leaves the analyzer without a LIS name rather than failing.
    {.key = "nomeTevarin", .field = &TAnalisador::nomeTevarin, .def = "", .unreadableIsDefault = true},
    {.key = "exames", .field = TListField<TAnalisador>{"exam objects", ReadExames}, .def = TRequired{}},
    {.key = "usarCaracteresControle", .field = &TAnalisador::usandoVTFS, .def = false},
    {.key = "alertaSilencioMinutos", .field = &TAnalisador::alertaSilencioMinutos, .def = 0, .check = NOT_NEGATIVE},
    {.key = "portaSerial", .field = &TAnalisador::portaSerial, .def = ""},
    {.key = "velocidade", .field = &TAnalisador::velocidade, .def = 9600, .check = AT_LEAST_1},
    {.key = "bitsDados", .field = &TAnalisador::bitsDados, .def = 8, .check = {.min = 7, .max = 8}},
    {.key = "paridade", .field = &TAnalisador::paridade, .def = "nenhuma", .check = {.values = PARIDADES}},
    {.key = "bitsParada", .field = &TAnalisador::bitsParada, .def = 1, .check = {.min = 1, .max = 2}},
    {.key = "controleFluxo", .field = &TAnalisador::controleFluxo, .def = "nenhum",
     .check = {.values = CONTROLES_FLUXO}},
    {.key = "conectarEm", .field = &TAnalisador::conectarEm, .def = "", .rule = OneLink},
    // Zero or less would reopen a failed link without a pause, over and over.
    {.key = "intervaloReconexaoSegundos", .field = &TAnalisador::intervaloReconexaoSegundos, .def = 5,
     .check = AT_LEAST_1},
    {.key = "controleSemCRLF", .field = &TAnalisador::controleSemCRLF, .def = TTopLevel{"controleSemCRLF"}},
};

constexpr TConfigKey<TExame> EXAM_KEYS[] = {
    {.key = "codigo", .field = &TExame::codigo, .def = 0},
    {.key = "nome", .field = &TExame::nome, .def = ""},
    {.key = "atributos", .field = TListField<TExame>{"texts", ReadAtributos}, .def = TNoElements{}},
};

// Until a file gives them, all four are empty.
constexpr TConfigKey<TMyDBInfo> DATABASE_KEYS[] = {
    {.key = "server", .field = &TMyDBInfo::server, .def = "", .withoutFile = W::Zero},
    {.key = "database", .field = &TMyDBInfo::database, .def = "", .withoutFile = W::Zero},
    {.key = "user", .field = &TMyDBInfo::user, .def = "sysdba", .withoutFile = W::Zero},
    {.key = "password", .field = &TMyDBInfo::password, .def = "velkortan", .withoutFile = W::Zero},
};

}  // namespace

std::span<const TConfigKey<TConfigJson>> MainFileKeys() { return MAIN_FILE_KEYS; }
std::span<const TConfigKey<TAnalisador>> AnalyzerKeys() { return ANALYZER_KEYS; }
std::span<const TConfigKey<TExame>> ExamKeys() { return EXAM_KEYS; }
std::span<const TConfigKey<TMyDBInfo>> DatabaseKeys() { return DATABASE_KEYS; }
