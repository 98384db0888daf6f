#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "config/TSerialSettings.hpp"

// A link the service opens itself: a serial device with its line settings
// (the analyzer key portaSerial), or a port server in TCP-server mode that it
// connects to (the key conectarEm).
struct TLinkTarget {
  enum class TKind { Serial, Tcp };
  TKind kind = TKind::Serial;
  std::string device;         // "/dev/ttyUSB0", "COM3"
  TSerialSettings settings;
  std::string host;           // the port server's name or address
  uint16_t port = 0;

  // What the log and the status page call the link: "serial:/dev/ttyUSB0",
  // or the port server's "host:porta".
  std::string Name() const;
  bool operator==(const TLinkTarget&) const = default;
};

TLinkTarget SerialTarget(const std::string& device, const TSerialSettings& settings);
// "host:porta", or "[address]:porta" for an IPv6 address; nullopt when the
// text is not of that form or the port is not 1 to 65535.
std::optional<TLinkTarget> TcpTarget(const std::string& conectarEm);
