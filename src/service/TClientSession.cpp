#include "service/TClientSession.hpp"

#include <utility>

TClientSession::TClientSession(asio::ip::tcp::socket pSocket)
    : socket(std::move(pSocket)), replyTimer(socket.get_executor()) {}
