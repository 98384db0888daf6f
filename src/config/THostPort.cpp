#include "config/THostPort.hpp"

#include <algorithm>
#include <cctype>

std::optional<THostPort> ParseHostPort(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  std::string host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (!host.empty() && host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  } else if (host.find_first_of(":[]") != std::string::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets to tell the port apart
  }
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  const auto digit = [](unsigned char c) { return std::isdigit(c) != 0; };
  if (host.empty() || std::any_of(host.begin(), host.end(), blank)) return std::nullopt;
  if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), digit)) return std::nullopt;
  const int number = std::stoi(port);
  if (number < 1 || number > 65535) return std::nullopt;
  return THostPort{host, static_cast<uint16_t>(number)};
}
