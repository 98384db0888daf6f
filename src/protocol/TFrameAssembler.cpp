#include "protocol/TFrameAssembler.hpp"

#include <utility>

#include "protocol/Controls.hpp"

namespace {

const std::string kFrameEnds{ETX, ETB};
const char* const kLineBreaks = "\r\n";

// Position just after the frame that starts at `stx` (its ETX or ETB and the two
// checksum characters), or npos while the frame is unfinished.
size_t FrameEnd(const std::string& s, size_t stx) {
  const size_t e = s.find_first_of(kFrameEnds, stx + 1);
  if (e == std::string::npos || e + 2 >= s.size()) return std::string::npos;
  return e + 3;
}

}  // namespace

std::vector<std::string> TFrameAssembler::Feed(const std::string& read, bool inTransferPhase) {
  std::vector<std::string> out;
  if (read.empty()) return out;

  if (read.size() == 1) {
    switch (read[0]) {
      case ACK:  // an acknowledgement of ours is never part of the analyzer's frame
        out.push_back(read);
        return out;
      case ENQ:  // a new transfer: reception drops everything unconsumed anyway
        pending_.clear();
        afterFrame_ = false;
        out.push_back(read);
        return out;
      case EOT:  // nothing more will complete the frame: keep what came
        if (!pending_.empty()) out.push_back(std::exchange(pending_, {}));
        afterFrame_ = false;
        out.push_back(read);
        return out;
      default:
        break;
    }
  }

  if (!inTransferPhase) {
    if (!pending_.empty()) out.push_back(std::exchange(pending_, {}));
    afterFrame_ = false;
    out.push_back(read);
    return out;
  }

  std::string data = read;
  if (afterFrame_ && pending_.empty()) {
    // The CR LF of a frame that was already handled and acknowledged.
    const size_t skip = data.find_first_not_of(kLineBreaks);
    if (skip == std::string::npos) return out;
    data.erase(0, skip);
  }
  afterFrame_ = false;

  if (!pending_.empty()) {
    const size_t stx = data.find(STX);
    const size_t end = data.find_first_of(kFrameEnds);
    const bool pendingEnding = pending_.find_first_of(kFrameEnds, 1) != std::string::npos;
    if (!pendingEnding && stx != std::string::npos && (end == std::string::npos || stx < end)) {
      // A new frame began before the held one ended: the held piece will never
      // be finished, so it is handed on as it is rather than glued to the next.
      out.push_back(std::exchange(pending_, {}));
    } else {
      data = std::exchange(pending_, {}) + data;
    }
  }
  Split(std::move(data), out);
  return out;
}

void TFrameAssembler::Split(std::string data, std::vector<std::string>& out) {
  size_t lastEnd = std::string::npos;
  size_t open = std::string::npos;
  for (size_t pos = data.find(STX); pos != std::string::npos; pos = data.find(STX, pos)) {
    const size_t end = FrameEnd(data, pos);
    if (end == std::string::npos) {
      open = pos;
      break;
    }
    lastEnd = end;
    pos = end;
  }

  if (open == std::string::npos) {
    afterFrame_ = lastEnd != std::string::npos &&
                  data.find_first_not_of(kLineBreaks, lastEnd) == std::string::npos;
    out.push_back(std::move(data));
    return;
  }
  if (open > 0) out.push_back(data.substr(0, open));
  pending_ = data.substr(open);
  if (pending_.size() > MAX_PENDING) out.push_back(std::exchange(pending_, {}));
}
