#pragma once
#include <memory>
#include <string>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "status/TStatusSnapshot.hpp"

// One HTTP answer of the status server.
struct THttpReply {
  int status = 200;
  std::string contentType;
  std::string body;
  bool challenge = false;  // 401: asks for a bearer token
};

// The answer to "GET target" (target with its query string) given the
// Authorization header, the token the server requires ("" for none) and the
// snapshot of the moment (none while the service is starting).
THttpReply StatusHttpAnswer(const std::string& method, const std::string& target, const std::string& authorization,
                            const std::string& token, const TStatusSnapshot* snapshot);

// The HTTP server of the status page, /health and /metrics: Asio on a thread
// and an event loop of its own. It reads nothing but the published snapshots,
// and every connection has a deadline and a size limit, so a slow or hostile
// HTTP client never holds up the service thread or the other HTTP clients.
class TStatusHttp {
 public:
  // token: required as "Authorization: Bearer" or "?token=" when not empty.
  TStatusHttp(const TStatusBoard& board, std::string token);
  ~TStatusHttp();  // stops the server and joins its thread
  TStatusHttp(const TStatusHttp&) = delete;
  TStatusHttp& operator=(const TStatusHttp&) = delete;

  // Binds and starts serving; false with the reason in *error when the port cannot be opened.
  bool Start(const std::string& address, int port, std::string* error);
  int Port() const { return port_; }

 private:
  class Connection;
  void Accept();

  const TStatusBoard& board_;
  std::string token_;
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer acceptRetry_;  // after a failed accept (no descriptor left)
  std::thread thread_;
  int port_ = 0;
};
