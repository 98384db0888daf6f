#pragma once
#include <cstddef>
#include <string>
#include <vector>

// ASTM E1381 low-level framing as pure functions over bytes.
namespace sim {

inline constexpr char STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, LF = 0x0A,
                      CR = 0x0D, NAK = 0x15, ETB = 0x17;

// Largest frame text (frame number and framing excluded) before a record is split.
inline constexpr size_t kMaxFrameText = 240;

// Sum of the bytes modulo 256 as two upper-case hex digits ("07", "3F").
std::string AstmChecksum(const std::string& bytes);

// STX, frame number digit, text, ETX or ETB, checksum, CR LF.
std::string BuildFrame(int frameNumber, const std::string& text, bool last);

// The same frame with its checksum one higher (modulo 256), so a host that
// verifies checksums must refuse it; the frame is returned as it is when it
// has no checksum to change.
std::string WithWrongChecksum(const std::string& frame);

// The frames of one transfer: each record ended by CR, split after
// kMaxFrameText characters with ETB; numbers run 1..7, 0, 1, ...
std::vector<std::string> FrameRecords(const std::vector<std::string>& records,
                                      size_t maxText = kMaxFrameText);

// Records found in a message file, whatever its form.
struct ExtractedRecords {
  std::vector<std::string> records;  // without CR, framing or frame numbers
  bool framed = false;               // the file held STX frames
  int frames = 0;                    // frames seen
  int badChecksums = 0;              // frames whose checksum did not match
};
// Framed capture: frame texts joined (ETB continuations glued), cut at CR.
// Plain file: its lines (CR, LF or CR LF), control characters dropped.
ExtractedRecords ExtractAstmRecords(const std::string& file);

// Drops the CR and LF at the head of buffer (the line ends between the host's items).
void DropLineEnds(std::string& buffer);

// One thing the host sent, cut from the head of the receive buffer.
struct HostItem {
  enum Kind { None, Ack, Nak, Enq, Eot, Frame, Junk } kind = None;
  std::string raw;         // the bytes consumed for this item (CR/LF between items excluded)
  int frameNumber = -1;    // Frame: the digit after STX, -1 when it is not a digit
  std::string text;        // Frame: text between the frame number and ETX/ETB
  bool last = false;       // Frame: ended by ETX (not ETB)
  bool checksumOk = false; // Frame: the two characters match the computed sum
  std::string checksum;    // Frame: the two characters received
  std::string expected;    // Frame: the checksum computed here
};
// Takes one item from the head of buffer (CR and LF between items are skipped).
// None when the buffer holds no whole item yet; the partial item stays.
HostItem TakeHostItem(std::string& buffer);

// Records of a plain (unframed) reply: text cut at CR/LF, control bytes dropped.
std::vector<std::string> SplitRecords(const std::string& text);

// Piece n (from 1) of text split at sep; "" beyond the end.
std::string Piece(const std::string& text, char sep, size_t n);

// The record type of an ASTM record, a leading frame number digit ignored ("2P|1" -> 'P').
char RecordType(const std::string& record);

}  // namespace sim
