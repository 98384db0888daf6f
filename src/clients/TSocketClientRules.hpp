#pragma once
#include <deque>
#include <string>
#include <vector>

#include "util/TDateTime.hpp"

// Pure text rules of the client record (no socket, file, clock or log), kept
// apart so that tests can check them line by line.
namespace clientrules {

// Result of cutting one received chunk into lines.
struct TCutLines {
  std::vector<std::string> lines;  // the lines, control characters kept
  bool endsAtBreak = false;        // the chunk's last character was CR or LF
};

// CR, LF and CR LF end a line (LF CR is two breaks); a break at the very end
// adds no empty last line.
TCutLines CutLines(const std::string& msg);

// True when `what` occurs first at position 1 or 2 of `linha` (index 0 or 1).
bool OccursFirstAt1Or2(const std::string& linha, const std::string& what);

// Completeness of an ASTM buffer: any ETX, or an "H|" line and an "L|" line.
bool PossuiBlocoCompletoASTM(const std::deque<std::string>& lines);
// Completeness of an HL7 buffer: "ORC" in the second line, or any FS.
bool PossuiBlocoCompletoHL7(const std::deque<std::string>& lines);

// Segments that start a new line when an HL7 block is rejoined.
inline const std::vector<std::string> HL7_PREFIXOS = {"MSH", "PID", "PV1", "OBR", "OBX"};
// True when pLinha begins with one of pPrefixos.
bool PrefixoOK(const std::string& pLinha, const std::vector<std::string>& pPrefixos);
// Rejoins an HL7 block (first line beginning "MSH"); other blocks stay as they are.
void PrepararLinhas(std::vector<std::string>& bloco);

// "yyyymmdd-hhnnmm-sss": the month stands where seconds would be expected
// (archived names already follow it), the seconds after the second "-".
std::string FormatTimeStamp(const TDateTime& t);
// The visible order code of a sample identifier: an 11-character identifier
// keeps its first 7 characters, any other stays whole.
std::string VisibleOrderCode(const std::string& identifier);
// Name from a sample identifier: the part before the first "-", and an
// 11-character result shortened to its first 7 characters.
std::string ShortenIdentifier(const std::string& identifier);
// Makes a sample-derived name safe as one path component of the folder:
// drops / \ : * ? " < > | and NUL.
std::string CleanFileName(const std::string& name);
// Subfolder name (without "/") from modelo or nomeTevarin; empty when neither
// gives a usable one ("." and ".." are not usable).
std::string SubfolderName(const std::string& modelo, const std::string& nomeTevarin);

// Lines each followed by CR LF, as logged and archived.
std::string LinesText(const std::deque<std::string>& lines);
std::string LinesText(const std::vector<std::string>& lines);

}  // namespace clientrules
