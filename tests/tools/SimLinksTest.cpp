// The simulator over the links a lab has besides a TCP connection to the host:
// a serial line (one end of a socat pty pair; the test plays the host on the
// other end) and a port server in TCP-server mode, which the host connects to
// and which drops the connection on request.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <thread>

#include "analyzer-sim/AstmFrames.hpp"
#include "analyzer-sim/PortServer.hpp"
#include "analyzer-sim/SerialLine.hpp"
#include "analyzer-sim/Session.hpp"
#include "support/PtyPair.hpp"
#include "support/TestSupport.hpp"
#include "support/TtySettings.hpp"

using namespace sim;
using namespace std::chrono_literals;
using kvtest::PtyPair;

namespace {

#define NEED_SOCAT() \
  if (!PtyPair::Available()) GTEST_SKIP() << "socat is missing (bash scripts/setup.sh installs it)"

// The host's end of a link (a socket or a terminal), acknowledging like the service.
class LinkHost {
 public:
  LinkHost(int fd, bool socket) : fd_(fd), socket_(socket) {}
  ~LinkHost() {
    if (fd_ >= 0) ::close(fd_);
  }

  // ACK CR LF to ENQ and to every frame until EOT; the frames received, -1 when the transfer broke off.
  int AckTransfer(std::chrono::milliseconds timeout = 3000ms) {
    int frames = 0;
    for (;;) {
      const std::string unit = NextUnit(timeout);
      if (unit.empty()) return -1;
      if (unit[0] == EOT) return frames;
      if (unit[0] == STX) ++frames;
      Write(kvtest::Expand("<ACK><CR><LF>"));
    }
  }
  // How the link ended: "closed", "reset", or "open" when it did not end in time.
  std::string WaitEnd(std::chrono::milliseconds timeout = 3000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "open";
      char buf[256];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n == 0) return "closed";
      if (n < 0) return errno == ECONNRESET ? "reset" : errno == EAGAIN ? "open" : "closed";
      rx_.append(buf, static_cast<size_t>(n));
    }
  }
  const std::string& received() const { return rx_; }

 private:
  // One control character, or a frame up to its LF; "" on timeout or end.
  std::string NextUnit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (used_ < rx_.size()) {
        if (rx_[used_] != STX) return rx_.substr(used_++, 1);
        const size_t lf = rx_.find(LF, used_);
        if (lf != std::string::npos) {
          const std::string frame = rx_.substr(used_, lf + 1 - used_);
          used_ = lf + 1;
          return frame;
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
      char buf[512];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) return "";
      rx_.append(buf, static_cast<size_t>(n));
    }
  }
  void Write(const std::string& bytes) {
    if (socket_) ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    else (void)!::write(fd_, bytes.data(), bytes.size());
  }

  int fd_;
  bool socket_;
  std::string rx_;
  size_t used_ = 0;
};

// The host's end of a pty pair: raw, as the service opens it.
int OpenHostEnd(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

// Connects to 127.0.0.1:port as the service does to a port server, trying until the deadline.
int ConnectToPortServer(int port, std::chrono::milliseconds timeout = 5000ms) {
  int fd = -1;
  kvtest::WaitFor(
      [&] {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
        ::close(fd);
        fd = -1;
        return false;
      },
      timeout);
  return fd;
}

Options Fast() {
  Options o;
  o.timeout = 2000ms;
  o.linger = 100ms;
  o.quiet = true;
  return o;
}

const std::vector<std::string> kResult = {"H|\\^&|||XN-550^00-24|||||||P|LIS2-A2", "P|1", "O|1|1001||^^^^WBC",
                                          "R|1|^^^^WBC^1|6.42|10*3/uL", "L|1|N"};

}  // namespace

