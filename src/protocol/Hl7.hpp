#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Lines.hpp"
#include "util/TDateTime.hpp"

// The pure pieces of the HL7 handler: cutting and cleaning blocks, message
// types, joining segments, reading MSH values and building the replies. None
// touches a socket, file, clock, database or the log.
namespace hl7 {

// Message type of a block.
inline constexpr int32_t QUERY_NID = 0;  // neither query nor order (a result message)
inline constexpr int32_t QUERY_QRY = 1;  // QRY^Q02
inline constexpr int32_t QUERY_ORM = 2;  // ORM^O01

// Segment names that begin a line of their own when a result block is joined.
extern const std::vector<std::string> HL7_PREFIXOS;

// The head lines of the input buffer up to and including the first line with
// FS, terminator markers left out; none when no line holds FS. sourceLines
// receives how many input lines the block was cut from (markers included).
std::optional<TLines> GetBlocoProcessarHL7(const std::deque<std::string>& inputBuffer, size_t& sourceLines);
// Removes every VT and FS from every line; the line count does not change.
void LimparBlocoHL7(TLines& bloco);
// QUERY_QRY, QUERY_ORM or QUERY_NID for a (cleaned) MSH line.
int32_t GetMessageType(const std::string& linhaMSH);
// True when the first line of the block is a query confirmation (ACK^Q03).
bool IsConfirmationMessageHL7(const TLines& bloco);
// True when the line begins with one of the names.
using protocol::PrefixoOK;
// Joins continuation lines onto the segment before them; a first line that is
// not a segment name stays a line of its own.
void PrepararBlocoHL7(TLines& bloco, const std::vector<std::string>& pPrefixos = HL7_PREFIXOS);
// Index of the block's header: its first line beginning with "MSH", else 0.
size_t HeaderLineIndex(const TLines& bloco);

// Piece of an MSH line that holds a field: `standardPiece` when MSH-2 holds the
// encoding characters, two further right when piece 4 holds them, otherwise
// `specifiedPiece` (where the handlers have always read it).
int MshPiece(const std::string& msh, int standardPiece, int specifiedPiece);

// "yyyymmddhhnnss".
std::string FormatTimestamp(const TDateTime& t);
// "yyyymmdd".
std::string FormatDate(const TDateTime& t);

// Values of a result message's MSH that its acknowledgement repeats.
struct AckValues {
  std::string fabricante;  // MSH-3, sending application
  std::string modelo;      // MSH-4, sending facility
  std::string id_message;  // MSH-10, message control id
};
AckValues ReadAckValues(const std::string& msh);
// The ACK^R01 entry (two segments, each followed by CR).
std::string BuildAckR01(const AckValues& v, const TDateTime& now);

// Values a query or an order message carries.
struct QueryValues {
  std::string message_id;
  std::string versao_protocolo;
  std::string encoding;
  std::string id_amostra;  // sample id
  std::string id_query;    // QRD-4 (queries only)
  std::string qrf;         // the QRF line, whole (queries only)
};
// Reads them from the message (line 1 its MSH); throws std::out_of_range when
// a line that the type needs is missing.
QueryValues ReadQueryValues(const TLines& msg, int32_t tipo);
// True when the code can go into the order statement as a number literal.
bool CodigoPesquisavel(const std::string& codigo);

// Increments a 64-bit control id in place (wrapping); text that does not read
// as a whole number stays as it is. Answers whether it was incremented.
bool IncMessageID(std::string& pMessage_id);

// Order data read from the first row of the order lookup.
struct OrderData {
  std::string ped_urg;
  std::string cli_nom;  // cut to 30 characters
  TDateTime cpf_dta_nas;
  std::string cpf_sex;
  std::string mat_cod;
  std::string mat_dsc;
  std::string med_nom;  // cut to 30 characters
  std::string grp_dsc;  // cut to 30 characters
};

// The analyzer's identity as identification found it.
struct Remetente {
  std::string aplicacao;
  std::string modelo;
};

// QCK^Q02 for a query whose order was found.
std::string BuildQckQ02Found(const Remetente& r, const QueryValues& v, const TDateTime& now);
// DSR^Q03 with the order's DSP lines and one DSP line per test name.
std::string BuildDsrQ03(const Remetente& r, const QueryValues& v, const OrderData& pedido,
                        const std::vector<std::string>& exames, const TDateTime& now);
// QCK^Q02 for a query whose order was not found.
std::string BuildQckQ02NotFound(const Remetente& r, const QueryValues& v, const TDateTime& now);
// ORR^O02: MSA|AA with patient and order when pedido is given, MSA|AR otherwise.
std::string BuildOrrO02(const QueryValues& v, const OrderData* pedido, const TDateTime& now);

}  // namespace hl7
