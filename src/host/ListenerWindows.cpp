#include "host/Listener.hpp"

#include <winsock2.h>

void OpenListeningSocket(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint) {
  acceptor.open(endpoint.protocol());
  // On Windows SO_REUSEADDR would let a second process take the same port;
  // exclusive use makes a taken port fail, and TIME_WAIT does not block a rebind there.
  using Exclusive = asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
  acceptor.set_option(Exclusive(true));
  acceptor.bind(endpoint);
  acceptor.listen(asio::socket_base::max_listen_connections);
}
