#pragma once
#include <string>
#include <system_error>

#include <asio/serial_port.hpp>

// Why a serial device could not be opened, as the host tells it.
enum class TSerialOpenError { None, Missing, Permission, Busy, NotSerialPort, Other };

struct TSerialOpenResult {
  TSerialOpenError error = TSerialOpenError::None;
  std::error_code ec;  // what the system answered
};

// Opens a serial device ("/dev/ttyUSB0", "COM3") for this process alone: raw
// bytes (no line editing, no CR/LF translation), the modem lines ignored, and
// the port locked so that another program asking for it is refused rather
// than sharing its bytes. The line is 8N1 until the caller sets it.
// (SerialDevicePosix.cpp, SerialDeviceWindows.cpp)
TSerialOpenResult OpenSerialDevice(asio::serial_port& port, const std::string& device);
