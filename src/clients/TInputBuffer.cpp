#include "clients/TInputBuffer.hpp"

#include "protocol/Controls.hpp"
#include "protocol/Headers.hpp"
#include "protocol/Lines.hpp"

namespace {

const std::string ICOUNTER = "Icounter";
// "Icounter" may straddle the part already read and the text appended to it.
constexpr size_t OVERLAP = 7;  // ICOUNTER.size() - 1

}  // namespace

TInputBuffer::TInputBuffer(std::initializer_list<std::string> lines) {
  for (const auto& l : lines) push_back(l);
}

TInputBuffer& TInputBuffer::operator=(std::initializer_list<std::string> lines) {
  clear();
  for (const auto& l : lines) push_back(l);
  return *this;
}

uint8_t TInputBuffer::Scan(const std::string& linha, size_t from, uint8_t known) {
  uint8_t f = known & (Bit(VT_) | Bit(ETX_) | Bit(FS_) | Bit(ICOUNTER_));
  for (size_t i = from; i < linha.size(); ++i) {
    const char c = linha[i];
    if (c == VT) f |= Bit(VT_);
    else if (c == ETX) f |= Bit(ETX_);
    else if (c == FS) f |= Bit(FS_);
  }
  if (!(f & Bit(ICOUNTER_)) && linha.find(ICOUNTER, from) != std::string::npos) f |= Bit(ICOUNTER_);
  // The start of a line decides these; they are cheap to read again.
  if (linha.starts_with("H|")) f |= Bit(H_START);
  if (linha.starts_with("L|")) f |= Bit(L_START);
  if (protocol::IsLineASTM(linha) || protocol::IsLineHL7(linha))
    f |= Bit(HEADER);
  else if (!linha.empty() && linha[0] == '{')
    f |= Bit(BRACE);
  return f;
}

void TInputBuffer::Count(uint8_t flags, int sign) {
  for (int k = 0; k < FACTS; ++k)
    if (flags & (1u << k)) count_[k] += static_cast<size_t>(sign);
}

void TInputBuffer::Add(uint8_t flags) {
  const uint64_t position = first_ + flags_.size();
  flags_.push_back(flags);
  Count(flags, +1);
  if (flags & Bit(HEADER)) headers_.push_back(position);
  if (flags & Bit(BRACE)) braces_.push_back(position);
}

void TInputBuffer::push_back(std::string linha) {
  const uint8_t f = Scan(linha, 0, 0);
  bytes_ += linha.size() + 1;
  lines_.push_back(std::move(linha));
  Add(f);
}

void TInputBuffer::AppendToLast(const std::string& text) {
  std::string& last = lines_.back();
  const uint8_t old = flags_.back();
  const size_t from = last.size() > OVERLAP ? last.size() - OVERLAP : 0;
  last += text;
  bytes_ += text.size();
  // The last line's facts are taken out and put back as it reads now.
  flags_.pop_back();
  Count(old, -1);
  const uint64_t position = first_ + flags_.size();
  if ((old & Bit(HEADER)) && !headers_.empty() && headers_.back() == position) headers_.pop_back();
  if ((old & Bit(BRACE)) && !braces_.empty() && braces_.back() == position) braces_.pop_back();
  Add(Scan(last, from, old));
}

void TInputBuffer::pop_front() {
  const uint8_t f = flags_.front();
  bytes_ -= lines_.front().size() + 1;
  Count(f, -1);
  if ((f & Bit(HEADER)) && !headers_.empty() && headers_.front() == first_) headers_.pop_front();
  if ((f & Bit(BRACE)) && !braces_.empty() && braces_.front() == first_) braces_.pop_front();
  lines_.pop_front();
  flags_.pop_front();
  ++first_;
}

void TInputBuffer::clear() {
  lines_.clear();
  ReadAll();
}

void TInputBuffer::ReadAll() {
  flags_.clear();
  headers_.clear();
  braces_.clear();
  bytes_ = 0;
  for (size_t& c : count_) c = 0;
  first_ = 0;
  for (const std::string& linha : lines_) {
    bytes_ += linha.size() + 1;
    Add(Scan(linha, 0, 0));
  }
}

size_t TInputBuffer::FirstHeaderLine() const {
  return headers_.empty() ? npos : static_cast<size_t>(headers_.front() - first_);
}

size_t TInputBuffer::FirstBraceLine() const {
  if (braces_.empty()) return npos;
  if (!headers_.empty() && headers_.front() < braces_.front()) return npos;
  return static_cast<size_t>(braces_.front() - first_);
}

void TInputBuffer::Consume(size_t count) {
  for (size_t i = 0; i < count && !empty(); ++i) pop_front();
  while (!empty() && front() == TERMINADOR_BLOCO) pop_front();
}

void TInputBuffer::DropLeadingBlankLines(bool keepVT) {
  while (!empty() && protocol::IsBlankLine(front()) && !(keepVT && front().find(VT) != std::string::npos)) pop_front();
}

bool TInputBuffer::Contains(const std::string& text) const {
  for (const std::string& linha : lines_) {
    if (linha.find(text) != std::string::npos) return true;
  }
  return false;
}
