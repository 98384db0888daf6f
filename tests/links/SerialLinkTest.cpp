// Opening serial devices for links, through real pseudo-terminal pairs made by
// socat: the line settings as the kernel then holds them, each reason a device
// cannot be opened, and what a pty carries (it has no speed, parity or
// framing, so only what the line discipline itself does can be seen here).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/serial_port.hpp>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "links/SerialLink.hpp"
#include "links/TLinkStream.hpp"
#include "LinkPrinters.hpp"
#include "support/PtyPair.hpp"
#include "support/TestSupport.hpp"
#include "support/TtySettings.hpp"

using namespace std::chrono_literals;
using kvtest::PtyPair;
using K = TLinkFailureKind;

namespace {

#define NEED_SOCAT() \
  if (!PtyPair::Available()) GTEST_SKIP() << "socat is missing (bash scripts/setup.sh installs it)"

std::string AllBytes() {
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<char>(i);
  return all;
}

// The far end of the pair, as an analyzer's port: raw, optionally with software flow control.
int OpenFarEnd(const std::string& path, bool xonxoff = false) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return fd;
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  if (xonxoff) t.c_iflag |= IXON | IXOFF;
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

std::string ReadFd(int fd, size_t want, std::chrono::milliseconds timeout = 2000ms) {
  std::string got;
  kvtest::WaitFor(
      [&] {
        char buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        return got.size() >= want;
      },
      timeout);
  return got;
}

// Reads from the link until `want` bytes came or the time is up.
std::string ReadLink(asio::io_context& io, TLinkStream& link, size_t want, std::chrono::milliseconds timeout = 2000ms) {
  std::string got;
  char buf[512];
  bool reading = false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
    if (!reading) {
      reading = true;
      link.AsyncReadSome(asio::buffer(buf), [&](const std::error_code& ec, size_t n) {
        reading = false;
        if (!ec) got.append(buf, n);
      });
    }
    io.run_for(10ms);
    io.restart();
  }
  if (reading) {  // end the outstanding read before the buffer goes
    link.Close();
    io.run_for(50ms);
    io.restart();
  }
  return got;
}

void WriteLink(asio::io_context& io, TLinkStream& link, const std::string& bytes) {
  bool done = false;
  link.AsyncWrite(asio::buffer(bytes), [&](const std::error_code&, size_t) { done = true; });
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (!done && std::chrono::steady_clock::now() < deadline) {
    io.run_for(10ms);
    io.restart();
  }
}

}  // namespace

TEST(SerialLink, SettingsAreAppliedAsTheKernelHoldsThem) {
  NEED_SOCAT();
  struct Row {
    TSerialSettings settings;
    int speed;
    int stopBits;
    bool rtscts;
    bool xonxoff;
  };
  const std::vector<Row> rows = {
      {{}, 9600, 1, false, false},
      {{115200, 8, TParidade::Nenhuma, 2, TControleFluxo::RtsCts}, 115200, 2, true, false},
      {{1200, 8, TParidade::Nenhuma, 1, TControleFluxo::XonXoff}, 1200, 1, false, true},
      {{2400, 8, TParidade::Nenhuma, 2, TControleFluxo::Nenhum}, 2400, 2, false, false},
      {{38400, 8, TParidade::Nenhuma, 1, TControleFluxo::RtsCts}, 38400, 1, true, false},
  };
  PtyPair pair;
  for (const Row& r : rows) {
    asio::io_context io;
    asio::serial_port port(io);
    ASSERT_EQ(OpenSerialLink(port, pair.a(), r.settings), TLinkFailure{}) << Describe(r.settings);
    const kvtest::TtySettings held = kvtest::ReadTtySettings(port.native_handle());
    EXPECT_EQ(held.speed, r.speed) << Describe(r.settings);
    EXPECT_EQ(held.dataBits, 8) << Describe(r.settings);
    EXPECT_EQ(held.parity, 'N') << Describe(r.settings);
    EXPECT_EQ(held.stopBits, r.stopBits) << Describe(r.settings);
    EXPECT_EQ(held.rtscts, r.rtscts) << Describe(r.settings);
    EXPECT_EQ(held.xonxoff, r.xonxoff) << Describe(r.settings);
    // No line editing, echo or CR/LF translation: ASTM and HL7 end records with CR.
    EXPECT_TRUE(held.raw) << Describe(r.settings);
  }
}

