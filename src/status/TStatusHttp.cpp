#include "status/TStatusHttp.hpp"

#include <array>
#include <cctype>
#include <chrono>
#include <system_error>

#include <asio/write.hpp>

#include "host/Listener.hpp"
#include "status/StatusRender.hpp"

namespace {

// A request head larger than this, or slower than the deadline, is dropped.
constexpr size_t MAX_REQUEST = 8192;
constexpr auto DEADLINE = std::chrono::seconds(5);

// Compares in time that does not depend on where the texts differ.
bool SameToken(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string UrlDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && Hex(s[i + 1]) >= 0 && Hex(s[i + 2]) >= 0) {
      out += static_cast<char>(Hex(s[i + 1]) * 16 + Hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The value of `name` in a query string; none when it is not there.
bool QueryParam(const std::string& query, const std::string& name, std::string* value) {
  size_t from = 0;
  while (from <= query.size()) {
    const size_t end = std::min(query.find('&', from), query.size());
    const std::string pair = query.substr(from, end - from);
    const size_t eq = pair.find('=');
    if (UrlDecode(pair.substr(0, eq)) == name) {
      *value = eq == std::string::npos ? std::string() : UrlDecode(pair.substr(eq + 1));
      return true;
    }
    from = end + 1;
  }
  return false;
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

THttpReply Text(int status, const std::string& text) { return {status, "text/plain; charset=utf-8", text}; }

// The value of a header in a request head (names compared without regard to case).
std::string Header(const std::string& head, const std::string& name) {
  size_t at = head.find("\r\n");
  while (at != std::string::npos && at + 2 < head.size()) {
    const size_t start = at + 2;
    const size_t end = head.find("\r\n", start);
    const std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t colon = line.find(':');
    if (colon == name.size()) {
      bool same = true;
      for (size_t i = 0; i < colon && same; ++i)
        same = std::tolower(static_cast<unsigned char>(line[i])) == std::tolower(static_cast<unsigned char>(name[i]));
      if (same) {
        const size_t value = line.find_first_not_of(" \t", colon + 1);
        return value == std::string::npos ? std::string() : line.substr(value);
      }
    }
    at = end;
  }
  return {};
}

}  // namespace

THttpReply StatusHttpAnswer(const std::string& method, const std::string& target, const std::string& authorization,
                            const std::string& token, const TStatusSnapshot* snapshot) {
  const size_t question = target.find('?');
  const std::string path = target.substr(0, question);
  const std::string query = question == std::string::npos ? std::string() : target.substr(question + 1);
  if (!token.empty()) {
    const std::string bearer = "Bearer ";
    std::string given;
    const bool ok = (authorization.compare(0, bearer.size(), bearer) == 0 &&
                     SameToken(authorization.substr(bearer.size()), token)) ||
                    (QueryParam(query, "token", &given) && SameToken(given, token));
    if (!ok) {
      THttpReply r = Text(401, "token ausente ou inv\xC3\xA1lido\n");
      r.challenge = true;
      return r;
    }
  }
  if (method != "GET" && method != "HEAD") return Text(405, "apenas GET\n");
  if (path != "/" && path != "/health" && path != "/metrics") return Text(404, "n\xC3\xA3o encontrado\n");
  if (!snapshot) return Text(503, "iniciando\n");
  if (path == "/") return {200, "text/html; charset=utf-8", RenderStatusPage(*snapshot)};
  if (path == "/health") {
    const THealth h = EvaluateHealth(*snapshot);
    return {h.HttpStatus(), "application/json", RenderHealthJson(h)};
  }
  return {200, "text/plain; version=0.0.4; charset=utf-8", RenderMetrics(*snapshot)};
}

// One HTTP connection: one request, one answer, then closed; the deadline
// covers all of it.
class TStatusHttp::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::ip::tcp::socket socket, const TStatusHttp& server)
      : socket_(std::move(socket)), deadline_(socket_.get_executor()), server_(server) {}

  void Start() {
    deadline_.expires_after(DEADLINE);
    deadline_.async_wait([self = shared_from_this()](const std::error_code& ec) {
      if (!ec) self->Close();
    });
    Read();
  }

 private:
  void Read() {
    socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](const std::error_code& ec, size_t n) {
      if (ec) return self->Close();
      self->request_.append(self->chunk_.data(), n);
      const size_t end = self->request_.find("\r\n\r\n");
      if (end != std::string::npos) return self->Answer(end);
      if (self->request_.size() > MAX_REQUEST) return self->Write(Text(431, "pedido grande demais\n"), false);
      self->Read();
    });
  }

  void Answer(size_t headEnd) {
    const std::string head = request_.substr(0, headEnd + 2);
    const size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos) return Write(Text(400, "pedido inv\xC3\xA1lido\n"), false);
    const std::string method = line.substr(0, sp1);
    const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::shared_ptr<const TStatusSnapshot> snapshot = server_.board_.Current();
    Write(StatusHttpAnswer(method, target, Header(head, "Authorization"), server_.token_, snapshot.get()),
          method == "HEAD");
  }

  void Write(const THttpReply& r, bool headOnly) {
    out_ = "HTTP/1.1 " + std::to_string(r.status) + " " + Reason(r.status) + "\r\nContent-Type: " + r.contentType +
           "\r\nContent-Length: " + std::to_string(r.body.size()) + "\r\nCache-Control: no-store\r\n" +
           (r.challenge ? "WWW-Authenticate: Bearer\r\n" : "") + "Connection: close\r\n\r\n" + (headOnly ? "" : r.body);
    asio::async_write(socket_, asio::buffer(out_),
                      [self = shared_from_this()](const std::error_code&, size_t) { self->Close(); });
  }

  void Close() {
    std::error_code ec;
    deadline_.cancel();
    socket_.shutdown(asio::socket_base::shutdown_both, ec);
    socket_.close(ec);
  }

  asio::ip::tcp::socket socket_;
  asio::steady_timer deadline_;
  const TStatusHttp& server_;
  std::array<char, 2048> chunk_{};
  std::string request_;
  std::string out_;
};

TStatusHttp::TStatusHttp(const TStatusBoard& board, std::string token)
    : board_(board), token_(std::move(token)), acceptor_(io_), acceptRetry_(io_) {}

TStatusHttp::~TStatusHttp() {
  io_.stop();
  if (thread_.joinable()) thread_.join();
}

bool TStatusHttp::Start(const std::string& address, int port, std::string* error) {
  std::error_code ec;
  asio::ip::tcp::resolver resolver(io_);
  const auto found = resolver.resolve(address, std::to_string(port), asio::ip::tcp::resolver::numeric_service, ec);
  if (ec || found.empty()) {
    if (error) *error = ec ? ec.message() : "endere\xE7o desconhecido";
    return false;
  }
  try {
    OpenListeningSocket(acceptor_, found.begin()->endpoint());
  } catch (const std::system_error& e) {
    if (error) *error = e.code().message();
    std::error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  port_ = acceptor_.local_endpoint(ec).port();
  Accept();
  thread_ = std::thread([this] { io_.run(); });
  return true;
}

void TStatusHttp::Accept() {
  acceptor_.async_accept([this](const std::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      std::make_shared<Connection>(std::move(socket), *this)->Start();
      return Accept();
    }
    // Out of descriptors, say: try again shortly rather than spin.
    acceptRetry_.expires_after(std::chrono::milliseconds(100));
    acceptRetry_.async_wait([this](const std::error_code& e) {
      if (!e) Accept();
    });
  });
}
