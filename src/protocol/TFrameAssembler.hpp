#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Rebuilds ASTM E1381 frames that a serial-to-TCP bridge delivered in several
// TCP reads, so that reception sees one chunk (and acknowledges once) per
// frame. Only acts during a transfer (between ENQ and EOT); outside of one,
// and for an analyzer that delivers each frame in one read, every read passes
// through unchanged. Pure: no socket, clock or log.
//
// Rules:
// - A read that starts a frame (STX) without finishing it (ETX or ETB plus two
//   checksum characters) is held; later reads are appended until it is complete.
//   Whatever preceded that STX in the same read goes out first, as its own chunk.
// - The completed frame goes out as one chunk together with the line breaks that
//   follow it in the same read (reception stores them, as for a whole read).
// - Line breaks that arrive in later reads right after a completed frame (before
//   the next STX, ENQ or EOT) belong to that frame: they are swallowed, so they
//   are neither stored again nor acknowledged again.
// - A lone EOT sends a pending partial frame out as an ordinary chunk first; a
//   lone ENQ drops it (reception clears its buffer on ENQ anyway); a lone ACK is
//   passed through and leaves it pending.
// - A new STX before the pending frame ended sends the abandoned piece out as an
//   ordinary chunk; a pending frame that grows past MAX_PENDING goes out as an
//   ordinary chunk.
// Checksums and frame numbers are not examined.
class TFrameAssembler {
 public:
  // Largest partial frame held back (bytes).
  static constexpr size_t MAX_PENDING = 64 * 1024;

  // Takes one received read; answers the chunks reception must handle, in order.
  // inTransferPhase: the client's state before this read.
  std::vector<std::string> Feed(const std::string& read, bool inTransferPhase);
  // Bytes held back in an unfinished frame.
  size_t PendingBytes() const { return pending_.size(); }
  // True while an unfinished frame is held back.
  bool HasPending() const { return !pending_.empty(); }

 private:
  // Splits data (which may start with a held frame) into chunks to hand out now
  // and a trailing unfinished frame to hold.
  void Split(std::string data, std::vector<std::string>& out);

  std::string pending_;     // the unfinished frame held back
  bool afterFrame_ = false; // the last chunk handed out ended with a complete frame
};
