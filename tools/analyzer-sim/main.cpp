// analyzer-sim: plays analyzer messages to the integration service (or any
// ASTM/HL7 host) and checks every answer. Exit status: 0 all went as expected,
// 1 bad command line or unreadable file, 2 the host failed (refused, silent,
// a frame NAKed six times, bad checksum, malformed or rejecting answer).
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "AstmFrames.hpp"
#include "Mllp.hpp"
#include "PortServer.hpp"
#include "Readable.hpp"
#include "SerialLine.hpp"
#include "Session.hpp"

using namespace sim;

namespace {

const char* kHelp = R"(usage: analyzer-sim [options] FILE...
       analyzer-sim [options] --query SAMPLE

Connects to the host like a laboratory analyzer, plays the message files (or a
host query) and checks every answer. Everything sent (->) and received (<-) is
printed with control characters shown as <STX>, <ETX>, <CR>, ...
The link is a TCP connection to the host (the default), a serial line
(--serial), or a port server that the host connects to (--listen).

Modes (--mode; by default from the file extension: .astm, .hl7, .json):
  astm        ASTM E1381: ENQ, frames numbered 1..7,0,1,... with checksums,
              records over 240 characters split with ETB, an ACK awaited for
              each, EOT; then the host's reply transfer is received, every
              frame's checksum verified and acknowledged.
  astm-plain  ASTM records ended by CR, no low-level protocol.
  hl7         HL7 v2 in MLLP (VT message FS CR); waits for the ACK and checks
              MSA-1 (AA) and MSA-2 (the control id).
  json        a JSON result document, then a lone EOT; the host answers nothing.
Files may be raw captures: framing, frame numbers, checksums, ENQ/EOT and
VT/FS are stripped and the records sent afresh in the chosen mode.

Options:
  --host HOST         host to connect to (127.0.0.1)
  --port PORT         TCP port (the KV_PORT environment variable, else 6000)
  --mode MODE         astm | astm-plain | hl7 | json
  --query SAMPLE      ask the host for the order of SAMPLE and print it:
                      ASTM H, Q|1|^SAMPLE||ALL||||||||O, L (astm, astm-plain)
                      or HL7 QRY^Q02 with QRD-8 = SAMPLE (hl7)
  --order             with --query in hl7 mode: send ORM^O01 (ORC-3 = SAMPLE)
  --model NAME        analyzer model in the query header: ASTM H field 5,
                      HL7 MSH-4 (SIM); the service finds its configured
                      analyzer by this name
  --application NAME  HL7 MSH-3 of the query (SIM)
  --version TEXT      ASTM H field 13 (LIS2-A2) / HL7 MSH-12 (2.3.1)
  --timeout SECONDS   longest wait for any answer (15, the E1381 timeout)
  --gap MS            pause before the EOT that ends a JSON document (200)
  --linger MS         how long to watch for unexpected bytes after a message
                      that gets no answer (500)
  --quiet             print only the summary lines, not the bytes
  --cut-every N       cut every write into pieces of N bytes, each its own write
                      1 ms apart, so items straddle the host's reads (1: each byte)
  --help              this text

Links (instead of connecting to --host and --port):
  --serial DEVICE     play over a serial line (/dev/ttyUSB0, or one end of a
                      socat pty pair), opened raw and locked like a terminal
                      program does; the line settings, with the words of the
                      service's keys velocidade, bitsDados, paridade,
                      bitsParada and controleFluxo:
    --speed BPS         9600 (a standard speed: 300 ... 921600)
    --data-bits N       7 or 8 (8)
    --parity WORD       nenhuma, par or impar (nenhuma)
    --stop-bits N       1 or 2 (1)
    --flow WORD         nenhum, rtscts or xonxoff (nenhum)
  --listen PORT       play a port server in TCP-server mode: listen on --host
                      (127.0.0.1; 0.0.0.0 for every address) and PORT (0: any
                      free port, printed), wait up to --timeout for the host to
                      connect, then play over that connection
  --drop-after N      with --listen: after every N files drop the connection
                      and wait for the host to connect again before the next
  --drop-reset        drop with a reset (RST) instead of a close (FIN)

Line faults and strictness (astm mode only):
  --strict            read as a strict E1381 station: exactly one byte answers
                      ENQ or a frame (ACK, or NAK to resend); the host's reply is
                      ENQ, frames, EOT with no byte between them. Anything else,
                      such as CR LF after an ACK, fails the run naming the bytes.
  --bad-checksum N    send frame N (from 1, over the whole run) once with its
                      checksum one too high; the host must answer NAK, and the
                      frame is then resent correctly
  --lose-ack N        take the answer to frame N as lost and send the same frame
                      (number and text) again; the host must ACK the repeat
  --eot-enq           with several messages, send the EOT that ends one and the
                      ENQ that opens the next in one write (a query's EOT goes
                      alone, since the host replies to it)
A NAKed frame is resent, up to 6 transmissions of that frame; a NAK followed by
an ACK for the resend is no failure. After the sixth NAK the simulator sends
EOT and fails. Each message's summary, and the last line before OK, count the
NAKs received and the frames resent.

Exit status: 0 every answer as expected; 1 bad command line or unreadable
file; 2 the host failed: connection refused, no answer within the timeout, a
frame NAKed 6 times, a bad checksum accepted or sent, malformed answer, extra
bytes under --strict, or an HL7 AR/AE acknowledgement.

Examples:
  analyzer-sim --port 6000 demo/messages/hematology.astm
  analyzer-sim --serial /dev/ttyUSB0 --speed 9600 --parity nenhuma demo/messages/hematology.astm
  analyzer-sim --listen 4001 --drop-after 1 first.hl7 second.hl7
  analyzer-sim --port 6000 --mode astm --model XN-550 --query 1234567
  analyzer-sim --port 6000 --mode hl7 --model BC-5380 --query 1234567
  analyzer-sim --port 6000 demo/messages/icounter.json
)";

