// The built loadgen program: every mode against its own null server plays the
// asked count with no wrong or missing answer, and a host that answers wrongly
// or not at all is counted and fails the run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.hpp"

namespace {

kvtest::ProgramRun RunLoadgen(const std::string& args) { return kvtest::RunProgram("loadgen", args); }

// The number after "key=" in the summary line, -1 when absent.
long Figure(const std::string& output, const std::string& key) {
  const size_t at = output.find(" " + key + "=");
  return at == std::string::npos ? -1 : std::stol(output.substr(at + key.size() + 2));
}

// Listens on 127.0.0.1 and answers every read on every connection with `reply`
// (nothing when it is empty).
class ScriptedHost {
 public:
  explicit ScriptedHost(std::string reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
    ::listen(fd_, 64);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] {
      for (;;) {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        clients_.push_back(c);
        workers_.emplace_back([this, c] {
          char buf[4096];
          while (::recv(c, buf, sizeof buf, 0) > 0)
            if (!reply_.empty()) ::send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        });
      }
    });
  }
  ~ScriptedHost() {
    ::shutdown(fd_, SHUT_RDWR);
    acceptor_.join();
    for (int c : clients_) ::shutdown(c, SHUT_RDWR);
    for (auto& t : workers_) t.join();
    for (int c : clients_) ::close(c);
    ::close(fd_);
  }
  int port() const { return port_; }

 private:
  std::string reply_;
  int fd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<int> clients_;
  std::vector<std::thread> workers_;
};

}  // namespace

TEST(Loadgen, EveryModeAgainstItsNullServerPlaysTheCountWithoutFault) {
  struct Row {
    const char* mode;
    const char* unit;
  } rows[] = {{"hl7", "messages"},       {"astm", "sessions"},      {"astm-eot-enq", "sessions"},
              {"astm-query", "queries"}, {"hl7-query", "queries"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    const kvtest::ProgramRun r = RunLoadgen(std::string("--null --mode ") + row.mode + " --clients 3 --count 30");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Figure(r.output, row.unit), 30) << r.output;
    EXPECT_EQ(Figure(r.output, "mismatched"), 0) << r.output;
    EXPECT_EQ(Figure(r.output, "missing"), 0) << r.output;
    EXPECT_NE(r.output.find(" p99_ms="), std::string::npos) << r.output;
  }
}

TEST(Loadgen, WrongAndMissingAnswersAreCountedAndFailTheRun) {
  struct Row {
    const char* mode;
    std::string reply;
    const char* counted;
  } rows[] = {
      {"astm", "\x15\r\n", "mismatched"},  // NAK for everything
      {"hl7", "\x0bMSH|^~\\&|||||||ACK^R01|999|P|2.3.1\rMSA|AA|999\r\x1c\r", "mismatched"},  // another control id
      {"hl7", "\x0bMSH|^~\\&|||||||ACK^R01|1|P|2.3.1\rMSA|AE|1\r\x1c\r", "mismatched"},  // item 1 refused
      {"hl7-query", "\x0bMSH|^~\\&|||||||QCK^Q02|1|P|2.3.1\rMSA|AA|1\rQAK|SR|NF|\r\x1c\r", "mismatched"},
      {"hl7", "", "missing"},         // silence
      {"astm-query", "\x06\r\n", "missing"},  // every item acknowledged, the reply never comes
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.mode) + " " + row.counted);
    ScriptedHost host(row.reply);
    const kvtest::ProgramRun r = RunLoadgen("--port " + std::to_string(host.port()) + " --mode " + row.mode +
                             " --clients 1 --count 2 --timeout 300");
    EXPECT_EQ(r.status, 3) << r.output;
    // The first item of the analyzer (not timed) and the two counted ones.
    EXPECT_EQ(Figure(r.output, row.counted), 3) << r.output;
  }
}

TEST(Loadgen, UnreachableHostIsOneError) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  const int port = ntohs(addr.sin_port);  // bound, not listening: connections are refused
  const kvtest::ProgramRun r = RunLoadgen("--port " + std::to_string(port) + " --mode hl7 --count 1");
  ::close(fd);
  EXPECT_EQ(r.status, 2) << r.output;
  EXPECT_NE(r.output.find("Connection refused"), std::string::npos) << r.output;
}
