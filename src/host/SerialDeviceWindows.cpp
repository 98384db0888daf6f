#include "host/SerialDevice.hpp"

#include <asio/error.hpp>

#include <windows.h>

namespace {
TSerialOpenError Classify(const std::error_code& ec) {
  // Asio reports Windows error numbers in a category of its own.
  if (ec.category() != asio::error::get_system_category() && ec.category() != std::system_category())
    return TSerialOpenError::Other;
  switch (ec.value()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DEV_NOT_EXIST:
      return TSerialOpenError::Missing;
    // A COM port is opened by one program at a time: another one holding it
    // answers "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return TSerialOpenError::Busy;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_PARAMETER:
      return TSerialOpenError::NotSerialPort;
    default:
      return TSerialOpenError::Other;
  }
}
}  // namespace

TSerialOpenResult OpenSerialDevice(asio::serial_port& port, const std::string& device) {
  // "COM3" becomes \\.\COM3, so COM10 and above open too; the port is
  // exclusive by nature and opened raw (binary mode, no translation).
  std::error_code ec;
  port.open(device, ec);
  if (ec) return {Classify(ec), ec};
  return {};
}
