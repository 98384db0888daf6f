#pragma once
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// The least a host can do: ACK for every ENQ and ASTM frame, a fixed found
// order after an ASTM query's EOT (sent one item per ACK), ACK^R01 for every
// HL7 message and a fixed QCK^Q02 + DSR^Q03 for every QRY^Q02. Runs the load
// against it to show what the load generator itself can drive.
namespace loadgen {

class NullServer {
 public:
  NullServer();  // listens on 127.0.0.1, a port the system picks
  ~NullServer();
  NullServer(const NullServer&) = delete;
  NullServer& operator=(const NullServer&) = delete;
  int port() const { return port_; }

 private:
  void AcceptLoop();
  void Serve(int fd);

  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<int> clients_;
  std::vector<std::thread> workers_;
};

}  // namespace loadgen
