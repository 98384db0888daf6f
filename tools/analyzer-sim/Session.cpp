#include "Session.hpp"

#include <ctime>
#include <thread>

#include "Mllp.hpp"
#include "Readable.hpp"
#include "util/Encoding.hpp"

namespace sim {

std::string NowStamp() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
  return buf;
}

Session::Session(Connection& conn, const Options& options, std::ostream& out)
    : conn_(conn), options_(options), out_(out) {}

// Summaries carry the host's Windows-1252 names; terminals expect UTF-8.
void Session::Note(const std::string& line) { out_ << "   " << Cp1252ToUtf8(line) << '\n' << std::flush; }

void Session::SendShown(const std::string& bytes) {
  if (!options_.quiet) out_ << "-> " << Readable(bytes) << '\n' << std::flush;
  const size_t piece = options_.cutEvery > 0 ? static_cast<size_t>(options_.cutEvery) : bytes.size();
  for (size_t pos = 0; pos < bytes.size(); pos += piece) {
    // The pause lets each piece leave as a segment of its own, as from a slow serial converter.
    if (pos > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    conn_.Send(bytes.substr(pos, piece));
  }
}

std::string LinkCounts(int naks, int resent) {
  return std::to_string(naks) + (naks == 1 ? " NAK" : " NAKs") + " received, " + std::to_string(resent) +
         (resent == 1 ? " frame" : " frames") + " resent";
}

Connection::Got Session::ReceiveShown(Clock::time_point deadline) {
  std::string chunk;
  const Connection::Got got = conn_.Receive(rx_, chunk, deadline);
  if (got == Connection::Got::Data && !options_.quiet)
    out_ << "<- " << Readable(chunk) << '\n' << std::flush;
  return got;
}

std::string Session::TimeoutText() const {
  const auto ms = options_.timeout.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

void Session::ReceiveMore(Clock::time_point deadline, const std::string& waitingFor) {
  switch (ReceiveShown(deadline)) {
    case Connection::Got::Data: return;
    case Connection::Got::Timeout:
      throw SimError("no answer from the host within " + TimeoutText() + " while waiting for " +
                     waitingFor);
    case Connection::Got::Closed:
      throw SimError("the host closed the connection while waiting for " + waitingFor);
  }
}

HostItem Session::NextAstmItem(const std::string& waitingFor) {
  const Clock::time_point deadline = Deadline();
  for (;;) {
    HostItem item = TakeHostItem(rx_);
    if (item.kind != HostItem::None) return item;
    ReceiveMore(deadline, waitingFor);
  }
}

namespace {
std::string Unexpected(const HostItem& item) {
  return "unexpected " + Readable(item.raw.substr(0, 60)) + (item.raw.size() > 60 ? "..." : "");
}
std::string Shown(const std::string& bytes) {
  return Readable(bytes.substr(0, 60)) + (bytes.size() > 60 ? "..." : "");
}
}  // namespace

HostItem Session::NextStrictItem(const std::string& waitingFor) {
  const Clock::time_point deadline = Deadline();
  HostItem item;
  for (;;) {
    if (!rx_.empty()) {
      const char c = rx_[0];
      if (c == ACK || c == NAK || c == ENQ || c == EOT) {
        item = TakeHostItem(rx_);
        break;
      }
      if (c != STX)
        throw SimError("strict: unexpected bytes " + Shown(rx_) + " while waiting for " + waitingFor);
      const size_t end = rx_.find_first_of(std::string{ETX, ETB}, 1);
      if (end != std::string::npos && end + 3 < rx_.size()) {
        // A frame ends with CR LF after its checksum, and with nothing else.
        const bool cr = rx_[end + 3] == CR;
        const bool lf = end + 4 >= rx_.size() || rx_[end + 4] == LF;
        if (!cr || !lf)
          throw SimError("strict: frame not ended by <CR><LF> while waiting for " + waitingFor + ": " +
                         Shown(rx_.substr(0, end + 5)));
        if (end + 5 <= rx_.size()) {
          std::string frame = rx_.substr(0, end + 5);
          rx_.erase(0, end + 5);
          item = TakeHostItem(frame);
          break;
        }
      }
    }
    ReceiveMore(deadline, waitingFor);
  }
  // A strict station reads the next byte only after it has answered this item.
  if (!rx_.empty())
    throw SimError("strict: extra bytes " + Shown(rx_) + " after the host's " +
                   (item.kind == HostItem::Frame ? "frame " + std::to_string(item.frameNumber) : Readable(item.raw)) +
                   " (" + waitingFor + ")");
  return item;
}

HostItem Session::NextLinkItem(const std::string& waitingFor) {
  return options_.strict ? NextStrictItem(waitingFor) : NextAstmItem(waitingFor);
}

void Session::SendFrame(const std::string& frame, const std::string& which) {
  const int number = ++framesSent_;
  bool spoil = options_.badChecksum == number;
  bool loseAnswer = options_.loseAck == number;
  std::string waitingFor = "the ACK to " + which;
  int naksHere = 0;
  for (int attempt = 1;; ++attempt) {
    if (attempt > 1) ++resent_;
    const bool spoiled = spoil;
    spoil = false;
    SendShown(spoiled ? WithWrongChecksum(frame) : frame);
    const HostItem item = NextLinkItem(spoiled ? "the NAK to " + which + " sent with a bad checksum" : waitingFor);
    if (spoiled) {
      if (item.kind == HostItem::Ack)
        throw SimError("host accepted a frame with a bad checksum (" + which + ")");
      if (item.kind != HostItem::Nak)
        throw SimError("malformed answer to " + which + " sent with a bad checksum: " + Unexpected(item));
      ++naks_;
      ++naksHere;
      waitingFor = "the ACK to " + which + ", resent with its right checksum";
      continue;
    }
    if (loseAnswer) {
      // Whatever the host said never arrived: the same frame goes again, and
      // the host must take it as the repeat it is.
      loseAnswer = false;
      if (!options_.quiet) out_ << "   (answer to " << which << " taken as lost: the frame goes again)\n" << std::flush;
      waitingFor = "the ACK to the repeat of " + which + " (its first answer taken as lost)";
      continue;
    }
    if (item.kind == HostItem::Ack) return;
    if (item.kind != HostItem::Nak) throw SimError("malformed answer to " + which + ": " + Unexpected(item));
    ++naks_;
    ++naksHere;
    if (attempt >= kMaxFrameAttempts) {
      SendShown(std::string(1, EOT));
      throw SimError("the host answered NAK to " + which + " " + std::to_string(naksHere) + " times" +
                     (naksHere == attempt ? "" : " in " + std::to_string(attempt) + " transmissions") +
                     "; gave up with EOT");
    }
    waitingFor = "the ACK to the resent frame (the host answered NAK to " + which + ")";
  }
}

void Session::AstmTransfer(const std::vector<std::string>& records, bool anotherFollows) {
  SendShown(eotPending_ ? std::string{EOT, ENQ} : std::string(1, ENQ));
  eotPending_ = false;
  HostItem item = NextLinkItem("the ACK to ENQ");
  if (item.kind == HostItem::Nak) throw SimError("the host answered NAK to ENQ (busy)");
  if (item.kind == HostItem::Enq) throw SimError("line contention: the host sent ENQ in answer to ENQ");
  if (item.kind != HostItem::Ack) throw SimError("malformed answer to ENQ: " + Unexpected(item));

  const int naksBefore = naks_, resentBefore = resent_;
  const std::vector<std::string> frames = FrameRecords(records);
  for (size_t i = 0; i < frames.size(); ++i)
    SendFrame(frames[i], "frame " + std::to_string(i + 1) + " of " + std::to_string(frames.size()));
  const bool query = IsAstmQuery(records);
  // A query's EOT goes alone: the host answers it before anything else may start.
  const bool holdEot = options_.eotEnq && anotherFollows && !query;
  if (!holdEot) SendShown(std::string(1, EOT));
  Note(std::to_string(records.size()) + " records sent in " + std::to_string(frames.size()) +
       " frames, every frame acknowledged; " + LinkCounts(naks_ - naksBefore, resent_ - resentBefore) +
       (holdEot ? "; EOT held to go with the next ENQ" : ""));
  if (holdEot) {
    eotPending_ = true;
    return;
  }

  if (query) {
    item = NextLinkItem("the host's reply to the query (ENQ)");
    if (item.kind != HostItem::Enq)
      throw SimError("malformed reply to the query: expected ENQ, got " + Unexpected(item));
    ReceiveAstmTransfer();
    // Nothing may follow the reply's EOT.
    if (options_.strict) ExpectSilence("the reply's EOT");
  } else {
    ExpectSilence("the result message");
  }
}

void Session::ReceiveAstmTransfer() {
  SendShown(std::string(1, ACK));
  std::string text;
  int expected = 1;
  // A query reply is a handful of frames; a host that never ends its transfer is a fault.
  for (int count = 0;; ++count) {
    if (count > 10000) throw SimError("the host's reply transfer does not end (over 10000 frames)");
    const HostItem item = NextLinkItem("reply frame " + std::to_string(expected) + " or EOT");
    if (item.kind == HostItem::Eot) break;
    if (item.kind != HostItem::Frame)
      throw SimError("malformed reply transfer: " + Unexpected(item));
    if (!item.checksumOk) {
      SendShown(std::string(1, NAK));
      throw SimError("bad checksum in reply frame " + std::to_string(item.frameNumber) +
                     ": received \"" + Readable(item.checksum) + "\", computed " + item.expected);
    }
    if (item.frameNumber != expected)
      throw SimError("reply frame number " + std::to_string(item.frameNumber) + ", expected " +
                     std::to_string(expected));
    text += item.text;
    SendShown(std::string(1, ACK));
    expected = (expected + 1) % 8;
  }
  ReportAstmReply(SplitRecords(text));
}

void Session::ReportAstmReply(const std::vector<std::string>& records) {
  lastOrder_ = DescribeAstmReply(records);
  if (!lastOrder_.recognised) {
    std::string got;
    for (const std::string& r : records) got += std::string(1, RecordType(r));
    throw SimError("malformed query reply: expected H, P, O and L records, got \"" + got + "\"");
  }
  for (const std::string& line : lastOrder_.lines) Note(line);
}

void Session::AstmPlain(const std::vector<std::string>& records) {
  std::string text;
  for (const std::string& r : records) text += r + CR;
  SendShown(text);
  Note(std::to_string(records.size()) + " plain records sent");
  if (!IsAstmQuery(records)) {
    ExpectSilence("the result message");
    return;
  }
  // The reply is bare records (or one STX ... ETX frame); it is whole once the L record has ended.
  const Clock::time_point deadline = Deadline();
  auto whole = [&] {
    if (rx_.find(STX) != std::string::npos) {
      const size_t etx = rx_.find(ETX);
      return etx != std::string::npos && etx + 3 <= rx_.size();
    }
    for (size_t pos = 0; (pos = rx_.find("L|", pos)) != std::string::npos; pos += 2)
      if ((pos == 0 || rx_[pos - 1] == CR || rx_[pos - 1] == LF) &&
          rx_.find(CR, pos) != std::string::npos)
        return true;
    return false;
  };
  while (!whole()) {
    const Connection::Got got = ReceiveShown(deadline);
    if (got == Connection::Got::Timeout)
      throw SimError("no complete reply from the host within " + TimeoutText() + " (waiting for the L record)");
    if (got == Connection::Got::Closed)
      throw SimError("the host closed the connection before its reply was complete");
  }
  std::vector<std::string> reply;
  if (rx_.find(STX) != std::string::npos) {
    std::string joined;
    for (HostItem item = TakeHostItem(rx_); item.kind != HostItem::None; item = TakeHostItem(rx_)) {
      if (item.kind != HostItem::Frame) throw SimError("malformed reply: " + Unexpected(item));
      if (!item.checksumOk)
        throw SimError("bad checksum in the reply frame: received \"" + Readable(item.checksum) +
                       "\", computed " + item.expected);
      joined += item.text;
    }
    reply = SplitRecords(joined);
  } else {
    reply = SplitRecords(rx_);
    rx_.clear();
  }
  ReportAstmReply(reply);
}

std::string Session::NextHl7Message(const std::string& waitingFor) {
  const Clock::time_point deadline = Deadline();
  for (;;) {
    MllpItem item = TakeMllpMessage(rx_);
    if (item.kind == MllpItem::Message) return item.text;
    if (item.kind == MllpItem::Junk)
      throw SimError("malformed reply (not VT ... FS): " + Readable(item.text.substr(0, 60)));
    ReceiveMore(deadline, waitingFor);
  }
}

void Session::Hl7Message(const std::string& message) {
  const std::string msh = FindSegment(message, "MSH");
  const std::string type = Field(msh, 9);
  const std::string id = Field(msh, 10);
  SendShown(WrapMllp(message));
  Note("sent " + (type.empty() ? std::string("a message without MSH-9") : type) + " control id " + id);
  if (type.rfind("ACK", 0) == 0) {  // a confirmation is not answered
    ExpectSilence(type);
    return;
  }
  const std::string reply = NextHl7Message("the answer to " + type + " " + id);
  const std::string replyType = Field(FindSegment(reply, "MSH"), 9);
  const std::string msa = FindSegment(reply, "MSA");
  if (msa.empty()) throw SimError("malformed answer to " + type + ": no MSA segment in " + Readable(reply.substr(0, 80)));
  const std::string code = Field(msa, 1);
  Note("answer " + replyType + ", MSA-1 " + code + (Field(msa, 3).empty() ? "" : " (" + Field(msa, 3) + ")"));

  if (type.rfind("QRY", 0) == 0) {
    if (code != "AA") throw SimError("the host rejected the query: MSA-1 " + code);
    const std::string qak = Field(FindSegment(reply, "QAK"), 2);
    if (qak == "NF") {
      lastOrder_ = OrderSummary{true, false, {"no order for the sample (QAK-2 NF)"}};
      Note(lastOrder_.lines.front());
      return;
    }
    if (qak != "OK") throw SimError("malformed query acknowledgement: QAK-2 \"" + qak + "\"");
    const std::string dsr = NextHl7Message("the DSR^Q03 with the order");
    lastOrder_ = DescribeHl7Order(dsr);
    if (!lastOrder_.recognised)
      throw SimError("malformed query reply: expected DSR^Q03, got " + Field(FindSegment(dsr, "MSH"), 9));
    for (const std::string& line : lastOrder_.lines) Note(line);
    // Confirm the data, as the analyzers do; the host answers nothing to it.
    const std::string dsrId = Field(FindSegment(dsr, "MSH"), 10);
    SendShown(WrapMllp(BuildHl7QueryConfirmation(options_.identity, NowStamp(), id + "1", dsrId)));
    ExpectSilence("ACK^Q03");
    return;
  }
  if (type.rfind("ORM", 0) == 0) {
    lastOrder_ = DescribeHl7Order(reply);
    if (!lastOrder_.recognised) throw SimError("malformed order reply: expected ORR^O02, got " + replyType);
    for (const std::string& line : lastOrder_.lines) Note(line);
    if (code != "AA") throw SimError("the host rejected the order message: MSA-1 " + code);
    return;
  }
  if (code != "AA" && code != "CA")
    throw SimError("the host did not accept " + type + " " + id + ": MSA-1 " + code);
  if (Field(msa, 2) != id)
    throw SimError("the acknowledgement is for control id \"" + Field(msa, 2) + "\", not \"" + id + "\"");
}

void Session::JsonDocument(const std::string& document) {
  SendShown(document);
  // The host takes a lone EOT as the end of the document; sent together with
  // the text it would be read as text.
  std::this_thread::sleep_for(options_.gap);
  SendShown(std::string(1, EOT));
  Note("JSON document sent (" + std::to_string(document.size()) + " bytes), then EOT");
  ExpectSilence("the JSON document");
}

void Session::ExpectSilence(const std::string& after) {
  if (options_.strict) {
    // No line ends to skip: a byte here is either the ENQ of a transfer or a fault.
    const Clock::time_point deadline = Clock::now() + options_.linger;
    while (rx_.empty())
      if (ReceiveShown(deadline) != Connection::Got::Data) return;
    if (rx_[0] != ENQ) throw SimError("strict: unexpected bytes " + Shown(rx_) + " after " + after);
    NextStrictItem("the ENQ after " + after);
    ReceiveAstmTransfer();
    return;
  }
  // The CR LF that ends the host's last item may still be in the buffer.
  DropLineEnds(rx_);
  const Clock::time_point deadline = Clock::now() + options_.linger;
  while (rx_.empty()) {
    const Connection::Got got = ReceiveShown(deadline);
    if (got != Connection::Got::Data) return;  // silence (or a close) is the expected answer
    DropLineEnds(rx_);
  }
  // A host that answers a result with a low-level transfer: read it rather than fail blindly.
  HostItem item = TakeHostItem(rx_);
  if (item.kind == HostItem::Enq) {
    ReceiveAstmTransfer();
    return;
  }
  if (item.kind == HostItem::None)
    throw SimError("unexpected bytes from the host after " + after + ": " + Readable(rx_.substr(0, 60)));
  throw SimError("unexpected answer from the host after " + after + ": " + Unexpected(item));
}

}  // namespace sim
