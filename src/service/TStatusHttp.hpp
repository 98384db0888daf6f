#pragma once
#include <memory>
#include <string>
#include <thread>

#include "service/TStatusSnapshot.hpp"

namespace httplib {
class Server;
}

// The HTTP server of the status page, /health and /metrics, on a thread of
// its own. It reads nothing but the published snapshots, so a slow or
// hostile HTTP client never holds up the service thread.
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
  void Routes();

  const TStatusBoard& board_;
  std::string token_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};
