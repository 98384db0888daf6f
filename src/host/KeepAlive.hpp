#pragma once
#include <chrono>

#include <asio/ip/tcp.hpp>

// Lets the system notice a peer that vanished without closing the connection
// (a port server switched off, a cable pulled): after `idle` without traffic
// it probes every `interval`, and the connection fails after `count` probes
// without answer (Windows probes ten times). (KeepAlivePosix.cpp, KeepAliveWindows.cpp)
void SetKeepAlive(asio::ip::tcp::socket& socket, std::chrono::seconds idle, std::chrono::seconds interval, int count);
