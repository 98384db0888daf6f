// The listening-socket seam on real TCP: a restarted service gets its port
// back although the last run's connections linger, and a port that another
// listener holds is refused.
#include <gtest/gtest.h>

#include <system_error>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>

#include "host/Listener.hpp"

using asio::ip::tcp;

namespace {

TEST(Listener, APortInUseIsRefused) {
  asio::io_context io;
  tcp::acceptor first(io);
  OpenListeningSocket(first, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  const tcp::endpoint taken = first.local_endpoint();
  tcp::acceptor second(io);
  EXPECT_THROW(OpenListeningSocket(second, taken), std::system_error);
}

TEST(Listener, TheSamePortAgainWhileTheLastConnectionLingers) {
  asio::io_context io;
  tcp::endpoint endpoint;
  {
    tcp::acceptor listener(io);
    OpenListeningSocket(listener, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    endpoint = listener.local_endpoint();
    tcp::socket peer(io);
    peer.connect(endpoint);
    tcp::socket served = listener.accept();
    // The service closes first: its side of the connection waits in TIME_WAIT.
    served.close();
    char byte;
    std::error_code ec;
    asio::read(peer, asio::buffer(&byte, 1), ec);
    EXPECT_EQ(ec, asio::error::eof);
  }
  tcp::acceptor again(io);
  EXPECT_NO_THROW(OpenListeningSocket(again, endpoint));
  EXPECT_EQ(again.local_endpoint().port(), endpoint.port());
}

}  // namespace
