#include "PortServer.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

PortServer::PortServer(const std::string& address, int port, std::chrono::milliseconds timeout) : timeout_(timeout) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0) throw SimError("cannot listen on " + address + ": " + gai_strerror(rc));
  std::string lastError = "no address";
  for (addrinfo* ai = list; ai != nullptr && fd_ < 0; ai = ai->ai_next) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 4) != 0) {
      lastError = std::strerror(errno);
      ::close(fd);
      continue;
    }
    fd_ = fd;
  }
  ::freeaddrinfo(list);
  if (fd_ < 0) throw SimError("cannot listen on " + address + ":" + std::to_string(port) + ": " + lastError);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

PortServer::~PortServer() {
  if (fd_ >= 0) ::close(fd_);
}

Connection PortServer::Accept(Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, left < 0 ? 0 : static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) throw SimError("the host did not connect to port " + std::to_string(port_) + " in time");
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;  // gone before it was taken; wait for the next
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char host[NI_MAXHOST] = "?";
    char service[NI_MAXSERV] = "?";
    ::getnameinfo(reinterpret_cast<sockaddr*>(&from), len, host, sizeof host, service, sizeof service,
                  NI_NUMERICHOST | NI_NUMERICSERV);
    peer_ = std::string(host) + ":" + service;
    return Connection(fd, Connection::Kind::Socket, timeout_);
  }
}

}  // namespace sim