[[noreturn]] void Usage(const std::string& why) {
  std::cerr << "analyzer-sim: " << why << " (see --help)\n";
  std::exit(1);
}

int ToInt(const std::string& text, const std::string& option) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < 0 || v > 1000000) Usage("bad value for " + option + ": " + text);
  return static_cast<int>(v);
}

Options Parse(int argc, char** argv) {
  Options o;
  bool lineSet = false;
  if (const char* env = std::getenv("KV_PORT"); env && *env) o.port = ToInt(env, "KV_PORT");
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(a + " needs a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      std::exit(0);
    } else if (a == "--host") {
      o.host = value();
    } else if (a == "--port") {
      o.port = ToInt(value(), a);
      if (o.port < 1 || o.port > 65535) Usage("port out of range");
    } else if (a == "--mode") {
      const std::string m = value();
      if (m == "astm") o.mode = Mode::Astm;
      else if (m == "astm-plain") o.mode = Mode::AstmPlain;
      else if (m == "hl7") o.mode = Mode::Hl7;
      else if (m == "json") o.mode = Mode::Json;
      else Usage("unknown mode " + m);
    } else if (a == "--query") {
      o.query = value();
    } else if (a == "--order") {
      o.order = true;
    } else if (a == "--model") {
      o.identity.model = value();
    } else if (a == "--application") {
      o.identity.application = value();
    } else if (a == "--version") {
      o.identity.version = value();
    } else if (a == "--timeout") {
      o.timeout = std::chrono::milliseconds(1000LL * ToInt(value(), a));
      if (o.timeout.count() == 0) Usage("--timeout must be at least 1 second");
    } else if (a == "--gap") {
      o.gap = std::chrono::milliseconds(ToInt(value(), a));
    } else if (a == "--linger") {
      o.linger = std::chrono::milliseconds(ToInt(value(), a));
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--strict") {
      o.strict = true;
    } else if (a == "--bad-checksum") {
      o.badChecksum = ToInt(value(), a);
      if (o.badChecksum < 1) Usage("--bad-checksum counts frames from 1");
    } else if (a == "--lose-ack") {
      o.loseAck = ToInt(value(), a);
      if (o.loseAck < 1) Usage("--lose-ack counts frames from 1");
    } else if (a == "--eot-enq") {
      o.eotEnq = true;
    } else if (a == "--cut-every") {
      o.cutEvery = ToInt(value(), a);
      if (o.cutEvery < 1) Usage("--cut-every needs at least 1 byte");
    } else if (a == "--serial") {
      o.serial = value();
    } else if (a == "--speed") {
      o.line.velocidade = ToInt(value(), a);
      lineSet = true;
    } else if (a == "--data-bits") {
      o.line.bitsDados = ToInt(value(), a);
      if (o.line.bitsDados != 7 && o.line.bitsDados != 8) Usage("--data-bits is 7 or 8");
      lineSet = true;
    } else if (a == "--parity") {
      const std::optional<TParidade> p = ParidadeFromWord(value());
      if (!p) Usage("--parity is nenhuma, par or impar");
      o.line.paridade = *p;
      lineSet = true;
    } else if (a == "--stop-bits") {
      o.line.bitsParada = ToInt(value(), a);
      if (o.line.bitsParada != 1 && o.line.bitsParada != 2) Usage("--stop-bits is 1 or 2");
      lineSet = true;
    } else if (a == "--flow") {
      const std::optional<TControleFluxo> f = ControleFluxoFromWord(value());
      if (!f) Usage("--flow is nenhum, rtscts or xonxoff");
      o.line.controleFluxo = *f;
      lineSet = true;
    } else if (a == "--listen") {
      o.listen = ToInt(value(), a);
      if (o.listen > 65535) Usage("port out of range");
    } else if (a == "--drop-after") {
      o.dropAfter = ToInt(value(), a);
      if (o.dropAfter < 1) Usage("--drop-after counts files from 1");
    } else if (a == "--drop-reset") {
      o.dropReset = true;
    } else if (!a.empty() && a[0] == '-') {
      Usage("unknown option " + a);
    } else {
      o.files.push_back(a);
    }
  }
  if (o.query.empty() == o.files.empty())
    Usage(o.query.empty() ? "give message files or --query SAMPLE" : "--query takes no files");
  if (o.order && (o.query.empty() || o.mode != Mode::Hl7)) Usage("--order needs --query and --mode hl7");
  if (!o.query.empty() && o.mode == Mode::Auto) o.mode = Mode::Astm;
  if (!o.query.empty() && o.mode == Mode::Json) Usage("the JSON protocol has no query");
  if (!o.serial.empty() && o.listen >= 0) Usage("--serial and --listen are two different links: give one");
  if (lineSet && o.serial.empty()) Usage("--speed, --data-bits, --parity, --stop-bits and --flow are for --serial");
  if ((o.dropAfter > 0 || o.dropReset) && o.listen < 0) Usage("--drop-after and --drop-reset are for --listen");
  if (o.dropReset && o.dropAfter == 0) Usage("--drop-reset needs --drop-after");
  if (o.dropAfter > 0 && !o.query.empty()) Usage("--drop-after drops between files; a query is one exchange");
  return o;
}

