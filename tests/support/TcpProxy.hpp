#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kvtest {

// A TCP proxy on 127.0.0.1 in front of a server (the LIS's Firebird server in
// the fault tests) that passes, delays or swallows the traffic, and can cut
// every connection as a server restart does.
class TcpProxy {
 public:
  enum class Mode {
    Pass,     // bytes go through at once
    Delay,    // every chunk waits `delay` before it goes on
    Swallow,  // bytes are read and never passed on: a hung server or a half-open path
  };

  explicit TcpProxy(int targetPort);
  ~TcpProxy();  // cuts everything and ends its threads
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  int port() const { return port_; }
  void Set(Mode mode, std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  // Closes every open connection (new ones are still accepted).
  void CutAll();
  // Connections accepted so far.
  int Accepted() const { return accepted_; }

 private:
  struct Link;
  void AcceptLoop();
  void Pump(const std::shared_ptr<Link>& link, bool toServer);

  int targetPort_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<Mode> mode_{Mode::Pass};
  std::atomic<long long> delayMs_{0};
  std::atomic<int> accepted_{0};
  std::mutex m_;
  std::vector<std::shared_ptr<Link>> links_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace kvtest