TEST(SerialLink, EachReasonToldApart) {
  NEED_SOCAT();
  kvtest::TempDir dir;
  kvtest::WriteFile(dir / "file", "not a port");
  PtyPair pair;
  struct Row {
    std::string what;
    std::string device;
    TSerialSettings settings;
    TLinkFailure expected;
  };
  const std::vector<Row> rows = {
      {"no such device", dir / "ttyUSB9", {}, {K::DeviceMissing, ""}},
      {"a device without a line", "/dev/null", {}, {K::NotSerialPort, ""}},
      {"a file", dir / "file", {}, {K::NotSerialPort, ""}},
      {"a folder", dir.path(), {}, {K::NotSerialPort, ""}},
      {"a speed no port knows", pair.a(), {12345, 8, TParidade::Nenhuma, 1, TControleFluxo::Nenhum},
       {K::SettingsRefused, "velocidade 12345"}},
      {"no speed", pair.a(), {0, 8, TParidade::Nenhuma, 1, TControleFluxo::Nenhum},
       {K::SettingsRefused, "velocidade 0"}},
      // A pseudo-terminal always keeps 8 data bits and no parity, as some
      // USB adapters keep their own values: read back, they are refused.
      {"7 data bits on a pty", pair.a(), {9600, 7, TParidade::Nenhuma, 1, TControleFluxo::Nenhum},
       {K::SettingsRefused, "bitsDados 7"}},
      {"parity on a pty", pair.a(), {9600, 8, TParidade::Par, 1, TControleFluxo::Nenhum},
       {K::SettingsRefused, "paridade par"}},
      {"odd parity on a pty", pair.a(), {9600, 8, TParidade::Impar, 1, TControleFluxo::Nenhum},
       {K::SettingsRefused, "paridade impar"}},
      {"9 data bits", pair.a(), {9600, 9, TParidade::Nenhuma, 1, TControleFluxo::Nenhum},
       {K::SettingsRefused, "bitsDados 9"}},
      {"3 stop bits", pair.a(), {9600, 8, TParidade::Nenhuma, 3, TControleFluxo::Nenhum},
       {K::SettingsRefused, "bitsParada 3"}},
  };
  for (const Row& r : rows) {
    asio::io_context io;
    asio::serial_port port(io);
    EXPECT_EQ(OpenSerialLink(port, r.device, r.settings), r.expected) << r.what;
    EXPECT_FALSE(port.is_open()) << r.what;  // refused settings leave the port closed, and unlocked
  }
  asio::io_context io;
  asio::serial_port port(io);
  EXPECT_EQ(OpenSerialLink(port, pair.a(), {}), TLinkFailure{}) << "after the refusals";
}

