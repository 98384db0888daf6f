#include "ServiceHarness.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "support/LisDatabase.hpp"

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

Peer::Peer(int port, int receiveBuffer) : TcpClient(port, receiveBuffer) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  ::getsockname(fd(), reinterpret_cast<sockaddr*>(&local), &len);
  localPort_ = ntohs(local.sin_port);
}

void Peer::ShutdownWrite() { ::shutdown(fd(), SHUT_WR); }

void Peer::Reset() {
  linger lg{1, 0};
  ::setsockopt(fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  Close();
}

std::string Peer::ReadUntilEndsWith(const std::string& suffix, std::chrono::milliseconds timeout) {
  return ReadUntil(
      [&](const std::string& r) {
        return r.size() >= suffix.size() && r.compare(r.size() - suffix.size(), suffix.size(), suffix) == 0;
      },
      timeout);
}

void ServiceSuite::SetUpTestSuite() {
  dir_ = std::make_unique<TempDir>();
  // A real LIS database: identification looks the analyzer's device up, queries find orders.
  const TMyDBInfo db = CreateLisDatabase(dir_->path());
  auto config = ServiceConfig(dir_->path(), db.database);
  config["user"] = db.user;
  config["password"] = db.password;
  svc_ = std::make_unique<ServiceProcess>(dir_->path() + "/svc", config);
  ASSERT_TRUE(svc_->WaitListening());
}

void ServiceSuite::TearDownTestSuite() {
  if (svc_) {
    EXPECT_EQ(svc_->Stop(), 0) << "the service must still stop normally";
  }
  svc_.reset();
  dir_.reset();
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
