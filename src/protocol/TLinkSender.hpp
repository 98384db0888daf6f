#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace protocol {

// The sending side of the ASTM E1381 link layer of one connection, the mirror
// of TLinkReceiver: our transfer of a reply (the ENQ we send, one item per ACK
// of the analyzer, our EOT), a NAK's resend, the analyzer's EOT during our
// transfer, and the deadline for the analyzer's answer. Events go in, actions
// come out; the connection carries the actions out (it owns the output buffer,
// the socket, the timer and the log). Pure: no socket, clock or log.
//
// Rules:
// - An item goes followed by CR LF; a lone control character (ACK, NAK, ENQ,
//   EOT) goes without it when `controlWithoutCrLf` asks so. When nothing is
//   queued in frame-to-frame mode a bare EOT goes instead.
// - Our transfer runs from the ENQ item we send to the EOT item we send.
//   During it every item, every resend and everything else the connection
//   handles (re)starts the answer timer; leaving it cancels the timer.
// - A NAK during our transfer sends the last item again, MAX_SENDS times in
//   all; the next NAK ends the transfer. The analyzer's EOT during our
//   transfer, and its silence past the deadline, end it too. Ending drops what
//   is left of the reply and sends our EOT.
// - Outside our transfer a NAK means nothing and an EOT is the analyzer's own
//   (for reception).
class TLinkSender {
 public:
  // How often one item goes out before a NAK ends the transfer.
  static constexpr int MAX_SENDS = 6;

  struct TOptions {
    bool controlWithoutCrLf;  // a lone control character goes as one byte
    int answerSeconds;        // how long the analyzer may take to answer an item; 0 or less: no limit
  };

  // Where our side of the link stands.
  struct TState {
    bool sending = false;   // our transfer runs (from our ENQ to our EOT)
    std::string lastSent;   // during it: the last item as it went on the wire
    int sends = 0;          // how often the last item went
    bool operator==(const TState&) const = default;
  };

  struct TEvent {
    enum Kind {
      Next,          // an item may go: a reply is due, or the analyzer acknowledged
      Nak,           // the analyzer refused what went last
      Eot,           // the analyzer sent EOT
      AnswerTimeUp,  // the answer timer ran out
      Handled,       // the connection handled something else (a chunk, a LIS answer, a silent transfer)
    };
    TEvent(Kind k, std::optional<std::string> pItem = std::nullopt, bool pFrameToFrame = false)
        : kind(k), item(std::move(pItem)), frameToFrame(pFrameToFrame) {}

    Kind kind;
    // Next: the output buffer's first item; none when the buffer is empty.
    std::optional<std::string> item;
    // Next: the client opened with ENQ, so an empty buffer answers with a bare EOT.
    bool frameToFrame;
  };

  struct TAction {
    enum Kind {
      Write,              // write `text` to the connection
      Dequeue,            // the output buffer's first item went
      ClearQueue,         // our transfer ended: the rest of the output buffer is dropped
      ArmAnswerTimer,     // (re)start the answer timer, `seconds` long
      CancelAnswerTimer,  // stop the answer timer
      CountNak,           // the analyzer refused an item of ours (for the status page)
      Log,                // write `text` to the service log
      Receive,            // the event is the analyzer's own: hand it to reception
    };
    TAction(Kind k, std::string pText = {}, int pSeconds = 0) : kind(k), text(std::move(pText)), seconds(pSeconds) {}

    Kind kind;
    std::string text;  // Write: the bytes; Log: the line
    int seconds;       // ArmAnswerTimer: how long
    bool operator==(const TAction&) const = default;
  };

  struct TStep {
    TState next;
    std::vector<TAction> actions;
  };

  // Every transition of the sending side, in one function.
  static TStep Transition(const TState& state, const TEvent& event, const TOptions& options);

  explicit TLinkSender(TOptions options) : options_(options) {}

  // Takes one event; answers what the connection must do, in order.
  std::vector<TAction> On(const TEvent& event);
  // True during our transfer.
  bool Sending() const { return state_.sending; }
  const TState& State() const { return state_; }

 private:
  TOptions options_;
  TState state_;
};

// Names for log and test messages.
std::string Name(TLinkSender::TEvent::Kind kind);
std::string Name(TLinkSender::TAction::Kind kind);

}  // namespace protocol
