#pragma once
#include <string>
#include <system_error>

#include "links/TLinkTarget.hpp"

// Why a link could not be opened, or why an open link ended. Each kind is
// one reason for the log and the status page; the reconnection policy logs a
// failure again only when its reason changes.
enum class TLinkFailureKind {
  None,
  // Opening a serial device.
  DeviceMissing,     // no such device (an adapter unplugged, a wrong name)
  PermissionDenied,  // the service's user may not open it
  Busy,              // another program holds the port
  NotSerialPort,     // the name is not a serial port
  SettingsRefused,   // the port did not take a line setting (detail: which)
  // An open serial device.
  DeviceLost,        // unplugged or failed while open
  // Connecting to a port server.
  NameUnknown,       // the host name does not resolve
  Refused,           // nothing listens on that port (or the port server refuses)
  Unreachable,       // no route to the host or its network
  NoAnswer,          // no answer in time
  // An open connection.
  Reset,             // reset on the way or by the port server
  ClosedByPeer,      // the port server closed the connection
  Other,             // anything else (detail: what the system said)
};

struct TLinkFailure {
  TLinkFailureKind kind = TLinkFailureKind::None;
  std::string detail;

  bool operator==(const TLinkFailure&) const = default;
};

// The reason as the log gives it (Windows-1252), e.g. "dispositivo inexistente".
std::string Describe(const TLinkFailure& failure);

// Connecting to a port server failed with ec (the name look-up or the connect).
TLinkFailure ConnectFailure(const std::error_code& ec);
// An open link ended with ec: what the read or write that found it answered
// (eof when the device or the port server ended it).
TLinkFailure LostFailure(TLinkTarget::TKind kind, const std::error_code& ec);
