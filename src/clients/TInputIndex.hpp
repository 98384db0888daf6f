#pragma once
#include <cstddef>
#include <deque>
#include <string>

// Facts about a client's input buffer that reception asks after every chunk
// (bytes held, VT/ETX/FS present, record names at the start of a line, the
// first header line). Kept up to date as lines are appended, so a chunk costs
// the text it brings and not the whole buffer again: a client that keeps
// sending text that never completes a message cannot stall the service thread.
// A buffer changed in any other way (lines removed, cleared, edited in the
// middle with a size change) is noticed at the next Update and read again
// once. Text is only ever appended through the record, which updates before
// and after appending, so removals are never hidden behind appends.
class TInputIndex {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  // Brings the facts up to date with `lines`.
  void Update(const std::deque<std::string>& lines);
  // Forgets everything; the next Update reads all lines.
  void Invalidate() { valid_ = false; }

  // Line text plus one byte per line for its break.
  size_t Bytes() const { return prefixBytes_ + (hasLast_ ? lastSize_ + 1 : 0); }
  bool HasVT() const { return prefix_.vt || last_.vt; }
  bool HasETX() const { return prefix_.etx || last_.etx; }
  bool HasFS() const { return prefix_.fs || last_.fs; }
  // The last line holds FS.
  bool LastHasFS() const { return hasLast_ && last_.fs; }
  bool HasIcounter() const { return prefix_.icounter || last_.icounter; }
  // Some line begins with "H|" / "L|" (position 1).
  bool HasHStart() const { return prefixHStart_ || lastHStart_; }
  bool HasLStart() const { return prefixLStart_ || lastLStart_; }
  // Index of the first line that passes the ASTM or HL7 header test, or npos.
  size_t FirstHeaderLine() const;
  // Index of the first line before any header line that begins with "{", or npos.
  size_t FirstBraceLine() const;

 private:
  // Substring facts of one line (or of the part of it read so far).
  struct Facts {
    bool vt = false;
    bool etx = false;
    bool fs = false;
    bool icounter = false;
    void Scan(const std::string& s, size_t from);
    void Merge(const Facts& o);
  };
  void Reset();
  void AddToPrefix(size_t index, const std::string& linha, const Facts& f);

  bool valid_ = false;
  // Every line but the last: [0, prefixLines_).
  size_t prefixLines_ = 0;
  size_t prefixBytes_ = 0;
  Facts prefix_;
  bool prefixHStart_ = false;
  bool prefixLStart_ = false;
  size_t firstHeader_ = npos;
  size_t firstBrace_ = npos;
  // The last line, which may still grow (continuation join): read up to lastScanned_.
  bool hasLast_ = false;
  const std::string* lastPtr_ = nullptr;
  size_t lastScanned_ = 0;
  size_t lastSize_ = 0;
  Facts last_;
  bool lastHStart_ = false;
  bool lastLStart_ = false;
  bool lastHeader_ = false;
  bool lastBrace_ = false;
  // What the buffer looked like at the last Update.
  size_t size_ = 0;
  const std::string* front_ = nullptr;
  std::string frontHead_;
  std::string lastHead_;
};
