#include "links/TLinkTarget.hpp"

#include "config/THostPort.hpp"

std::string TLinkTarget::Name() const {
  if (kind == TKind::Serial) return "serial:" + device;
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

TLinkTarget SerialTarget(const std::string& device, const TSerialSettings& settings) {
  TLinkTarget t;
  t.kind = TLinkTarget::TKind::Serial;
  t.device = device;
  t.settings = settings;
  return t;
}

std::optional<TLinkTarget> TcpTarget(const std::string& conectarEm) {
  const std::optional<THostPort> hostPort = ParseHostPort(conectarEm);
  if (!hostPort) return std::nullopt;
  TLinkTarget t;
  t.kind = TLinkTarget::TKind::Tcp;
  t.host = hostPort->host;
  t.port = hostPort->port;
  return t;
}