TEST(SimSerial, PlaysOverTheLineWithItsSettings) {
  NEED_SOCAT();
  struct Row {
    TSerialSettings line;
    std::string held;  // as the kernel then holds the sim's end
    bool rtscts;
    bool xonxoff;
  };
  const std::vector<Row> rows = {
      {{}, "9600 8N1", false, false},
      {{19200, 8, TParidade::Nenhuma, 2, TControleFluxo::RtsCts}, "19200 8N2", true, false},
      {{4800, 8, TParidade::Nenhuma, 1, TControleFluxo::XonXoff}, "4800 8N1", false, true},
      {{115200, 8, TParidade::Nenhuma, 1, TControleFluxo::Nenhum}, "115200 8N1", false, false},
  };
  for (const Row& r : rows) {
    PtyPair pair;
    LinkHost host(OpenHostEnd(pair.a()), false);
    int frames = -2;
    std::thread hostSide([&] { frames = host.AckTransfer(); });
    std::ostringstream out;
    std::string error;
    try {
      Connection line = OpenSerialLine(pair.b(), r.line, 2000ms);
      const kvtest::TtySettings held = kvtest::ReadTtySettings(pair.b());
      EXPECT_EQ(held.Short(), r.held) << Describe(r.line);
      EXPECT_EQ(held.rtscts, r.rtscts) << Describe(r.line);
      EXPECT_EQ(held.xonxoff, r.xonxoff) << Describe(r.line);
      EXPECT_TRUE(held.raw) << Describe(r.line);
      const Options options = Fast();  // the session keeps a reference
      Session session(line, options, out);
      session.AstmTransfer(kResult);
    } catch (const SimError& e) {
      error = e.what();
    }
    hostSide.join();
    EXPECT_EQ(error, "") << Describe(r.line);
    EXPECT_EQ(frames, 5) << Describe(r.line) << ": " << kvtest::Repr(host.received());
  }
}

TEST(SimSerial, LinesItCannotOpenOrSetAreOneLineErrors) {
  NEED_SOCAT();
  PtyPair pair;
  kvtest::TempDir dir;
  struct Row {
    std::string device;
    TSerialSettings line;
    std::string error;
  };
  const std::vector<Row> rows = {
      {dir / "ttyUSB7", {}, "cannot open " + (dir / "ttyUSB7") + ": no such device"},
      {"/dev/null", {}, "cannot open /dev/null: not a serial port"},
      {pair.b(), {12345, 8, TParidade::Nenhuma, 1, TControleFluxo::Nenhum}, "speed 12345 is not a standard speed"},
      // A pseudo-terminal keeps 8 data bits and no parity whatever it is told.
      {pair.b(), {9600, 7, TParidade::Par, 1, TControleFluxo::Nenhum}, "as 9600 7E1: the port keeps its own data bits, parity"},
      {pair.b(), {9600, 8, TParidade::Impar, 1, TControleFluxo::Nenhum}, "as 9600 8O1: the port keeps its own parity"},
  };
  for (const Row& r : rows) {
    std::string error;
    try {
      OpenSerialLine(r.device, r.line, 1000ms);
    } catch (const SimError& e) {
      error = e.what();
    }
    EXPECT_NE(error.find(r.error), std::string::npos) << r.device << " " << Describe(r.line) << ": " << error;
  }
  // A port another program holds with its lock.
  const int other = ::open(pair.b().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  std::string error;
  try {
    OpenSerialLine(pair.b(), {}, 1000ms);
  } catch (const SimError& e) {
    error = e.what();
  }
  EXPECT_NE(error.find("in use by another program"), std::string::npos) << error;
  ::close(other);
}

TEST(SimPortServer, TheHostConnectsAndTheConnectionIsDroppedOnRequest) {
  PortServer server("127.0.0.1", 0, 2000ms);
  ASSERT_GT(server.port(), 0);
  std::ostringstream out;
  int firstFrames = -2, secondFrames = -2;
  std::string firstEnd, secondEnd;
  std::thread hostSide([&] {
    {
      LinkHost host(ConnectToPortServer(server.port()), true);
      firstFrames = host.AckTransfer();
      firstEnd = host.WaitEnd();
    }
    LinkHost host(ConnectToPortServer(server.port()), true);
    secondFrames = host.AckTransfer();
    secondEnd = host.WaitEnd();
  });
  std::string error;
  try {
    Connection conn = server.Accept(Clock::now() + 3s);
    EXPECT_EQ(server.peer().rfind("127.0.0.1:", 0), 0u) << server.peer();
    const Options options = Fast();  // the session keeps a reference
    Session session(conn, options, out);
    session.AstmTransfer(kResult);
    conn.Drop();
    conn = server.Accept(Clock::now() + 3s);
    session.ConnectionRenewed();
    session.AstmTransfer(kResult);
    conn.Drop(true);
  } catch (const SimError& e) {
    error = e.what();
  }
  hostSide.join();
  EXPECT_EQ(error, "");
  EXPECT_EQ(firstFrames, 5);
  EXPECT_EQ(firstEnd, "closed");
  EXPECT_EQ(secondFrames, 5);
  EXPECT_EQ(secondEnd, "reset");
}

TEST(SimPortServer, NobodyConnectsInTime) {
  PortServer server("127.0.0.1", 0, 2000ms);
  const auto start = Clock::now();
  std::string error;
  try {
    server.Accept(Clock::now() + 200ms);
  } catch (const SimError& e) {
    error = e.what();
  }
  EXPECT_EQ(error, "the host did not connect to port " + std::to_string(server.port()) + " in time");
  EXPECT_LT(Clock::now() - start, 2s);
}

namespace {
kvtest::ProgramRun RunSim(const std::string& args) { return kvtest::RunProgram("analyzer-sim", args); }
const std::string kDemoAstm = std::string(KV_SOURCE_DIR) + "/demo/messages/hematology-xn550.astm";
}  // namespace

TEST(SimProgram, LinkOptions) {
  struct Row {
    std::string args;
    int status;
    std::string text;
  };
  const std::vector<Row> rows = {
      {"--serial /dev/x --listen 4001 a.astm", 1, "--serial and --listen are two different links"},
      {"--speed 9600 a.astm", 1, "are for --serial"},
      {"--serial /dev/x --parity even a.astm", 1, "--parity is nenhuma, par or impar"},
      {"--serial /dev/x --flow hardware a.astm", 1, "--flow is nenhum, rtscts or xonxoff"},
      {"--serial /dev/x --data-bits 6 a.astm", 1, "--data-bits is 7 or 8"},
      {"--serial /dev/x --stop-bits 3 a.astm", 1, "--stop-bits is 1 or 2"},
      {"--drop-after 1 a.astm b.astm", 1, "--drop-after and --drop-reset are for --listen"},
      {"--listen 0 --drop-reset a.astm", 1, "--drop-reset needs --drop-after"},
      {"--listen 0 --drop-after 1 --query 1001", 1, "a query is one exchange"},
      {"--listen 70000 a.astm", 1, "port out of range"},
      {"--serial /nonexistent/ttyUSB0 " + kDemoAstm, 2, "cannot open /nonexistent/ttyUSB0: no such device"},
      {"--listen 0 --timeout 1 " + kDemoAstm, 2, "the host did not connect to port"},
  };
  for (const Row& r : rows) {
    const kvtest::ProgramRun run = RunSim(r.args);
    EXPECT_EQ(run.status, r.status) << r.args << "\n" << run.output;
    EXPECT_NE(run.output.find(r.text), std::string::npos) << r.args << "\n" << run.output;
  }
}

TEST(SimProgram, SerialLineEndToEnd) {
  NEED_SOCAT();
  PtyPair pair;
  LinkHost host(OpenHostEnd(pair.a()), false);
  int frames = -2;
  std::thread hostSide([&] { frames = host.AckTransfer(5000ms); });
  const kvtest::ProgramRun run =
      RunSim("--serial " + pair.b() + " --speed 19200 --stop-bits 2 --flow rtscts --linger 100 --quiet " + kDemoAstm);
  hostSide.join();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("opened " + pair.b() + " at 19200 8N2 rtscts"), std::string::npos) << run.output;
  EXPECT_GE(frames, 10) << kvtest::Repr(host.received());
}

