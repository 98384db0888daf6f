#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>

// A client's received lines not yet consumed, in arrival order, with the
// facts reception asks after every chunk (bytes held, VT/ETX/FS present,
// record names at the start of a line, the first header line). Every change
// goes through this class, which brings the facts up to date with it: a chunk
// costs the text it brings and a consumed line the line itself, so a client
// that keeps sending text that never completes a message cannot make the
// service thread read the whole buffer again at every chunk.
class TInputBuffer {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);
  using const_iterator = std::deque<std::string>::const_iterator;

  TInputBuffer() = default;
  TInputBuffer(std::initializer_list<std::string> lines);
  TInputBuffer& operator=(std::initializer_list<std::string> lines);

  // --- the lines
  const std::deque<std::string>& Lines() const { return lines_; }
  operator const std::deque<std::string>&() const { return lines_; }
  size_t size() const { return lines_.size(); }
  bool empty() const { return lines_.empty(); }
  const std::string& operator[](size_t i) const { return lines_[i]; }
  const std::string& front() const { return lines_.front(); }
  const std::string& back() const { return lines_.back(); }
  const_iterator begin() const { return lines_.begin(); }
  const_iterator end() const { return lines_.end(); }
  // True when some line holds `text`.
  bool Contains(const std::string& text) const;

  // --- changes
  void push_back(std::string linha);
  // Text glued onto the last line (a line cut by a chunk boundary); the buffer is not empty.
  void AppendToLast(const std::string& text);
  void pop_front();
  void clear();
  // Removes `count` lines from the head, then the terminator markers that
  // directly follow them (a handler took a block cut from those lines).
  void Consume(size_t count);
  // Drops the head lines that hold only blanks or control characters (with
  // keepVT, a line holding VT stays: it opens an MLLP message).
  void DropLeadingBlankLines(bool keepVT);
  // Any other change (lines joined or removed in the middle): fn gets the
  // lines to change, and the facts are read again from all of them afterwards.
  template <typename Fn>
  decltype(auto) Edit(Fn&& fn) {
    struct Rebuild {
      TInputBuffer& self;
      ~Rebuild() { self.ReadAll(); }
    } rebuild{*this};
    return fn(lines_);
  }

  // --- facts
  // Line text plus one byte per line for its break.
  size_t Bytes() const { return bytes_; }
  bool HasVT() const { return count_[VT_] > 0; }
  bool HasETX() const { return count_[ETX_] > 0; }
  bool HasFS() const { return count_[FS_] > 0; }
  bool HasIcounter() const { return count_[ICOUNTER_] > 0; }
  // Some line begins with "H|" / "L|".
  bool HasHStart() const { return count_[H_START] > 0; }
  bool HasLStart() const { return count_[L_START] > 0; }
  // The last line holds FS.
  bool LastHasFS() const { return !flags_.empty() && (flags_.back() & Bit(FS_)); }
  // Index of the first line that passes the ASTM or HL7 header test, or npos.
  size_t FirstHeaderLine() const;
  // Index of the first line before any header line that begins with "{", or npos.
  size_t FirstBraceLine() const;

 private:
  // One bit per fact of a line.
  enum Fact : uint8_t { VT_, ETX_, FS_, ICOUNTER_, H_START, L_START, HEADER, BRACE, FACTS };
  static constexpr uint8_t Bit(Fact f) { return static_cast<uint8_t>(1u << f); }
  // Facts of a line; only the bytes from `from` on are looked at for the
  // substring facts (the ones before were read when the line was shorter).
  static uint8_t Scan(const std::string& linha, size_t from, uint8_t known);
  void Count(uint8_t flags, int sign);
  void Add(uint8_t flags);
  void ReadAll();

  std::deque<std::string> lines_;
  std::deque<uint8_t> flags_;  // the facts of each line, same index as lines_
  size_t bytes_ = 0;
  size_t count_[FACTS] = {};
  // Positions (counted from the first line ever held) of header lines and
  // of "{" lines, ascending; first_ is the position of lines_[0].
  std::deque<uint64_t> headers_;
  std::deque<uint64_t> braces_;
  uint64_t first_ = 0;
};
