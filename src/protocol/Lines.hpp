#pragma once
#include <deque>
#include <string>
#include <vector>

// A block: lines cut from the head of a client's input buffer and handled as one message.
using TLines = std::vector<std::string>;

// Line rules shared by reception and every protocol: cutting received text
// into lines, the small tests on a line, and the text of lines as logged and
// archived. Pure: no socket, file, clock or log.
namespace protocol {

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

// True when pLinha begins with one of pPrefixos.
bool PrefixoOK(const std::string& pLinha, const std::vector<std::string>& pPrefixos);

// True when the line holds nothing but blanks and control characters.
bool IsBlankLine(const std::string& linha);

// The first 30 characters: names from the LIS are cut to this in every reply.
std::string Cut30(const std::string& s);

// Lines each followed by CR LF, as logged and archived.
std::string LinesText(const std::deque<std::string>& lines);
std::string LinesText(const std::vector<std::string>& lines);

}  // namespace protocol
