#include "Connection.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace sim {

namespace {
int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::string Where(const std::string& host, int port) { return host + ":" + std::to_string(port); }
}  // namespace

Connection::Connection(const std::string& host, int port, std::chrono::milliseconds timeout)
    : timeout_(timeout) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0) throw SimError("cannot resolve host " + host + ": " + gai_strerror(rc));
  const Clock::time_point deadline = Clock::now() + timeout;
  std::string lastError = "no address";
  for (addrinfo* ai = list; ai != nullptr && fd_ < 0; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int r = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      r = ::poll(&p, 1, RemainingMs(deadline));
      if (r == 0) {
        lastError = "no answer within " + std::to_string(timeout.count() / 1000) + " s";
        ::close(fd);
        continue;
      }
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      r = err == 0 ? 0 : -1;
      errno = err;
    }
    if (r != 0) {
      lastError = std::strerror(errno);
      ::close(fd);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = fd;
  }
  ::freeaddrinfo(list);
  if (fd_ < 0) throw SimError("cannot connect to " + Where(host, port) + ": " + lastError);
}

Connection::Connection(int fd, Kind kind, std::chrono::milliseconds timeout)
    : fd_(fd), kind_(kind), timeout_(timeout) {}

Connection::~Connection() { Release(); }

Connection::Connection(Connection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), kind_(other.kind_), timeout_(other.timeout_) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    kind_ = other.kind_;
    timeout_ = other.timeout_;
  }
  return *this;
}

void Connection::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Connection::Drop(bool reset) {
  if (fd_ >= 0 && kind_ == Kind::Socket && reset) {
    // A zero linger time makes the close send RST instead of FIN.
    const linger now{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  }
  Release();
}

void Connection::Send(const std::string& bytes) {
  if (fd_ < 0) throw SimError("send failed: the connection was dropped");
  size_t sent = 0;
  const Clock::time_point deadline = Clock::now() + timeout_;
  while (sent < bytes.size()) {
    const ssize_t n = kind_ == Kind::Socket ? ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL)
                                            : ::write(fd_, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, RemainingMs(deadline)) <= 0) throw SimError("host does not take data (send timed out)");
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    throw SimError(std::string("send failed: ") + std::strerror(errno));
  }
}

Connection::Got Connection::Receive(std::string& buffer, std::string& chunk,
                                    Clock::time_point deadline) {
  chunk.clear();
  if (fd_ < 0) return Got::Closed;
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, RemainingMs(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return Got::Timeout;
    char buf[4096];
    const ssize_t n = kind_ == Kind::Socket ? ::recv(fd_, buf, sizeof buf, 0) : ::read(fd_, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    // A terminal whose device went away reads as ended or fails with EIO.
    if (n <= 0) return Got::Closed;
    chunk.assign(buf, static_cast<size_t>(n));
    buffer += chunk;
    return Got::Data;
  }
}

}  // namespace sim
