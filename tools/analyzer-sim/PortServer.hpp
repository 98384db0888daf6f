#pragma once
#include <chrono>
#include <string>

#include "Connection.hpp"

namespace sim {

// Plays a port server (a serial device server) in TCP-server mode: it listens
// and the host connects to it; then the analyzer's session runs over that
// connection. Port 0 takes any free port.
class PortServer {
 public:
  // Throws SimError when the address cannot be listened on.
  PortServer(const std::string& address, int port, std::chrono::milliseconds timeout);
  ~PortServer();
  PortServer(const PortServer&) = delete;
  PortServer& operator=(const PortServer&) = delete;

  int port() const { return port_; }
  // Waits until the deadline for the host to connect; throws SimError when it does not.
  Connection Accept(Clock::time_point deadline);
  // "address:port" of the last host that connected.
  const std::string& peer() const { return peer_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::chrono::milliseconds timeout_;
  std::string peer_;
};

}  // namespace sim
