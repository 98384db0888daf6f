#pragma once
#include <string>
#include <vector>

// HL7 v2 messages and their MLLP framing (VT message FS CR) as pure functions.
namespace sim {

inline constexpr char VT = 0x0B, FS = 0x1C;

// VT, the message, FS, CR.
std::string WrapMllp(const std::string& message);

// The messages of a file: MLLP-framed ones are cut at VT ... FS; a plain file
// is cut at every MSH segment. Segments end with CR (LF and CR LF become CR);
// empty segments are dropped.
std::vector<std::string> SplitHl7File(const std::string& file);

// One thing the host sent, cut from the head of the receive buffer.
struct MllpItem {
  enum Kind { None, Message, Junk } kind = None;
  std::string text;  // Message: between VT and FS; Junk: the stray bytes
};
// None while no whole VT ... FS has arrived (CR/LF between messages is skipped).
MllpItem TakeMllpMessage(std::string& buffer);

// Segments of a message (cut at CR/LF, empty ones dropped).
std::vector<std::string> Segments(const std::string& message);
// The first segment named name ("MSA"), or "" when there is none.
std::string FindSegment(const std::string& message, const std::string& name);
// HL7 field n of a segment: MSH-n for MSH (MSH-1 is the separator), else the
// n-th field after the segment name.
std::string Field(const std::string& segment, int n);

}  // namespace sim