TEST(SerialLink, BusyWhileAnotherProgramHoldsThePort) {
  NEED_SOCAT();
  PtyPair pair;
  asio::io_context io;
  {
    // A terminal program (picocom and the like) holding the port with its lock.
    const int other = ::open(pair.a().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    asio::serial_port port(io);
    EXPECT_EQ(OpenSerialLink(port, pair.a(), {}), (TLinkFailure{K::Busy, ""}));
    ::close(other);
    EXPECT_EQ(OpenSerialLink(port, pair.a(), {}), TLinkFailure{}) << "once the other program let go";
  }
  // Two links configured on one port: the second is refused while the first holds it.
  asio::serial_port first(io);
  asio::serial_port second(io);
  ASSERT_EQ(OpenSerialLink(first, pair.a(), {}), TLinkFailure{});
  EXPECT_EQ(OpenSerialLink(second, pair.a(), {}), (TLinkFailure{K::Busy, ""}));
  first.close();
  EXPECT_EQ(OpenSerialLink(second, pair.a(), {}), TLinkFailure{});
}

TEST(SerialLink, PermissionDenied) {
  NEED_SOCAT();
  PtyPair pair;
  TLinkFailure got{K::Other, "not run"};
  if (::getuid() == 0) {
    // Root opens anything: a thread of its own drops to nobody (the raw
    // system calls change that thread alone) and tries there.
    std::thread nobody([&] {
      if (::syscall(SYS_setresgid, 65534, 65534, 65534) != 0 || ::syscall(SYS_setresuid, 65534, 65534, 65534) != 0)
        return;
      asio::io_context io;
      asio::serial_port port(io);
      got = OpenSerialLink(port, pair.a(), {});
    });
    nobody.join();
  } else {
    ASSERT_EQ(::chmod(pair.a().c_str(), 0), 0);
    asio::io_context io;
    asio::serial_port port(io);
    got = OpenSerialLink(port, pair.a(), {});
  }
  EXPECT_EQ(got, (TLinkFailure{K::PermissionDenied, ""}));
}

TEST(SerialLink, EveryByteBothWaysAsItIsWhateverTheSpeeds) {
  NEED_SOCAT();
  // The service's end and the analyzer's end disagree on speed, stop bits and
  // flow control: on a real line that garbles bytes; a pty has no line, so the
  // bytes arrive as they were sent. What a test here cannot show.
  const std::vector<TSerialSettings> ours = {
      {},
      {115200, 8, TParidade::Nenhuma, 2, TControleFluxo::Nenhum},
      {300, 8, TParidade::Nenhuma, 1, TControleFluxo::RtsCts},
  };
  const std::string all = AllBytes();
  for (const TSerialSettings& s : ours) {
    PtyPair pair;
    asio::io_context io;
    asio::serial_port port(io);
    ASSERT_EQ(OpenSerialLink(port, pair.a(), s), TLinkFailure{}) << Describe(s);
    std::unique_ptr<TLinkStream> link = MakeLinkStream(std::move(port));
    const int far = OpenFarEnd(pair.b());
    ASSERT_GE(far, 0);
    WriteLink(io, *link, all);
    EXPECT_EQ(kvtest::Repr(ReadFd(far, all.size())), kvtest::Repr(all)) << "to the analyzer, " << Describe(s);
    ASSERT_EQ(::write(far, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    EXPECT_EQ(kvtest::Repr(ReadLink(io, *link, all.size())), kvtest::Repr(all)) << "from the analyzer, " << Describe(s);
    ::close(far);
  }
}

TEST(SerialLink, XonXoffIsTheOneSettingAPtyActsOn) {
  NEED_SOCAT();
  PtyPair pair;
  asio::io_context io;
  asio::serial_port port(io);
  ASSERT_EQ(OpenSerialLink(port, pair.a(), {9600, 8, TParidade::Nenhuma, 1, TControleFluxo::XonXoff}), TLinkFailure{});
  std::unique_ptr<TLinkStream> link = MakeLinkStream(std::move(port));
  const int far = OpenFarEnd(pair.b());
  ASSERT_GE(far, 0);
  // DC1 (XON) and DC3 (XOFF) from the analyzer are flow control, never data.
  std::string expected = AllBytes();
  std::erase_if(expected, [](char c) { return c == '\x11' || c == '\x13'; });
  const std::string all = AllBytes();
  ASSERT_EQ(::write(far, all.data(), all.size()), static_cast<ssize_t>(all.size()));
  EXPECT_EQ(kvtest::Repr(ReadLink(io, *link, expected.size())), kvtest::Repr(expected));
  // The last of them was an XOFF: what we send waits until the analyzer's XON.
  bool written = false;
  link->AsyncWrite(asio::buffer("\x06", 1), [&](const std::error_code&, size_t) { written = true; });
  io.run_for(300ms);
  io.restart();
  EXPECT_EQ(ReadFd(far, 1, 10ms), "");
  ASSERT_EQ(::write(far, "\x11", 1), 1);
  EXPECT_TRUE(kvtest::WaitFor([&] {
    io.run_for(10ms);
    io.restart();
    return written;
  }));
  EXPECT_EQ(ReadFd(far, 1), "\x06");
  ::close(far);
}
