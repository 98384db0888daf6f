#include <netdb.h>
#include <sys/socket.h>

#include "host/HostNames.hpp"

std::string ReverseLookup(const asio::ip::tcp::endpoint& peer) {
  char host[NI_MAXHOST] = {};
  const int rc = ::getnameinfo(peer.data(), static_cast<socklen_t>(peer.size()), host, sizeof host,
                               nullptr, 0, NI_NAMEREQD);
  return rc == 0 ? std::string(host) : std::string();
}
