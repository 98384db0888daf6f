#pragma once
#include <chrono>
#include <stdexcept>
#include <string>

namespace sim {

// A failure that ends the run: one line for the operator, exit status 2.
class SimError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Clock = std::chrono::steady_clock;

// The analyzer's end of its link to the host, with deadlines on every wait;
// never blocks past the deadline it is given. The link is a TCP connection to
// the host, one the host made to us (PortServer), or a serial line (SerialLine).
class Connection {
 public:
  // Connects to the host. Throws SimError when it cannot be resolved, refuses
  // or does not answer in time. The same timeout bounds every send.
  Connection(const std::string& host, int port, std::chrono::milliseconds timeout);
  // Takes an open descriptor: a socket (sent to with send()) or a terminal.
  enum class Kind { Socket, Terminal };
  Connection(int fd, Kind kind, std::chrono::milliseconds timeout);
  ~Connection();
  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends all bytes (one write; TCP_NODELAY so each call leaves at once).
  void Send(const std::string& bytes);

  enum class Got { Data, Timeout, Closed };
  // Appends whatever arrives before the deadline to buffer; `chunk` gets the new bytes.
  Got Receive(std::string& buffer, std::string& chunk, Clock::time_point deadline);

  // Ends the link now, as a port server dropping its connection does: closed
  // (FIN), or with reset (RST) when asked. The connection is unusable after it.
  void Drop(bool reset = false);

 private:
  void Release();

  int fd_ = -1;
  Kind kind_ = Kind::Socket;
  std::chrono::milliseconds timeout_;
};

}  // namespace sim
