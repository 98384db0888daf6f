#include "support/TcpProxy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace kvtest {

struct TcpProxy::Link {
  int client = -1;
  int server = -1;
  std::atomic<bool> closed{false};
  void Close() {
    if (closed.exchange(true)) return;
    ::shutdown(client, SHUT_RDWR);
    ::shutdown(server, SHUT_RDWR);
  }
  ~Link() {
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
  }
};

namespace {
int ConnectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}
}  // namespace

TcpProxy::TcpProxy(int targetPort) : targetPort_(targetPort) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 64) != 0)
    throw std::runtime_error("proxy: cannot listen");
  socklen_t len = sizeof a;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

TcpProxy::~TcpProxy() {
  stop_ = true;
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptor_.join();
  ::close(listenFd_);
  CutAll();
  for (auto& t : threads_) t.join();
}

void TcpProxy::Set(Mode mode, std::chrono::milliseconds delay) {
  delayMs_ = delay.count();
  mode_ = mode;
}

void TcpProxy::CutAll() {
  std::lock_guard<std::mutex> lock(m_);
  for (auto& link : links_) link->Close();
}

void TcpProxy::AcceptLoop() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int client = ::accept(listenFd_, nullptr, nullptr);
    if (client < 0) continue;
    const int server = ConnectTo(targetPort_);
    if (server < 0) {
      ::close(client);
      continue;
    }
    ++accepted_;
    auto link = std::make_shared<Link>();
    link->client = client;
    link->server = server;
    std::lock_guard<std::mutex> lock(m_);
    links_.push_back(link);
    threads_.emplace_back([this, link] { Pump(link, true); });
    threads_.emplace_back([this, link] { Pump(link, false); });
  }
}

void TcpProxy::Pump(const std::shared_ptr<Link>& link, bool toServer) {
  const int from = toServer ? link->client : link->server;
  const int to = toServer ? link->server : link->client;
  char buffer[16384];
  while (!stop_ && !link->closed) {
    pollfd p{from, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    const Mode mode = mode_;
    if (mode == Mode::Swallow) continue;  // read, and gone
    if (mode == Mode::Delay) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_.load()));
    for (ssize_t sent = 0; sent < n;) {
      const ssize_t k = ::send(to, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
      if (k <= 0) {
        link->Close();
        return;
      }
      sent += k;
    }
  }
  link->Close();
}

}  // namespace kvtest
