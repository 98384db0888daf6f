#pragma once
#include <string>

#include <asio/serial_port.hpp>

#include "links/TLinkFailure.hpp"
#include "config/TSerialSettings.hpp"

// Opens a serial device for a link and sets its line: every setting is read
// back, so a port that keeps another value (a driver without hardware flow
// control, a speed it does not know) is refused naming the key and value
// ("velocidade 12345"). Failure kind None: the port is open and set.
TLinkFailure OpenSerialLink(asio::serial_port& port, const std::string& device, const TSerialSettings& settings);
