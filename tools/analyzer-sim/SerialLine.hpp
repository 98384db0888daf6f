#pragma once
#include <chrono>
#include <string>

#include "Connection.hpp"
#include "config/TSerialSettings.hpp"

namespace sim {

// Opens a serial device as the analyzer's end of the line: raw bytes (no line
// editing, no CR/LF translation), modem lines ignored, the port locked as
// terminal programs do, and the settings read back. Throws SimError naming the
// device and the reason (missing, permission, busy, a setting refused).
Connection OpenSerialLine(const std::string& device, const TSerialSettings& settings,
                          std::chrono::milliseconds timeout);

}  // namespace sim
