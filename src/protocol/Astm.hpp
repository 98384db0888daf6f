#pragma once
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "protocol/E1381.hpp"
#include "protocol/Lines.hpp"
#include "util/TDateTime.hpp"

// The pure pieces of the ASTM handler: message cutting, query recognition and
// the reply records (the E1381 framing is in E1381.hpp). None of them touches
// a socket, a file, the clock, the database or the log.
namespace astm {

// The 25 hematology parameters sent when neither the configuration nor the LIS names a test.
extern const std::vector<std::string> TESTS_IDS;

// A block cut from the head of the input buffer.
struct TBlocoASTM {
  TLines linhas;            // the cleaned, non-empty lines of one message
  size_t ultimaLinha = 0;   // index in the input buffer of the last line the block was cut from
};

// True when the cleaned line is a record of type `tipo` ("H", "L", ...): the
// type at position 1, or at position 2 behind a frame number digit.
bool IsRecord(const std::string& cleaned, char tipo);

// Cuts the first ASTM message from the input buffer (after PrepareBuffer):
// it ends with its terminator record, or just before the header of a further
// message, or (fimDeTransferencia, the analyzer's EOT) at the end of the
// buffer when a frame ended in it. None when no message is complete yet.
std::optional<TBlocoASTM> GetBlocoProcessarASTM(std::deque<std::string>& inputBuffer,
                                                bool fimDeTransferencia);

// True for a host query: header, Q record and terminator as the first three lines.
bool IsQueryMessageASTM(const TLines& pMsg);

// The sample identifier of a Q record's starting range: component 3, else
// component 2, trimmed; two double quotes read as empty.
std::string SampleIdentifier(const std::string& rangeText);
// A LIS value made safe inside a record: control characters become blanks,
// the delimiters | \ ^ & their escape sequences &F& &R& &S& &E&.
std::string AstmValue(const std::string& valor);

// First and last word of a name joined by "^" (quoted words keep their blanks).
std::string GetNomeEUltimoNome(const std::string& nome_completo);

// Test list: "^^^^" + name per item, items separated by a backslash.
std::string BuildTestList(const std::vector<std::string>& nomes);

// "yyyymmdd".
std::string FormatBirthDate(const TDateTime& d);
// "yyyymmddhhnss": the minute without a leading zero, as the LIS has always received it.
std::string FormatOrderTime(const TDateTime& d);

// The order values a found reply is built from (names already cut to 30 characters).
struct TPedidoASTM {
  int32_t ped_cod = 0;
  TDateTime ped_dat;
  std::string cli_cod;
  std::string cli_nom;
  TDateTime cpf_dta_nas;
  std::string cpf_sex;
  std::string med_nom;
  std::string grp_dsc;
};

// The four reply records (without their CR).
struct TRespostaASTM {
  std::string h, p, o, l;
};

std::string HeaderRecord(const std::string& versao);
TRespostaASTM FoundReply(const std::string& versao, const std::string& rangeText, const TPedidoASTM& pedido,
                         const std::string& testes);
TRespostaASTM NotFoundReply(const std::string& versao, const std::string& rangeText,
                            const std::string& requestTime);

// The output-buffer items of a reply for the sending mode: bare records (no
// STX/ETX framing), ENQ + four numbered frames + EOT (frame-to-frame), or one
// complete frame holding all four records (STX/ETX framing, no ENQ).
std::vector<std::string> ReplyItems(const TRespostaASTM& r, bool usandoSTXETX, bool usingFrameToFrame);

}  // namespace astm
