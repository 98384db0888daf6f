// HL7 result messages per second, each archived and acknowledged with
// ACK^R01, over one connection and over 20 at once. Every connection sends
// one ORU^R01, waits for its ACK, then sends the next, as an analyzer does.
//
//   bench_hl7_throughput [--host H --port P] [--messages N] [--connections 1,20] [--demo DIR]
//
// Without --port it runs build/kv_redurozozi itself in a temporary folder with
// an embedded LIS database made from demo/ (the analyzer is looked up once per
// connection) and removes the folder afterwards. Each connection first sends one
// message that is not timed, so the identification of the analyzer stays out of
// the figures.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.hpp"
#include "DemoLis.hpp"
#include "service/TGlobal.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

int Connect(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0 || !res) return -1;
  const int fd = ::socket(res->ai_family, res->ai_socktype, res->ai_protocol);
  if (fd >= 0 && ::connect(fd, res->ai_addr, res->ai_addrlen) != 0) {
    ::close(fd);
    ::freeaddrinfo(res);
    return -1;
  }
  ::freeaddrinfo(res);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool SendAll(int fd, const std::string& s) {
  for (size_t off = 0; off < s.size();) {
    const ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// Reads until one whole MLLP frame (ending FS CR) has arrived; false on timeout or close.
bool ReadAck(int fd, std::string& pending, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = pending.find("\x1c\r");
    if (end != std::string::npos) {
      const bool ok = pending.find("MSA|AA|") != std::string::npos && pending.find("ACK^R01") < end;
      pending.erase(0, end + 2);
      return ok;
    }
    const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    pending.append(buf, static_cast<size_t>(n));
  }
}

// A BC-5380-like ORU^R01 of 24 segments with its own control id and sample id.
std::string Message(int conn, int seq) {
  std::ostringstream m;
  m << "\x0bMSH|^~\\&|BC-5380|Mindray|||20240805145707||ORU^R01|" << conn * 1000000 + seq
    << "|P|2.3.1||||||UNICODE\r"
    << "PID|1||7393670^^^^MR||TEST^PATIENT||19900804000000|Female\r"
    << "PV1|1||nk^^001\r"
    << "OBR|1||B" << conn << "X" << seq << "|00001^Automated Count^99MRC||20240805140600|20240805150616\r";
  for (int i = 1; i <= 20; ++i) m << "OBX|" << i << "|NM|6690-2^WBC^LN||9.81|10*9/L|4.00-10.00|N|||F\r";
  m << "\x1c\r";
  return m.str();
}

struct Result {
  long messages = 0;
  long failures = 0;
  double seconds = 0;
};

Result RunLoad(const std::string& host, int port, int connections, int perConnection, int base) {
  std::vector<int> fds;
  for (int c = 0; c < connections; ++c) {
    const int fd = Connect(host, port);
    if (fd < 0) throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port));
    fds.push_back(fd);
  }
  std::atomic<long> ok{0}, bad{0};
  std::atomic<bool> go{false};
  std::atomic<int> warm{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < connections; ++c) {
    threads.emplace_back([&, c] {
      std::string pending;
      // Untimed first message: identification and the LIS device lookup.
      if (!SendAll(fds[c], Message(base + c, 0)) || !ReadAck(fds[c], pending, 60000)) ++bad;
      ++warm;
      while (!go) std::this_thread::yield();
      for (int i = 1; i <= perConnection; ++i) {
        if (!SendAll(fds[c], Message(base + c, i)) || !ReadAck(fds[c], pending, 10000)) {
          ++bad;
          return;
        }
        ++ok;
      }
    });
  }
  while (warm < connections) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto t0 = Clock::now();
  go = true;
  for (auto& t : threads) t.join();
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  for (int fd : fds) ::close(fd);
  return {ok.load(), bad.load(), secs};
}

// The service executable beside this program, run in a folder of its own.
class OwnService {
 public:
  explicit OwnService(std::string demo)
      : service_((fs::path(ExecutablePath()).parent_path() / "kv_redurozozi").string()) {
    if (demo.empty()) demo = (fs::path(ExecutablePath()).parent_path().parent_path() / "demo").string();
    const std::string dir = service_.folder();
    const std::string lis = dir + "/lis.fdb";
    bench::CreateDemoLis(lis, demo);
    std::ostringstream config;
    config << "{\"porta\": " << service_.port() << ", \"pastaSaida\": \"" << dir << "/saida/\", \"debug\": false,"
           << " \"server\": \"\", \"database\": \"" << lis << "\", \"user\": \"SYSDBA\", \"password\": \"masterkey\","
           << " \"analisadores\": [{\"aplicacao\": \"BC-5380\", \"modelo\": \"Mindray\", \"nomeTevarin\": \"BC-5380\","
           << " \"exames\": []}]}";
    service_.Start(config.str());
    ::close(service_.ConnectWhenListening(std::chrono::seconds(15)));
  }
  int port() const { return service_.port(); }
  size_t Archived() const {
    size_t n = 0;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(service_.folder() + "/saida", ec))
      if (e.is_regular_file() && e.path().extension() == ".hl7") ++n;
    return n;
  }

 private:
  bench::ServiceCopy service_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0;
  int messages = 2000;
  std::vector<int> connections = {1, 20};
  std::string demo;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--host") host = argv[i + 1];
    else if (a == "--port") port = std::atoi(argv[i + 1]);
    else if (a == "--messages") messages = std::atoi(argv[i + 1]);
    else if (a == "--demo") demo = argv[i + 1];
    else if (a == "--connections") {
      connections.clear();
      std::stringstream ss(argv[i + 1]);
      for (std::string item; std::getline(ss, item, ',');) connections.push_back(std::atoi(item.c_str()));
    }
  }
  try {
    std::unique_ptr<OwnService> own;
    if (port == 0) {
      own = std::make_unique<OwnService>(demo);
      port = own->port();
    }
    std::printf("HL7 ORU^R01 (24 segments, %zu bytes) with ACK^R01, %d messages per run\n", Message(0, 0).size(),
                messages);
    int base = 1;
    for (int c : connections) {
      const int per = std::max(1, messages / c);
      const Result r = RunLoad(host, port, c, per, base);
      base += c;
      std::printf("connections %3d: %6ld messages in %7.3f s = %8.1f messages/s (%.2f ms per message per connection)%s\n",
                  c, r.messages, r.seconds, r.messages / r.seconds, 1000.0 * r.seconds * c / std::max(1L, r.messages),
                  r.failures ? "  FAILURES" : "");
      if (r.failures) std::printf("  %ld connection(s) stopped without an ACK\n", r.failures);
    }
    if (own) std::printf("archive files written: %zu\n", own->Archived());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hl7_throughput: %s\n", e.what());
    return 1;
  }
  return 0;
}