TEST(SimProgram, PortServerDropsAndTheHostConnectsAgain) {
  for (const bool reset : {false, true}) {
    const int port = kvtest::FreePort();
    std::vector<int> frames;
    std::vector<std::string> ends;
    std::thread hostSide([&] {
      for (int i = 0; i < 2; ++i) {
        LinkHost host(ConnectToPortServer(port), true);
        frames.push_back(host.AckTransfer(5000ms));
        ends.push_back(host.WaitEnd(5000ms));
      }
    });
    const kvtest::ProgramRun run = RunSim("--listen " + std::to_string(port) + " --drop-after 1" +
                                          (reset ? " --drop-reset" : "") + " --linger 100 --quiet " + kDemoAstm + " " +
                                          kDemoAstm);
    hostSide.join();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("listening on 127.0.0.1:" + std::to_string(port) + " as a port server"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(reset ? "dropped the connection (reset)" : "dropped the connection (closed)"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("the host connected again from 127.0.0.1:"), std::string::npos) << run.output;
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_GE(frames[0], 10);
    EXPECT_EQ(frames[1], frames[0]);
    // The drop between the files as asked; the end of the run closes the last connection.
    EXPECT_EQ(ends, (std::vector<std::string>{reset ? "reset" : "closed", "closed"}));
  }
}
