#include "protocol/Lines.hpp"

#include "protocol/Controls.hpp"

namespace protocol {

TCutLines CutLines(const std::string& msg) {
  TCutLines out;
  static constexpr char BREAKS[] = {CR, LF, '\0'};
  size_t inicio = 0;
  for (size_t i = msg.find_first_of(BREAKS); i != std::string::npos; i = msg.find_first_of(BREAKS, inicio)) {
    out.lines.emplace_back(msg, inicio, i - inicio);
    // CR LF is one break; LF CR stays two.
    if (msg[i] == CR && i + 1 < msg.size() && msg[i + 1] == LF) ++i;
    inicio = i + 1;
  }
  out.endsAtBreak = !msg.empty() && (msg.back() == CR || msg.back() == LF);
  if (!out.endsAtBreak && !msg.empty()) out.lines.emplace_back(msg, inicio);
  return out;
}

bool OccursFirstAt1Or2(const std::string& linha, const std::string& what) {
  // The first occurrence is at index 0 or 1 exactly when it occurs at either.
  return linha.compare(0, what.size(), what) == 0 ||
         (linha.size() > what.size() && linha.compare(1, what.size(), what) == 0);
}

bool PrefixoOK(const std::string& pLinha, const std::vector<std::string>& pPrefixos) {
  for (const auto& prefixo : pPrefixos) {
    if (pLinha.compare(0, prefixo.size(), prefixo) == 0) return true;
  }
  return false;
}

bool IsBlankLine(const std::string& linha) {
  for (const unsigned char c : linha) {
    if (c > ' ') return false;
  }
  return true;
}

std::string Cut30(const std::string& s) { return s.size() > 30 ? s.substr(0, 30) : s; }

namespace {

template <typename Lines>
std::string JoinWithCrLf(const Lines& lines) {
  size_t total = 0;
  for (const auto& linha : lines) total += linha.size() + 2;
  std::string text;
  text.reserve(total);
  for (const auto& linha : lines) {
    text += linha;
    text += "\r\n";
  }
  return text;
}

}  // namespace

std::string LinesText(const std::deque<std::string>& lines) { return JoinWithCrLf(lines); }

std::string LinesText(const std::vector<std::string>& lines) { return JoinWithCrLf(lines); }

}  // namespace protocol
