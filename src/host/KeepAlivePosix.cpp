#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "host/KeepAlive.hpp"

void SetKeepAlive(asio::ip::tcp::socket& socket, std::chrono::seconds idle, std::chrono::seconds interval, int count) {
  std::error_code ignored;
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  const int fd = socket.native_handle();
  const int idleSeconds = static_cast<int>(idle.count());
  const int intervalSeconds = static_cast<int>(interval.count());
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}
