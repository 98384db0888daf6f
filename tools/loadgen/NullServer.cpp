#include "NullServer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <stdexcept>
#include <string>

#include "analyzer-sim/AstmFrames.hpp"
#include "analyzer-sim/Mllp.hpp"

namespace loadgen {

namespace {
void SendAll(int fd, const std::string& s) {
  for (size_t off = 0; off < s.size();) {
    const ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

const std::string kAck = std::string(1, sim::ACK) + "\r\n";

std::deque<std::string> AstmOrderReply() {
  const std::vector<std::string> records = {
      "H|\\^&|||||||||||LIS2-A2", "P|1|||1|^JOAO^SILVA||19800514|M|||||^MARCIA||||||||||||HEMATO",
      "O|1|^1001||^^^^WBC\\^^^^RBC||20260109093012|||||N||||||||||||||Q", "L|1|N"};
  std::deque<std::string> items = {std::string(1, sim::ENQ) + "\r\n"};
  for (const std::string& f : sim::FrameRecords(records)) items.push_back(f);
  items.push_back(std::string(1, sim::EOT) + "\r\n");
  return items;
}

std::string Hl7Reply(const std::string& message) {
  const std::string msh = sim::FindSegment(message, "MSH");
  const std::string id = sim::Field(msh, 10);
  if (sim::Field(msh, 9).rfind("QRY", 0) == 0) {
    std::string dsr = "MSH|^~\\&|||SIM|SIM|20260109093012||DSR^Q03|2|P|2.3.1||||||ASCII|||\rMSA|AA|2\r"
                      "QAK|SR|OK|\rQRD|20260109093012|R|D|1|||RD|1001|OTH|||T|\r";
    for (int i = 1; i <= 28; ++i) dsr += "DSP|" + std::to_string(i) + "||" + (i == 21 ? "1001" : "") + "|||\r";
    dsr += "DSC||\r";
    return sim::WrapMllp("MSH|^~\\&|||SIM|SIM|20260109093012||QCK^Q02|1|P|2.3.1||||||ASCII|||\rMSA|AA|1\r"
                         "ERR|0|\rQAK|SR|OK|\r") +
           sim::WrapMllp(dsr);
  }
  return sim::WrapMllp("MSH|^~\\&|LIS||||20260109093012||ACK^R01|1|P|2.3.1\rMSA|AA|" + id + "\r");
}
}  // namespace

NullServer::NullServer() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(listenFd_, 1024) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("null server: cannot listen on 127.0.0.1");
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

NullServer::~NullServer() {
  stopping_ = true;
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptor_.join();
  ::close(listenFd_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : workers_) t.join();
  for (int fd : clients_) ::close(fd);
}

void NullServer::AcceptLoop() {
  while (!stopping_) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stopping_) return;
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mutex_);
    clients_.push_back(fd);
    workers_.emplace_back([this, fd] { Serve(fd); });
  }
}

void NullServer::Serve(int fd) {
  std::string rx;
  std::deque<std::string> pending;  // reply items, one per ACK
  bool query = false;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    rx.append(buf, static_cast<size_t>(n));
    for (;;) {
      sim::DropLineEnds(rx);
      if (rx.empty()) break;
      if (rx[0] == sim::VT) {
        const sim::MllpItem m = sim::TakeMllpMessage(rx);
        if (m.kind == sim::MllpItem::None) break;
        SendAll(fd, Hl7Reply(m.text));
        continue;
      }
      const sim::HostItem item = sim::TakeHostItem(rx);
      if (item.kind == sim::HostItem::None) break;
      if (item.kind == sim::HostItem::Enq) {
        query = false;
        SendAll(fd, kAck);
      } else if (item.kind == sim::HostItem::Frame) {
        if (sim::RecordType(item.text) == 'Q') query = true;
        SendAll(fd, kAck);
      } else if (item.kind == sim::HostItem::Eot && query) {
        query = false;
        pending = AstmOrderReply();
        SendAll(fd, pending.front());
        pending.pop_front();
      } else if (item.kind == sim::HostItem::Ack && !pending.empty()) {
        SendAll(fd, pending.front());
        pending.pop_front();
      }
    }
  }
}

}  // namespace loadgen
