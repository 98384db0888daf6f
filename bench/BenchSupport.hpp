#pragma once
// Socket and service helpers shared by the benchmark programs. Header-only:
// every bench/*.cpp is a program of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "protocol/Astm.hpp"
#include "protocol/Controls.hpp"

namespace bench {

// A port that was free a moment ago on 127.0.0.1.
inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// A connection to 127.0.0.1:port, or -1; noDelay sends every small write at once.
inline int Connect(int port, bool noDelay = false) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  if (noDelay) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

// A copy of the service executable `exe` in a fresh temporary folder, with a
// free port. Start() runs it; the end of scope stops it and removes the folder.
class ServiceCopy {
 public:
  explicit ServiceCopy(const std::string& exe) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kvbench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    folder_ = tmpl;
    port_ = FreePort();
    std::error_code ec;
    std::filesystem::copy_file(exe, folder_ + "/kv_redurozozi", ec);
    if (ec) {
      std::filesystem::remove_all(folder_, ec);
      throw std::runtime_error("no service executable at " + exe);
    }
  }
  ~ServiceCopy() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  ServiceCopy(const ServiceCopy&) = delete;
  ServiceCopy& operator=(const ServiceCopy&) = delete;

  const std::string& folder() const { return folder_; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // Writes kv_redurozozi.json (text that uses port() and folder()) and runs the copy.
  void Start(const std::string& config) {
    std::ofstream(folder_ + "/kv_redurozozi.json") << config;
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      const std::string path = folder_ + "/kv_redurozozi";
      ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }

  // A connection once the service listens; throws when it does not within the timeout.
  int ConnectWhenListening(std::chrono::milliseconds timeout, bool noDelay = false) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const int fd = Connect(port_, noDelay);
      if (fd >= 0) return fd;
      if (std::chrono::steady_clock::now() >= deadline) throw std::runtime_error("the service did not start listening");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // SIGTERM and wait: the exit status, or -1 when it did not exit normally (or never ran).
  int Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  std::string folder_;
  int port_ = 0;
  pid_t pid_ = -1;
};

inline void Send(int fd, const std::string& s) {
  if (::send(fd, s.data(), s.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(s.size()))
    throw std::runtime_error("send failed");
}

// Reads until the received text ends with `tail`.
inline std::string ReadUntilTail(int fd, const std::string& tail) {
  std::string got;
  char buf[4096];
  while (got.size() < tail.size() || got.compare(got.size() - tail.size(), tail.size(), tail) != 0) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) throw std::runtime_error("connection closed");
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// An E1381 frame of one record.
inline std::string AstmFrame(int n, const std::string& rec) {
  std::string body = std::to_string(n) + rec + "\r" + ETX;
  return STX + body + astm::GetCheckSumASTM(body) + "\r\n";
}

// One ASTM host query of the Indiko (model "1") for the demo order
// 2240801237, in E1381 frames, its reply read to the end and checked;
// answers the milliseconds from the EOT to the first reply byte.
inline double FoundAstmQuery(int fd) {
  const std::string ackLine = "\x06\r\n";
  Send(fd, std::string(1, ENQ));
  ReadUntilTail(fd, ackLine);
  Send(fd, AstmFrame(1, "H|\\^&|||1^Analyzer 1^7.0|||||||P||20240804232655"));
  ReadUntilTail(fd, ackLine);
  Send(fd, AstmFrame(2, "Q|1|^2240801237^^||^^^ALL^||||||||O"));
  ReadUntilTail(fd, ackLine);
  Send(fd, AstmFrame(3, "L|1|N"));
  ReadUntilTail(fd, ackLine);
  const auto t0 = std::chrono::steady_clock::now();
  Send(fd, std::string(1, EOT));
  char first = 0;
  if (::recv(fd, &first, 1, 0) != 1) throw std::runtime_error("no reply");
  const auto t1 = std::chrono::steady_clock::now();
  if (first != ENQ) throw std::runtime_error("reply does not begin with ENQ");
  ReadUntilTail(fd, "\r\n");
  std::string frames;
  for (int i = 0; i < 5; ++i) {
    Send(fd, std::string(1, ACK));
    frames += ReadUntilTail(fd, "\r\n");
  }
  if (frames.find("P|1|||3|") == std::string::npos) throw std::runtime_error("order not found in the reply");
  return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

}  // namespace bench
