#include "AstmFrames.hpp"

#include <cctype>
#include <cstdio>

namespace sim {

std::string AstmChecksum(const std::string& bytes) {
  unsigned sum = 0;
  for (unsigned char c : bytes) sum = (sum + c) & 0xFF;
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", sum);
  return buf;
}

std::string BuildFrame(int frameNumber, const std::string& text, bool last) {
  std::string body;
  body += static_cast<char>('0' + (frameNumber % 8));
  body += text;
  body += last ? ETX : ETB;
  return std::string(1, STX) + body + AstmChecksum(body) + CR + LF;
}

std::string WithWrongChecksum(const std::string& frame) {
  const size_t end = frame.find_first_of(std::string{ETX, ETB});
  if (end == std::string::npos || end + 3 > frame.size()) return frame;
  const std::string sum = frame.substr(end + 1, 2);
  if (!std::isxdigit(static_cast<unsigned char>(sum[0])) || !std::isxdigit(static_cast<unsigned char>(sum[1])))
    return frame;
  const unsigned wrong = (std::stoul(sum, nullptr, 16) + 1) & 0xFF;
  char buf[3];
  std::snprintf(buf, sizeof buf, "%02X", wrong);
  std::string out = frame;
  out.replace(end + 1, 2, buf);
  return out;
}

std::vector<std::string> FrameRecords(const std::vector<std::string>& records, size_t maxText) {
  std::vector<std::string> frames;
  if (maxText < 2) maxText = 2;
  int number = 1;
  for (const std::string& record : records) {
    const std::string text = record + CR;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t len = std::min(maxText, text.size() - pos);
      // Never leave the record's CR alone in a last frame: the host would
      // read the bare frame number as a record line of its own.
      if (pos + len == text.size() - 1) --len;
      const bool last = pos + len >= text.size();
      frames.push_back(BuildFrame(number, text.substr(pos, len), last));
      number = (number + 1) % 8;
      pos += len;
    }
  }
  return frames;
}

std::vector<std::string> SplitRecords(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  auto flush = [&] {
    if (!cur.empty()) out.push_back(cur);
    cur.clear();
  };
  for (unsigned char c : text) {
    if (c == CR || c == LF) {
      flush();
    } else if (c < 0x20 && c != '\t') {
      // ENQ, EOT, VT and friends are transport, not record text.
    } else {
      cur += static_cast<char>(c);
    }
  }
  flush();
  return out;
}

ExtractedRecords ExtractAstmRecords(const std::string& file) {
  ExtractedRecords result;
  if (file.find(STX) == std::string::npos) {
    result.records = SplitRecords(file);
    return result;
  }
  result.framed = true;
  std::string joined;
  size_t pos = 0;
  while ((pos = file.find(STX, pos)) != std::string::npos) {
    const size_t start = pos + 1;
    const size_t end = file.find_first_of(std::string{ETX, ETB, STX}, start);
    if (end == std::string::npos || file[end] == STX) {
      // A frame cut short: keep its text, nothing to verify.
      const size_t stop = end == std::string::npos ? file.size() : end;
      std::string text = file.substr(start, stop - start);
      if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) text.erase(0, 1);
      joined += text;
      joined += CR;
      ++result.frames;
      ++result.badChecksums;
      pos = stop;
      continue;
    }
    ++result.frames;
    const std::string body = file.substr(start, end - start + 1);  // frame number .. ETX/ETB
    if (end + 3 > file.size()) {  // checksum missing
      ++result.badChecksums;
    } else if (file.compare(end + 1, 2, AstmChecksum(body)) != 0) {
      ++result.badChecksums;
    }
    // Text without the frame number digit and without ETX/ETB.
    if (end > start) joined += file.substr(start + 1, end - start - 1);
    if (file[end] == ETX && (joined.empty() || joined.back() != CR)) joined += CR;
    pos = end + 1;
  }
  result.records = SplitRecords(joined);
  return result;
}

void DropLineEnds(std::string& buffer) {
  size_t skip = 0;
  while (skip < buffer.size() && (buffer[skip] == CR || buffer[skip] == LF)) ++skip;
  buffer.erase(0, skip);
}

HostItem TakeHostItem(std::string& buffer) {
  HostItem item;
  DropLineEnds(buffer);
  if (buffer.empty()) return item;
  const char c = buffer[0];
  auto single = [&](HostItem::Kind kind) {
    item.kind = kind;
    item.raw = buffer.substr(0, 1);
    buffer.erase(0, 1);
    return item;
  };
  switch (c) {
    case ACK: return single(HostItem::Ack);
    case NAK: return single(HostItem::Nak);
    case ENQ: return single(HostItem::Enq);
    case EOT: return single(HostItem::Eot);
    default: break;
  }
  if (c == STX) {
    const size_t end = buffer.find_first_of(std::string{ETX, ETB}, 1);
    if (end == std::string::npos || end + 3 > buffer.size())
      return item;  // wait for the rest of the frame
    item.kind = HostItem::Frame;
    item.raw = buffer.substr(0, end + 3);
    const std::string body = buffer.substr(1, end);  // frame number .. ETX/ETB
    item.frameNumber = end > 1 && std::isdigit(static_cast<unsigned char>(buffer[1])) ? buffer[1] - '0' : -1;
    item.text = end > 1 ? buffer.substr(item.frameNumber >= 0 ? 2 : 1,
                                        end - (item.frameNumber >= 0 ? 2 : 1))
                        : std::string();
    item.last = buffer[end] == ETX;
    item.checksum = buffer.substr(end + 1, 2);
    item.expected = AstmChecksum(body);
    item.checksumOk = item.checksum == item.expected;
    buffer.erase(0, end + 3);
    return item;
  }
  // Anything else runs to the next control character that could start an item.
  size_t end = buffer.find_first_of(std::string{STX, ACK, NAK, ENQ, EOT}, 1);
  if (end == std::string::npos) end = buffer.size();
  item.kind = HostItem::Junk;
  item.raw = buffer.substr(0, end);
  buffer.erase(0, end);
  return item;
}

std::string Piece(const std::string& text, char sep, size_t n) {
  size_t start = 0;
  for (size_t i = 1; i < n; ++i) {
    const size_t p = text.find(sep, start);
    if (p == std::string::npos) return {};
    start = p + 1;
  }
  const size_t stop = text.find(sep, start);
  return text.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
}

char RecordType(const std::string& record) {
  if (record.size() >= 2 && std::isdigit(static_cast<unsigned char>(record[0])) && record[1] != '|')
    return record[1];
  return record.empty() ? '\0' : record[0];
}

}  // namespace sim
