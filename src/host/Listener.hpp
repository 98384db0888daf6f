#pragma once
#include <asio/ip/tcp.hpp>

// Opens, binds and starts a listening socket the way the host needs for a
// port that must be ours alone: a restarted service gets its port back at
// once, and a port another process listens on fails (std::system_error).
// (ListenerPosix.cpp, ListenerWindows.cpp)
void OpenListeningSocket(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint);
