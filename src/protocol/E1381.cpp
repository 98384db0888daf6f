#include "protocol/E1381.hpp"

#include <cstdio>

#include "protocol/Controls.hpp"
#include "protocol/Mllp.hpp"

namespace astm {

std::string GetCheckSumASTM(const std::string& MessageText) {
  unsigned soma = 0;
  for (char c : MessageText) soma = (soma + static_cast<unsigned char>(c)) & 0xff;
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", soma);
  return buf;
}

std::string EnvelopeASTM(const std::string& str) {
  return std::string(1, STX) + str + ETX + GetCheckSumASTM(str + ETX);
}

void PrepareBuffer(std::deque<std::string>& inputBuffer) {
  // Walking upwards lets every checksum line join the record line right above it.
  for (size_t i = inputBuffer.size(); i-- > 1;) {
    const std::string& linha = inputBuffer[i];
    if (linha.size() == 3 && linha[0] == ETX) {
      inputBuffer[i - 1] += linha;
      inputBuffer.erase(inputBuffer.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

std::string CleanFramedLine(const std::string& linha, bool* heldEtx, bool* heldEtb) {
  std::string s = linha;
  size_t stx = s.find(STX);
  if (stx != std::string::npos) s.erase(0, stx + 1);
  // The frame's end character and whatever follows it (checksum) never belong to the record.
  size_t etx = s.find(ETX);
  size_t etb = s.find(ETB);
  if (heldEtx) *heldEtx = etx != std::string::npos;
  if (heldEtb) *heldEtb = etx == std::string::npos && etb != std::string::npos;
  if (etx != std::string::npos) {
    s.erase(etx);
  } else if (etb != std::string::npos) {
    s.erase(etb);
  }
  return s;
}

bool IsChecksumLine(const std::string& linha) { return linha.size() == 3 && (linha[0] == ETX || linha[0] == ETB); }

}  // namespace astm

namespace protocol {

std::string BlockModeText(const std::string& item, bool usandoVTFS, bool usandoSTXETX) {
  if (usandoVTFS) return mllp::Wrap(item);
  // An ASTM reply of this mode is queued as a whole frame already; a second
  // STX ... ETX pair around it would corrupt the frame.
  if (usandoSTXETX && item.front() != STX) return STX + item + ETX;
  return item;
}

}  // namespace protocol
