#pragma once
#include <cstddef>
#include <deque>
#include <string>

// The ASTM E1381 low-level framing in one place: the frame checksum and
// envelope, the cleaning of received framed lines, and the block-mode framing
// of reply items (the receiving side of the link is TLinkReceiver).
// Pure: no socket, clock or log.
namespace astm {

// E1381 frame checksum: sum of the bytes modulo 256, two upper-case hex digits.
std::string GetCheckSumASTM(const std::string& MessageText);
// STX + str + ETX + checksum of (str + ETX).
std::string EnvelopeASTM(const std::string& str);

// Joins every 3-character line that begins with ETX (a checksum line) to the line before it.
void PrepareBuffer(std::deque<std::string>& inputBuffer);

// One input line without its framing: up to the first STX and from the first
// ETX (or ETB) on are removed; the frame number stays. *heldEtx / *heldEtb tell
// whether the line held an ETX / ETB.
std::string CleanFramedLine(const std::string& linha, bool* heldEtx = nullptr, bool* heldEtb = nullptr);

// A checksum line: ETX or ETB and the two checksum characters.
bool IsChecksumLine(const std::string& linha);

// Removes the checksum lines at the head of the input buffer (a deque, or the
// client's TInputBuffer, which keeps its facts as lines leave its front):
// their frames were handled before, they hold no data. Answers how many.
template <typename Lines>
size_t DropLeadingChecksumLines(Lines& inputBuffer) {
  size_t n = 0;
  for (; !inputBuffer.empty() && IsChecksumLine(inputBuffer.front()); ++n) inputBuffer.pop_front();
  return n;
}

}  // namespace astm

namespace protocol {

// The text of one reply item in block mode: MLLP-wrapped for an analyzer that
// uses VT/FS, STX + item + ETX for one that uses STX/ETX (an item that already
// is a whole frame, an ASTM reply, goes as it is), otherwise the item itself.
std::string BlockModeText(const std::string& item, bool usandoVTFS, bool usandoSTXETX);

}  // namespace protocol
