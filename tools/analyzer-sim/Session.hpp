#pragma once
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "AstmFrames.hpp"
#include "Connection.hpp"
#include "Messages.hpp"
#include "config/TSerialSettings.hpp"

namespace sim {

enum class Mode { Auto, Astm, AstmPlain, Hl7, Json };

// Everything the command line sets.
struct Options {
  std::string host = "127.0.0.1";
  int port = 6000;
  Mode mode = Mode::Auto;
  std::vector<std::string> files;
  std::string query;   // --query SAMPLE
  bool order = false;  // --order: ORM^O01 instead of QRY^Q02
  Identity identity;
  std::chrono::milliseconds timeout{15000};  // every wait for the host
  std::chrono::milliseconds gap{200};        // pause before a lone EOT, so it is a chunk of its own
  std::chrono::milliseconds linger{500};     // watch for unexpected bytes after a message
  bool quiet = false;                        // no byte transcript, summary only
  // Line faults and strictness of the astm mode (0: off).
  bool strict = false;  // one byte answers a frame; nothing else may come between items
  int badChecksum = 0;  // this frame (from 1, over the session) goes out once with a wrong checksum
  int loseAck = 0;      // the answer to this frame is taken as lost and the frame repeated
  bool eotEnq = false;  // EOT and the next transfer's ENQ in one write
  int cutEvery = 0;     // every write cut into pieces of this many bytes
  // The link: TCP to host:port (the default), a serial device, or a port
  // server that the host connects to.
  std::string serial;    // --serial DEVICE
  TSerialSettings line;  // its settings
  int listen = -1;       // --listen PORT (0: any free port)
  int dropAfter = 0;     // as a port server: drop the connection after every N files, then accept again
  bool dropReset = false;  // drop with a reset instead of a close
};

// A sender gives up on a frame after this many transmissions.
inline constexpr int kMaxFrameAttempts = 6;

// Plays messages to the host over one connection, the way an analyzer would,
// and checks every answer. Failures throw SimError with a one-line reason.
class Session {
 public:
  Session(Connection& conn, const Options& options, std::ostream& out);

  // ENQ, frames (each acknowledged, a NAKed one resent), EOT; then the host's
  // reply transfer when it sends one. anotherFollows: a further transfer comes
  // next, so with eotEnq this one's EOT waits to leave with that one's ENQ.
  void AstmTransfer(const std::vector<std::string>& records, bool anotherFollows = false);
  // Records ended by CR, no low-level protocol; a query waits for the bare reply records.
  void AstmPlain(const std::vector<std::string>& records);
  // VT message FS CR; waits for the acknowledgement or the query/order reply.
  void Hl7Message(const std::string& message);
  // The document, a pause, a lone EOT; the host answers nothing.
  void JsonDocument(const std::string& document);

  // The link was dropped and made again: what was received on the old one is forgotten.
  void ConnectionRenewed() { rx_.clear(); }

  // The order reply of the last query, when there was one.
  const OrderSummary& lastOrder() const { return lastOrder_; }
  // Over the whole session: frames sent (repeats not counted), NAKs received, frames sent again.
  int framesSent() const { return framesSent_; }
  int naksReceived() const { return naks_; }
  int framesResent() const { return resent_; }

 private:
  void SendShown(const std::string& bytes);
  Connection::Got ReceiveShown(Clock::time_point deadline);
  Clock::time_point Deadline() const { return Clock::now() + options_.timeout; }
  std::string TimeoutText() const;
  // Reads one more chunk; throws on timeout or close, naming what was awaited.
  void ReceiveMore(Clock::time_point deadline, const std::string& waitingFor);
  HostItem NextAstmItem(const std::string& waitingFor);
  // One item read as a strict E1381 station does: a control byte alone or a
  // whole frame, with no byte before it and none after it.
  HostItem NextStrictItem(const std::string& waitingFor);
  HostItem NextLinkItem(const std::string& waitingFor);
  void SendFrame(const std::string& frame, const std::string& which);
  void ReceiveAstmTransfer();
  void ReportAstmReply(const std::vector<std::string>& records);
  std::string NextHl7Message(const std::string& waitingFor);
  void ExpectSilence(const std::string& after);
  void Note(const std::string& line);

  Connection& conn_;
  const Options& options_;
  std::ostream& out_;
  std::string rx_;  // received and not yet interpreted
  OrderSummary lastOrder_;
  int framesSent_ = 0;
  int naks_ = 0;
  int resent_ = 0;
  bool eotPending_ = false;  // the last transfer's EOT goes out with the next ENQ
};

// "1 NAK received, 2 frames resent".
std::string LinkCounts(int naks, int resent);

// Local time as yyyymmddhhnnss.
std::string NowStamp();

}  // namespace sim
