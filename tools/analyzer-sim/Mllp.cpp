#include "Mllp.hpp"

#include "AstmFrames.hpp"

namespace sim {

std::string WrapMllp(const std::string& message) {
  return std::string(1, VT) + message + FS + CR;
}

std::vector<std::string> Segments(const std::string& message) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : message) {
    if (c == CR || c == LF) {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else if (c != VT && c != FS) {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

namespace {
std::string JoinSegments(const std::vector<std::string>& segments, size_t from, size_t to) {
  std::string msg;
  for (size_t i = from; i < to; ++i) msg += segments[i] + CR;
  return msg;
}
}  // namespace

std::vector<std::string> SplitHl7File(const std::string& file) {
  std::vector<std::string> messages;
  if (file.find(VT) != std::string::npos) {
    size_t pos = 0;
    while ((pos = file.find(VT, pos)) != std::string::npos) {
      size_t end = file.find(FS, pos + 1);
      const size_t stop = end == std::string::npos ? file.size() : end;
      const std::vector<std::string> segs = Segments(file.substr(pos + 1, stop - pos - 1));
      const std::string msg = JoinSegments(segs, 0, segs.size());
      if (!msg.empty()) messages.push_back(msg);
      pos = stop;
    }
    return messages;
  }
  const std::vector<std::string> segs = Segments(file);
  size_t start = 0;
  for (size_t i = 1; i <= segs.size(); ++i) {
    if (i == segs.size() || segs[i].rfind("MSH", 0) == 0) {
      messages.push_back(JoinSegments(segs, start, i));
      start = i;
    }
  }
  return messages;
}

MllpItem TakeMllpMessage(std::string& buffer) {
  MllpItem item;
  DropLineEnds(buffer);
  if (buffer.empty()) return item;
  if (buffer[0] != VT) {
    size_t end = buffer.find(VT);
    if (end == std::string::npos) end = buffer.size();
    item.kind = MllpItem::Junk;
    item.text = buffer.substr(0, end);
    buffer.erase(0, end);
    return item;
  }
  const size_t fs = buffer.find(FS);
  if (fs == std::string::npos) return item;
  item.kind = MllpItem::Message;
  item.text = buffer.substr(1, fs - 1);
  buffer.erase(0, fs + 1);  // the CR after FS is skipped with the next call
  return item;
}

std::string FindSegment(const std::string& message, const std::string& name) {
  for (const std::string& seg : Segments(message))
    if (seg.size() > name.size() && seg.compare(0, name.size(), name) == 0 &&
        seg[name.size()] == '|')
      return seg;
  return {};
}

std::string Field(const std::string& segment, int n) {
  if (n < 1) return {};
  const bool msh = segment.rfind("MSH", 0) == 0;
  if (msh && n == 1) return "|";
  return Piece(segment, '|', msh ? n : n + 1);
}

}  // namespace sim
