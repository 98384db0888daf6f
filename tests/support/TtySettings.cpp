#include "support/TtySettings.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <utility>

namespace kvtest {

namespace {
int Speed(speed_t s) {
  static const std::pair<speed_t, int> kSpeeds[] = {
      {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
      {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
      {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
      {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  for (const auto& [code, bps] : kSpeeds)
    if (code == s) return bps;
  return 0;
}
}  // namespace

std::string TtySettings::Short() const {
  return std::to_string(speed) + " " + std::to_string(dataBits) + parity + std::to_string(stopBits);
}

TtySettings ReadTtySettings(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) throw std::runtime_error(std::string("tcgetattr: ") + std::strerror(errno));
  TtySettings s;
  s.speed = Speed(::cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: s.dataBits = 5; break;
    case CS6: s.dataBits = 6; break;
    case CS7: s.dataBits = 7; break;
    default: s.dataBits = 8; break;
  }
  s.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 'O' : 'E') : 'N';
  s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
  s.rtscts = (t.c_cflag & CRTSCTS) != 0;
  s.xonxoff = (t.c_iflag & IXON) && (t.c_iflag & IXOFF);
  s.raw = !(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) &&
          !(t.c_oflag & OPOST);
  s.parityChecked = (t.c_iflag & INPCK) != 0;
  return s;
}

TtySettings ReadTtySettings(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  try {
    TtySettings s = ReadTtySettings(fd);
    ::close(fd);
    return s;
  } catch (...) {
    ::close(fd);
    throw;
  }
}

}  // namespace kvtest
