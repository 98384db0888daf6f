#pragma once
#include <cstdint>
#include <optional>
#include <string>

// "host:porta" as the key conectarEm gives it.
struct THostPort {
  std::string host;  // a name or an address (an IPv6 address without its brackets)
  uint16_t port = 0;

  bool operator==(const THostPort&) const = default;
};

// "host:porta", or "[address]:porta" for an IPv6 address; nullopt when the
// text is not of that form or the port is not 1 to 65535.
std::optional<THostPort> ParseHostPort(const std::string& text);
