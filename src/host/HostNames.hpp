#pragma once
#include <string>

#include <asio/ip/tcp.hpp>

// Reverse look-up of a peer's address; "" when it has no name. Blocking: call
// it off the service loop. (HostNamesPosix.cpp, HostNamesWindows.cpp)
std::string ReverseLookup(const asio::ip::tcp::endpoint& peer);
