#include "service/TStatusHttp.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <httplib.h>

#include "service/StatusRender.hpp"

namespace {

// Compares in time that does not depend on where the texts differ.
bool SameToken(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

TStatusHttp::TStatusHttp(const TStatusBoard& board, std::string token)
    : board_(board), token_(std::move(token)), server_(std::make_unique<httplib::Server>()) {
  // Slow clients are dropped quickly; a handful of threads serve the rest.
  server_->set_read_timeout(5, 0);
  server_->set_write_timeout(5, 0);
  server_->set_keep_alive_max_count(20);
  server_->new_task_queue = [] { return new httplib::ThreadPool(4); };
  // The library's default adds SO_REUSEPORT, which would let a second process
  // share the port unnoticed; a taken port must fail.
  server_->set_socket_options([](int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  Routes();
}

TStatusHttp::~TStatusHttp() {
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

void TStatusHttp::Routes() {
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (token_.empty()) return httplib::Server::HandlerResponse::Unhandled;
    const std::string bearer = "Bearer ";
    const std::string auth = req.get_header_value("Authorization");
    const bool ok = (auth.compare(0, bearer.size(), bearer) == 0 && SameToken(auth.substr(bearer.size()), token_)) ||
                    (req.has_param("token") && SameToken(req.get_param_value("token"), token_));
    if (ok) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 401;
    res.set_header("WWW-Authenticate", "Bearer");
    res.set_content("token ausente ou inv\xC3\xA1lido\n", "text/plain; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  });
  auto unavailable = [](httplib::Response& res) {
    res.status = 503;
    res.set_content("iniciando\n", "text/plain; charset=utf-8");
  };
  server_->Get("/", [this, unavailable](const httplib::Request&, httplib::Response& res) {
    const auto s = board_.Current();
    if (!s) return unavailable(res);
    res.set_header("Cache-Control", "no-store");
    res.set_content(RenderStatusPage(*s), "text/html; charset=utf-8");
  });
  server_->Get("/health", [this, unavailable](const httplib::Request&, httplib::Response& res) {
    const auto s = board_.Current();
    if (!s) return unavailable(res);
    const THealth h = EvaluateHealth(*s);
    res.status = h.HttpStatus();
    res.set_header("Cache-Control", "no-store");
    res.set_content(RenderHealthJson(h), "application/json");
  });
  server_->Get("/metrics", [this, unavailable](const httplib::Request&, httplib::Response& res) {
    const auto s = board_.Current();
    if (!s) return unavailable(res);
    res.set_content(RenderMetrics(*s), "text/plain; version=0.0.4; charset=utf-8");
  });
}

bool TStatusHttp::Start(const std::string& address, int port, std::string* error) {
  errno = 0;
  if (!server_->bind_to_port(address, port)) {
    if (error) *error = errno ? std::strerror(errno) : "bind failed";
    return false;
  }
  port_ = port;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // A stop that came before the server runs would be missed and the join
  // would hang: Start returns once it runs (or has ended).
  for (int i = 0; i < 2000 && !server_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}
