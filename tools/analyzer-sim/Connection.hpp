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

// A TCP connection to the host with deadlines on every wait; never blocks
// past the deadline it is given.
class Connection {
 public:
  // Throws SimError when the host cannot be resolved, refuses or does not answer in time.
  // The same timeout bounds every send.
  Connection(const std::string& host, int port, std::chrono::milliseconds timeout);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends all bytes (one write; TCP_NODELAY so each call leaves at once).
  void Send(const std::string& bytes);

  enum class Got { Data, Timeout, Closed };
  // Appends whatever arrives before the deadline to buffer; `chunk` gets the new bytes.
  Got Receive(std::string& buffer, std::string& chunk, Clock::time_point deadline);

 private:
  int fd_ = -1;
  std::chrono::milliseconds timeout_;
};

}  // namespace sim
