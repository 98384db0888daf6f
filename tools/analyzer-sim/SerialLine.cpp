#include "SerialLine.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace sim {

namespace {

bool SpeedCode(int bps, speed_t& code) {
  static const std::pair<int, speed_t> kSpeeds[] = {
      {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},     {4800, B4800},
      {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
      {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& [b, c] : kSpeeds)
    if (b == bps) {
      code = c;
      return true;
    }
  return false;
}

// The settings the line should hold; "" or what cannot be set.
std::string Compose(const TSerialSettings& s, termios& t) {
  speed_t speed{};
  if (!SpeedCode(s.velocidade, speed)) return "speed " + std::to_string(s.velocidade) + " is not a standard speed";
  ::cfmakeraw(&t);
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  if (s.bitsDados == 7) t.c_cflag |= CS7;
  else if (s.bitsDados == 8) t.c_cflag |= CS8;
  else return "data bits must be 7 or 8";
  t.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
  t.c_iflag |= IGNPAR;
  if (s.paridade != TParidade::Nenhuma) {
    t.c_cflag |= PARENB;
    if (s.paridade == TParidade::Impar) t.c_cflag |= PARODD;
    t.c_iflag &= ~IGNPAR;
    t.c_iflag |= INPCK;
  }
  if (s.bitsParada == 2) t.c_cflag |= CSTOPB;
  else if (s.bitsParada != 1) return "stop bits must be 1 or 2";
  if (s.controleFluxo == TControleFluxo::RtsCts) t.c_cflag |= CRTSCTS;
  if (s.controleFluxo == TControleFluxo::XonXoff) t.c_iflag |= IXON | IXOFF;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return "";
}

// What the port did not take of `wanted` ("" when it holds it all). A
// pseudo-terminal, for one, always keeps 8 data bits and no parity.
std::string Refused(const termios& wanted, const termios& held) {
  std::string refused;
  const auto check = [&](bool same, const char* what) {
    if (!same) refused += (refused.empty() ? "" : ", ") + std::string(what);
  };
  check(::cfgetospeed(&wanted) == ::cfgetospeed(&held), "speed");
  check((wanted.c_cflag & CSIZE) == (held.c_cflag & CSIZE), "data bits");
  check((wanted.c_cflag & (PARENB | PARODD)) == (held.c_cflag & (PARENB | PARODD)) &&
            (wanted.c_iflag & (INPCK | IGNPAR)) == (held.c_iflag & (INPCK | IGNPAR)),
        "parity");
  check((wanted.c_cflag & CSTOPB) == (held.c_cflag & CSTOPB), "stop bits");
  check((wanted.c_cflag & CRTSCTS) == (held.c_cflag & CRTSCTS) &&
            (wanted.c_iflag & (IXON | IXOFF)) == (held.c_iflag & (IXON | IXOFF)),
        "flow control");
  check((wanted.c_lflag & (ICANON | ECHO | ISIG)) == (held.c_lflag & (ICANON | ECHO | ISIG)) &&
            (wanted.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == (held.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) &&
            (wanted.c_oflag & OPOST) == (held.c_oflag & OPOST),
        "raw mode");
  return refused;
}

}  // namespace

Connection OpenSerialLine(const std::string& device, const TSerialSettings& settings,
                          std::chrono::milliseconds timeout) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    const std::string why = e == ENOENT   ? "no such device"
                            : e == EACCES ? "permission denied"
                            : e == EBUSY  ? "in use by another program"
                                          : std::strerror(e);
    throw SimError("cannot open " + device + ": " + why);
  }
  // The connection owns the descriptor from here: every throw below closes it.
  Connection line(fd, Connection::Kind::Terminal, timeout);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    throw SimError("cannot open " + device + ": in use by another program (locked)");
  termios t{};
  if (::tcgetattr(fd, &t) != 0) throw SimError("cannot open " + device + ": not a serial port");
  const std::string bad = Compose(settings, t);
  if (!bad.empty()) throw SimError("cannot set up " + device + ": " + bad);
  if (::tcsetattr(fd, TCSANOW, &t) != 0)
    throw SimError("cannot set up " + device + ": " + std::strerror(errno));
  termios held{};
  if (::tcgetattr(fd, &held) != 0) throw SimError("cannot set up " + device + ": " + std::strerror(errno));
  if (const std::string refused = Refused(t, held); !refused.empty())
    throw SimError("cannot set up " + device + " as " + Describe(settings) + ": the port keeps its own " + refused);
  return line;
}

}  // namespace sim
