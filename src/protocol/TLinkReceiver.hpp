#pragma once
#include <cstddef>
#include <string>
#include <vector>

// The receiving side of the ASTM E1381 link layer of one connection, fed with
// bytes as they arrive, however they were cut into TCP reads (a serial-to-TCP
// bridge forwards bytes as they come: one read may hold several link events,
// and one frame may span several reads). Pure: no socket, clock or log.
//
// Rules:
// - Outside a frame and outside an MLLP message (VT .. FS), ENQ, EOT, ACK and
//   NAK are events of their own wherever they stand, in order with the text
//   and frames around them.
// - Whether the analyzer's transfer is open is not kept here: the client
//   record owns it (ENQ opens it, EOT or a silence ends it) and every read
//   comes with it. Within a read, ENQ and EOT open and end it as they stand.
// - During a transfer a frame (STX .. ETX or ETB and two checksum characters)
//   is one event, assembled across reads; the line breaks that follow it belong
//   to it. Its checksum and number are read, not judged: that is the client's.
// - Everything else is text, handed on at the end of each read. Bytes between
//   VT and FS are text whatever they are.
// - An MLLP message is handed on in the one form the record cuts into lines,
//   however the sender ends it: an LF right after a CR inside it is dropped
//   (segments ended by CR LF), its FS is always followed by CR, and the line
//   breaks the sender puts after FS are dropped, so FS without CR, FS CR LF
//   and FS CR in a later read all end it alike and the next message starts a
//   line of its own. Outside a transfer, NULs right before VT are padding and
//   dropped; they are held back until the next byte shows whether VT follows
//   (across reads), and go out as text before any other byte.
// - An unfinished frame is given up as text when a new STX or EOT arrives, or
//   when it grows past MAX_PENDING; ENQ drops it (a new transfer starts); ACK
//   and NAK leave it pending. A read that comes outside a transfer drops it
//   too: its transfer ended without EOT, and it was never acknowledged.
class TLinkReceiver {
 public:
  // Largest unfinished frame held back (bytes).
  static constexpr size_t MAX_PENDING = 64 * 1024;

  struct TEvent {
    enum Kind { Text, Frame, Enq, Eot, Ack, Nak };
    Kind kind = Text;
    // Text: the bytes. Frame: STX to the checksum, followed by CR LF.
    std::string bytes;
    // Frame only: the frame number character, and the checksum as received
    // and as computed (sum of the bytes after STX up to and including ETX or
    // ETB, modulo 256, two upper-case hexadecimal digits).
    char number = 0;
    std::string checksum;
    std::string expected;
    // Frame only: the received checksum matches (lower-case digits accepted).
    bool ChecksumOk() const;
  };

  // Takes one read; answers its events in order. inTransfer: the analyzer's
  // transfer is open as the read begins (every event before it was handled).
  std::vector<TEvent> Feed(const std::string& read, bool inTransfer);
  // Bytes held back in an unfinished frame, and NULs that may come before a VT.
  size_t PendingBytes() const { return frame_.size() + nuls_; }

 private:
  enum class State { Outside, Mllp, Frame };
  // transfer: open within the read being fed; ENQ and EOT change it.
  void Control(char c, bool& transfer, std::vector<TEvent>& out);
  void FrameByte(char c, std::vector<TEvent>& out);
  void FlushText(std::vector<TEvent>& out);
  void GiveUpFrame(std::vector<TEvent>& out);
  // One byte outside a frame and outside an MLLP message.
  void OutsideByte(char c, bool& transfer, std::vector<TEvent>& out);
  // The NULs held back go out as text, before what follows them.
  void ReleaseNuls();

  State state_ = State::Outside;
  bool afterFrame_ = false;        // line breaks now still belong to the last frame
  bool afterFs_ = false;           // line breaks now still end the last MLLP message
  bool mllpCR_ = false;            // inside an MLLP message, the last byte was CR
  size_t nuls_ = 0;                // NULs held back outside, waiting to see a VT
  std::string text_;               // text of the current read not yet handed on
  std::string frame_;              // the unfinished frame, from its STX
  size_t frameEnd_ = std::string::npos;  // index of its ETX/ETB once seen
};