Mode ModeOf(const std::string& file, Mode chosen) {
  if (chosen != Mode::Auto) return chosen;
  const size_t dot = file.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : file.substr(dot);
  if (ext == ".astm") return Mode::Astm;
  if (ext == ".hl7") return Mode::Hl7;
  if (ext == ".json") return Mode::Json;
  Usage("cannot tell the mode of " + file + " from its extension; use --mode");
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "analyzer-sim: cannot read " << path << "\n";
    std::exit(1);
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void PlayFile(Session& session, const std::string& path, Mode mode, bool anotherFollows) {
  const std::string content = ReadWhole(path);
  std::cout << "== " << path << '\n';
  if (mode == Mode::Astm || mode == Mode::AstmPlain) {
    const ExtractedRecords ex = ExtractAstmRecords(content);
    if (ex.records.empty()) throw SimError(path + " holds no ASTM records");
    std::cout << "   " << ex.records.size() << " records"
              << (ex.framed ? " from " + std::to_string(ex.frames) + " captured frames" : "")
              << (ex.badChecksums ? ", " + std::to_string(ex.badChecksums) + " captured checksums wrong" : "")
              << '\n';
    if (mode == Mode::Astm) session.AstmTransfer(ex.records, anotherFollows);
    else session.AstmPlain(ex.records);
  } else if (mode == Mode::Hl7) {
    const std::vector<std::string> messages = SplitHl7File(content);
    if (messages.empty()) throw SimError(path + " holds no HL7 message");
    for (const std::string& m : messages) session.Hl7Message(m);
  } else {
    if (content.find('{') == std::string::npos) throw SimError(path + " holds no JSON document");
    session.JsonDocument(content);
  }
}

// The analyzer's end of the link the options name. A port server stays in
// `server`, for the connections the host makes after a drop.
Connection OpenLink(const Options& o, std::unique_ptr<PortServer>& server) {
  if (!o.serial.empty()) {
    Connection line = OpenSerialLine(o.serial, o.line, o.timeout);
    std::cout << "opened " << o.serial << " at " << Describe(o.line) << '\n';
    return line;
  }
  if (o.listen >= 0) {
    server = std::make_unique<PortServer>(o.host, o.listen, o.timeout);
    std::cout << "listening on " << o.host << ":" << server->port()
              << " as a port server: waiting for the host to connect" << std::endl;
    Connection accepted = server->Accept(Clock::now() + o.timeout);
    std::cout << "the host connected from " << server->peer() << '\n';
    return accepted;
  }
  Connection conn(o.host, o.port, o.timeout);
  std::cout << "connected to " << o.host << ":" << o.port << '\n';
  return conn;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  std::vector<Mode> modes;
  for (const std::string& f : options.files) modes.push_back(ModeOf(f, options.mode));
  if (options.strict || options.badChecksum || options.loseAck || options.eotEnq) {
    bool astm = options.files.empty() ? options.mode == Mode::Astm : true;
    for (Mode m : modes) astm = astm && m == Mode::Astm;
    if (!astm) Usage("--strict, --bad-checksum, --lose-ack and --eot-enq are for astm mode");
  }
  try {
    std::unique_ptr<PortServer> server;
    Connection conn = OpenLink(options, server);
    Session session(conn, options, std::cout);
    // The link counts are printed however the run ends: after a failure they tell how far it got.
    struct Totals {
      const Session& s;
      ~Totals() {
        if (s.framesSent() > 0) std::cout << "   in all: " << LinkCounts(s.naksReceived(), s.framesResent()) << '\n';
      }
    };
    {
      Totals totals{session};
      if (!options.query.empty()) {
        const std::string stamp = NowStamp();
        std::cout << "== query for sample " << options.query << '\n';
        if (options.mode == Mode::Hl7) {
          const std::string id = stamp.substr(8);
          session.Hl7Message(options.order ? BuildHl7Order(options.identity, options.query, stamp, id)
                                           : BuildHl7Query(options.identity, options.query, stamp, id));
        } else {
          const auto records = BuildAstmQuery(options.identity, options.query, stamp);
          if (options.mode == Mode::AstmPlain) session.AstmPlain(records);
          else session.AstmTransfer(records);
        }
      } else {
        const size_t count = options.files.size();
        for (size_t i = 0; i < count; ++i) {
          const bool drop = options.dropAfter > 0 && (i + 1) % options.dropAfter == 0 && i + 1 < count;
          // An EOT held for the next ENQ would be lost with a dropped connection.
          PlayFile(session, options.files[i], modes[i], !drop && i + 1 < count && modes[i + 1] == Mode::Astm);
          if (!drop) continue;
          conn.Drop(options.dropReset);
          std::cout << "== dropped the connection (" << (options.dropReset ? "reset" : "closed")
                    << "); waiting for the host to connect again" << std::endl;
          conn = server->Accept(Clock::now() + options.timeout);
          session.ConnectionRenewed();
          std::cout << "the host connected again from " << server->peer() << '\n';
        }
      }
    }
    std::cout << "OK\n";
    return 0;
  } catch (const std::exception& e) {  // SimError and any other failure: the host run failed
    std::cout << std::flush;
    std::cerr << "analyzer-sim: " << e.what() << '\n';
    return 2;
  }
}
