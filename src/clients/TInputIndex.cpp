#include "clients/TInputIndex.hpp"

#include "protocol/Controls.hpp"
#include "protocol/Headers.hpp"

namespace {

const std::string ICOUNTER = "Icounter";
// A pattern may straddle the part already read and the text appended to it.
constexpr size_t OVERLAP = 7;  // ICOUNTER.size() - 1

bool IsHeader(const std::string& linha) {
  return protocol::IsLineASTM(linha) || protocol::IsLineHL7(linha);
}

}  // namespace

void TInputIndex::Facts::Scan(const std::string& s, size_t from) {
  if (from >= s.size()) return;
  const char* p = s.data() + from;
  const size_t n = s.size() - from;
  for (size_t i = 0; i < n; ++i) {
    const char c = p[i];
    if (c == VT) vt = true;
    else if (c == ETX) etx = true;
    else if (c == FS) fs = true;
  }
  if (!icounter && s.find(ICOUNTER, from) != std::string::npos) icounter = true;
}

void TInputIndex::Facts::Merge(const Facts& o) {
  vt = vt || o.vt;
  etx = etx || o.etx;
  fs = fs || o.fs;
  icounter = icounter || o.icounter;
}

void TInputIndex::Reset() {
  *this = TInputIndex();
}

void TInputIndex::AddToPrefix(size_t index, const std::string& linha, const Facts& f) {
  prefixBytes_ += linha.size() + 1;
  prefix_.Merge(f);
  prefixHStart_ = prefixHStart_ || linha.starts_with("H|");
  prefixLStart_ = prefixLStart_ || linha.starts_with("L|");
  if (firstHeader_ == npos) {
    if (IsHeader(linha)) {
      firstHeader_ = index;
    } else if (firstBrace_ == npos && !linha.empty() && linha[0] == '{') {
      firstBrace_ = index;
    }
  }
  prefixLines_ = index + 1;
}

void TInputIndex::Update(const std::deque<std::string>& lines) {
  // Only appended lines, and text appended to the last line, are read
  // incrementally; anything else starts over.
  const bool incremental = valid_ && size_ > 0 && lines.size() >= size_ && &lines[0] == front_ &&
                           lines[0].compare(0, frontHead_.size(), frontHead_) == 0 &&
                           &lines[size_ - 1] == lastPtr_ && lines[size_ - 1].size() >= lastScanned_ &&
                           lines[size_ - 1].compare(0, lastHead_.size(), lastHead_) == 0;
  if (!incremental) Reset();
  valid_ = true;
  const size_t n = lines.size();
  if (n == 0) return;

  for (size_t i = prefixLines_; i + 1 < n; ++i) {
    const std::string& linha = lines[i];
    if (hasLast_ && &linha == lastPtr_) {
      // The former last line: finish reading it from where it stopped.
      Facts f = last_;
      f.Scan(linha, lastScanned_ > OVERLAP ? lastScanned_ - OVERLAP : 0);
      AddToPrefix(i, linha, f);
    } else {
      Facts f;
      f.Scan(linha, 0);
      AddToPrefix(i, linha, f);
    }
  }

  const std::string& ultima = lines[n - 1];
  if (!(hasLast_ && &ultima == lastPtr_ && ultima.size() >= lastScanned_)) {
    last_ = Facts();
    lastScanned_ = 0;
  }
  last_.Scan(ultima, lastScanned_ > OVERLAP ? lastScanned_ - OVERLAP : 0);
  hasLast_ = true;
  lastPtr_ = &ultima;
  lastScanned_ = ultima.size();
  lastSize_ = ultima.size();
  lastHStart_ = ultima.starts_with("H|");
  lastLStart_ = ultima.starts_with("L|");
  lastHeader_ = IsHeader(ultima);
  lastBrace_ = !lastHeader_ && !ultima.empty() && ultima[0] == '{';

  size_ = n;
  front_ = &lines[0];
  // assign keeps the capacity: no allocation per chunk.
  frontHead_.assign(lines[0], 0, 16);
  lastHead_.assign(ultima, 0, 16);
}

size_t TInputIndex::FirstHeaderLine() const {
  if (firstHeader_ != npos) return firstHeader_;
  return hasLast_ && lastHeader_ ? size_ - 1 : npos;
}

size_t TInputIndex::FirstBraceLine() const {
  if (firstHeader_ != npos || firstBrace_ != npos) return firstBrace_;
  return hasLast_ && lastBrace_ ? size_ - 1 : npos;
}
