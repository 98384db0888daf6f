#include "ServiceHarness.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace kvtest {

nlohmann::json ServiceConfig(const std::string& folder, const std::string& database) {
  using nlohmann::json;
  json config = {
      {"pastaSaida", folder + "/saida/"},
      {"debug", false},
      {"server", ""},
      {"database", database},
      {"user", "SYSDBA"},
      {"password", "masterkey"},
      {"analisadores",
       json::array({
           {{"aplicacao", "XN-550"}, {"modelo", "XN-550"}, {"nomeTevarin", "XN-550"},
            {"exames", json::array({{{"codigo", 101}, {"nome", "Hemograma completo"},
                                      {"atributos", {"WBC", "RBC", "HGB"}}}})}},
           {{"aplicacao", "Mindray"}, {"modelo", "Mindray"}, {"nomeTevarin", "BC-5380"},
            {"exames", json::array({{{"codigo", 101}, {"nome", "Hemograma completo"}}})}},
           {{"aplicacao", "Diagno"}, {"modelo", "Icounter"}, {"nomeTevarin", "Icounter"},
            {"exames", json::array()}},
       })},
  };
  return config;
}

Peer::Peer(int port, int receiveBuffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
  }
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in local{};
  socklen_t len = sizeof local;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len);
  localPort_ = ntohs(local.sin_port);
}

Peer::~Peer() { Close(); }

void Peer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Peer::ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void Peer::Reset() {
  linger lg{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  Close();
}

void Peer::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    sent += static_cast<size_t>(n);
  }
}

std::string Peer::ReadUntil(const std::function<bool(const std::string&)>& pred,
                            std::chrono::milliseconds timeout) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred(received)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    received.append(buf, static_cast<size_t>(n));
  }
  return received;
}

std::string Peer::ReadUntilEndsWith(const std::string& suffix, std::chrono::milliseconds timeout) {
  return ReadUntil(
      [&](const std::string& r) {
        return r.size() >= suffix.size() && r.compare(r.size() - suffix.size(), suffix.size(), suffix) == 0;
      },
      timeout);
}

std::string Peer::ReadFor(std::chrono::milliseconds window) {
  return ReadUntil([](const std::string&) { return false; }, window);
}

bool Peer::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;
  }
}

bool SendRead(const ServiceProcess& svc, Peer& peer, const std::string& bytes) {
  // The log writes line breaks inside an entry its own way: look for the end of
  // the piece's last stretch without line breaks, or, for a piece that is
  // nothing but line breaks, for one more read entry.
  std::string tail;
  const size_t last = bytes.find_last_not_of("\r\n");
  if (last != std::string::npos) {
    const size_t brk = bytes.find_last_of("\r\n", last);
    const size_t lineStart = brk == std::string::npos ? 0 : brk + 1;
    const size_t from = std::max(lineStart, last + 1 > 48 ? last + 1 - 48 : size_t{0});
    tail = bytes.substr(from, last + 1 - from);
  } else {
    tail = "Nova mensagem: [";
  }
  const size_t before = Count(svc.LogText(), tail);
  peer.Send(bytes);
  return WaitFor([&] { return Count(svc.LogText(), tail) > before; });
}

bool SendEot(const ServiceProcess& svc, Peer& peer) {
  const std::string done = "Finalizando transmiss\xE3o.";
  const size_t before = Count(svc.LogText(), done);
  peer.Send(std::string(1, '\x04'));
  return WaitFor([&] { return Count(svc.LogText(), done) > before; });
}

int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& e : extraEnv) env.push_back(e);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), envp.data()) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool LoggedInOrder(const std::string& log, const std::vector<std::string>& needles) {
  size_t previous = std::string::npos;
  for (const auto& n : needles) {
    const size_t pos = log.find(n);
    if (pos == std::string::npos) return false;
    // Newest first: each later entry stands above (before) the one written before it.
    if (previous != std::string::npos && pos >= previous) return false;
    previous = pos;
  }
  return true;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size()))
    ++n;
  return n;
}

std::vector<std::pair<std::string, std::string>> ArchiveFiles(const std::string& dir) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& f : ListFiles(dir, true)) out.emplace_back(f, ReadFile(dir + "/" + f));
  return out;
}

}  // namespace kvtest
