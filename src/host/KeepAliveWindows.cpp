#include <winsock2.h>
#include <mstcpip.h>

#include "host/KeepAlive.hpp"

void SetKeepAlive(asio::ip::tcp::socket& socket, std::chrono::seconds idle, std::chrono::seconds interval, int) {
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = static_cast<ULONG>(std::chrono::milliseconds(idle).count());
  values.keepaliveinterval = static_cast<ULONG>(std::chrono::milliseconds(interval).count());
  DWORD returned = 0;
  ::WSAIoctl(socket.native_handle(), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
             nullptr);
}
