#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include <asio/error.hpp>

#include "host/SerialDevice.hpp"

namespace {
TSerialOpenError Classify(const std::error_code& ec) {
  // Asio reports errno values in a category of its own, which maps few of
  // them to std::errc: compare the numbers.
  if (ec.category() != asio::error::get_system_category() && ec.category() != std::system_category())
    return TSerialOpenError::Other;
  switch (ec.value()) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return TSerialOpenError::Missing;
    case EACCES:
    case EPERM:
    case EROFS:
      return TSerialOpenError::Permission;
    case EBUSY:
      return TSerialOpenError::Busy;
    // A file, a folder, or a device without line settings.
    case ENOTTY:
    case EISDIR:
    case EINVAL:
      return TSerialOpenError::NotSerialPort;
    default:
      return TSerialOpenError::Other;
  }
}
}  // namespace

TSerialOpenResult OpenSerialDevice(asio::serial_port& port, const std::string& device) {
  std::error_code ec;
  port.open(device, ec);  // O_NONBLOCK | O_NOCTTY, raw, CLOCAL: no wait for a carrier
  if (ec) return {Classify(ec), ec};
  const int fd = port.native_handle();
  // The lock terminal programs (picocom and the like) take and honour: two
  // readers on one port would split its bytes between them.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int lockError = errno;
    std::error_code ignored;
    port.close(ignored);
    return {lockError == EWOULDBLOCK ? TSerialOpenError::Busy : TSerialOpenError::Other,
            std::error_code(lockError, std::system_category())};
  }
  // Exclusive mode keeps out programs that take no lock (unless privileged).
  ::ioctl(fd, TIOCEXCL);
  return {};
}
