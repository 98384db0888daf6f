#include "host/Listener.hpp"

void OpenListeningSocket(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint) {
  acceptor.open(endpoint.protocol());
  // Lets a restarted service bind while old connections linger in TIME_WAIT;
  // a port another process listens on still fails.
  acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
  acceptor.bind(endpoint);
  acceptor.listen(asio::socket_base::max_listen_connections);
}
