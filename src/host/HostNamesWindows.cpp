#include <winsock2.h>
#include <ws2tcpip.h>

#include "host/HostNames.hpp"

// Winsock is started by Asio before any connection exists.
std::string ReverseLookup(const asio::ip::tcp::endpoint& peer) {
  char host[NI_MAXHOST] = {};
  const int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(peer.data()), static_cast<socklen_t>(peer.size()),
                               host, sizeof host, nullptr, 0, NI_NAMEREQD);
  return rc == 0 ? std::string(host) : std::string();
}
