#include "protocol/TLinkReceiver.hpp"

#include <cctype>

#include "protocol/Controls.hpp"
#include "protocol/E1381.hpp"

namespace {

bool IsControl(char c) { return c == ENQ || c == EOT || c == ACK || c == NAK; }

}  // namespace

bool TLinkReceiver::TEvent::ChecksumOk() const {
  if (checksum.size() != 2) return false;
  for (size_t i = 0; i < 2; ++i)
    if (std::toupper(static_cast<unsigned char>(checksum[i])) != expected[i]) return false;
  return true;
}

std::vector<TLinkReceiver::TEvent> TLinkReceiver::Feed(const std::string& read, bool inTransfer) {
  std::vector<TEvent> out;
  if (!inTransfer && (state_ == State::Frame || afterFrame_)) {
    // The transfer ended without EOT while a frame was unfinished or its line
    // breaks were due: nothing of it belongs to what comes now.
    frame_.clear();
    state_ = State::Outside;
    afterFrame_ = false;
  }
  // Only outside a transfer are NULs padding before a VT.
  if (inTransfer) ReleaseNuls();
  bool transfer = inTransfer;
  for (const char c : read) {
    switch (state_) {
      case State::Mllp:
        if (c == LF && mllpCR_) {
          mllpCR_ = false;  // CR LF ends a segment as CR alone does
          break;
        }
        mllpCR_ = c == CR;
        text_ += c;
        if (c == FS) {
          text_ += CR;
          state_ = State::Outside;
          afterFs_ = true;
        }
        break;
      case State::Frame:
        if (IsControl(c)) {
          Control(c, transfer, out);
        } else {
          FrameByte(c, out);
        }
        break;
      case State::Outside:
        OutsideByte(c, transfer, out);
        break;
    }
  }
  FlushText(out);
  return out;
}

void TLinkReceiver::OutsideByte(char c, bool& transfer, std::vector<TEvent>& out) {
  if (c == NUL && !transfer) {
    if (++nuls_ > MAX_PENDING) ReleaseNuls();
    return;
  }
  // The sender's own end of the message before: FS was already given its CR.
  if (afterFs_ && (c == CR || c == LF)) return;
  afterFs_ = false;
  if (c == VT)
    nuls_ = 0;
  else
    ReleaseNuls();
  if (IsControl(c)) {
    Control(c, transfer, out);
  } else if (afterFrame_ && (c == CR || c == LF)) {
    // The CR LF of a frame already handed on (and acknowledged).
  } else if (c == STX && transfer) {
    FlushText(out);
    afterFrame_ = false;
    frame_.assign(1, c);
    frameEnd_ = std::string::npos;
    state_ = State::Frame;
  } else {
    afterFrame_ = false;
    text_ += c;
    if (c == VT) {
      state_ = State::Mllp;
      mllpCR_ = false;
    }
  }
}

void TLinkReceiver::ReleaseNuls() {
  text_.append(nuls_, NUL);
  nuls_ = 0;
}

void TLinkReceiver::Control(char c, bool& transfer, std::vector<TEvent>& out) {
  FlushText(out);
  afterFrame_ = false;
  if (state_ == State::Frame) {
    if (c == ENQ) {
      // A new transfer: whatever came of the old one is dropped with it.
      frame_.clear();
      state_ = State::Outside;
    } else if (c == EOT) {
      GiveUpFrame(out);  // nothing more will complete it: keep what came
    }
  }
  TEvent e;
  switch (c) {
    case ENQ: e.kind = TEvent::Enq; transfer = true; break;
    case EOT: e.kind = TEvent::Eot; transfer = false; break;
    case ACK: e.kind = TEvent::Ack; break;
    default: e.kind = TEvent::Nak; break;
  }
  e.bytes.assign(1, c);
  out.push_back(std::move(e));
}

void TLinkReceiver::FrameByte(char c, std::vector<TEvent>& out) {
  if (c == STX && frameEnd_ == std::string::npos) {
    // A new frame began before this one ended: the piece will never be finished.
    GiveUpFrame(out);
    frame_.assign(1, c);
    frameEnd_ = std::string::npos;
    state_ = State::Frame;
    return;
  }
  frame_ += c;
  if (frameEnd_ == std::string::npos) {
    if (c == ETX || c == ETB) frameEnd_ = frame_.size() - 1;
    if (frame_.size() > MAX_PENDING) GiveUpFrame(out);
    return;
  }
  if (frame_.size() < frameEnd_ + 3) return;
  TEvent e;
  e.kind = TEvent::Frame;
  e.number = frame_.size() > 1 ? frame_[1] : '\0';
  e.checksum = frame_.substr(frameEnd_ + 1, 2);
  e.expected = astm::GetCheckSumASTM(frame_.substr(1, frameEnd_));
  e.bytes = std::move(frame_);
  e.bytes += "\r\n";
  out.push_back(std::move(e));
  frame_.clear();
  state_ = State::Outside;
  afterFrame_ = true;
}

void TLinkReceiver::FlushText(std::vector<TEvent>& out) {
  if (text_.empty()) return;
  TEvent e;
  e.kind = TEvent::Text;
  e.bytes = std::move(text_);
  text_.clear();
  out.push_back(std::move(e));
}

void TLinkReceiver::GiveUpFrame(std::vector<TEvent>& out) {
  if (!frame_.empty()) {
    TEvent e;
    e.kind = TEvent::Text;
    e.bytes = std::move(frame_);
    out.push_back(std::move(e));
  }
  frame_.clear();
  state_ = State::Outside;
}
