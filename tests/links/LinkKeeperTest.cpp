// Links kept open by the service itself, through real links: a socat pty pair
// pulled and put back, and a port server (a TCP listener of the test's) that is
// down, comes up, closes and resets its connection, or never answers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "links/TLinkKeeper.hpp"
#include "support/PtyPair.hpp"
#include "support/TestSupport.hpp"
#include "util/Encoding.hpp"

using namespace std::chrono_literals;
using kvtest::PtyPair;
using kvtest::WaitFor;

namespace {

// A keeper on its own loop thread; the served link is read until it ends,
// which is reported back as a session would.
class Harness {
 public:
  // refuseFirst: the first served link finds no session (serve throws).
  Harness(TLinkTarget target, std::chrono::milliseconds interval, std::chrono::milliseconds connectTimeout = 2s,
          bool refuseFirst = false)
      : work_(asio::make_work_guard(io_)) {
    keeper_ = std::make_shared<TLinkKeeper>(
        io_.get_executor(), std::move(target), interval,
        [this](const std::string& line) {
          std::lock_guard lock(m_);
          lines_.push_back(Cp1252ToUtf8(line));
        },
        [this, refuseFirst](std::unique_ptr<TLinkStream> stream, const std::string& name) {
          {
            std::lock_guard lock(m_);
            ++served_;
            names_.push_back(name);
            if (refuseFirst && served_ == 1) throw std::runtime_error("no session");
          }
          stream_ = std::move(stream);
          Read();
        },
        connectTimeout);
    runner_ = std::thread([this] { io_.run(); });
    keeper_->Start();
  }
  ~Harness() {
    Stop();
    work_.reset();
    io_.stop();
    runner_.join();
  }
  void Stop() {
    asio::post(io_, [this] {
      keeper_->Stop();
      if (stream_) stream_->Close();
    });
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(m_);
    return lines_;
  }
  int served() {
    std::lock_guard lock(m_);
    return served_;
  }
  std::string received() {
    std::lock_guard lock(m_);
    return received_;
  }
  bool WaitLines(size_t n, std::chrono::milliseconds timeout = 5000ms) {
    return WaitFor([&] { return lines().size() >= n; }, timeout);
  }
  TLinkStatus Status() {
    std::promise<TLinkStatus> p;
    asio::post(io_, [&] { p.set_value(keeper_->Status()); });
    return p.get_future().get();
  }
  std::vector<std::string> names() {
    std::lock_guard lock(m_);
    return names_;
  }

 private:
  void Read() {
    stream_->AsyncReadSome(asio::buffer(buf_), [this](const std::error_code& ec, size_t n) {
      if (ec == asio::error::operation_aborted) return;
      if (ec) {
        stream_.reset();
        keeper_->Lost(ec);
        return;
      }
      {
        std::lock_guard lock(m_);
        received_.append(buf_, n);
      }
      Read();
    });
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::shared_ptr<TLinkKeeper> keeper_;
  std::unique_ptr<TLinkStream> stream_;  // touched on the loop only
  char buf_[256];
  std::thread runner_;
  std::mutex m_;
  std::vector<std::string> lines_;
  std::vector<std::string> names_;
  int served_ = 0;
  std::string received_;
};

// A port server in TCP-server mode, played by the test.
class Listener {
 public:
  explicit Listener(int port, int backlog = 4) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, backlog) != 0)
      throw std::runtime_error("cannot listen on " + std::to_string(port));
  }
  ~Listener() { ::close(fd_); }
  // The next connection, or -1 when none came in time.
  int Accept(std::chrono::milliseconds timeout = 5000ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return -1;
    return ::accept(fd_, nullptr, nullptr);
  }

 private:
  int fd_ = -1;
};

void CloseWithReset(int fd) {
  const linger now{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  ::close(fd);
}

size_t Count(const std::vector<std::string>& lines, const std::string& part) {
  size_t n = 0;
  for (const std::string& l : lines) n += l.find(part) != std::string::npos;
  return n;
}

}  // namespace

TEST(LinkKeeper, SerialPortPulledAndPutBack) {
  if (!PtyPair::Available()) GTEST_SKIP() << "socat is missing (bash scripts/setup.sh installs it)";
  PtyPair pair;
  Harness h(SerialTarget(pair.a(), {}), 100ms);
  ASSERT_TRUE(WaitFor([&] { return h.served() == 1; }));
  EXPECT_EQ(h.names(), std::vector<std::string>{"serial:" + pair.a()});
  {
    const int far = ::open(pair.b().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(far, 0);
    ASSERT_EQ(::write(far, "H|\\^&\r", 6), 6);
    EXPECT_TRUE(WaitFor([&] { return h.received() == "H|\\^&\r"; }));
    ::close(far);
  }
  EXPECT_TRUE(h.lines().empty()) << "a link open at the first attempt adds no line";
  EXPECT_TRUE(h.Status().open);

  pair.Pull();
  ASSERT_TRUE(h.WaitLines(2));
  // Tried again every 100 ms: the same reason is not logged again.
  std::this_thread::sleep_for(600ms);
  const std::string name = "Conexão serial:" + pair.a();
  EXPECT_EQ(h.lines(), (std::vector<std::string>{
                           name + " perdida: dispositivo desconectado. Nova tentativa em 100 ms",
                           name + " indisponível: dispositivo inexistente. Nova tentativa a cada 100 ms",
                       }));
  const TLinkStatus down = h.Status();
  EXPECT_FALSE(down.open);
  EXPECT_EQ(Cp1252ToUtf8(down.lastError), "dispositivo inexistente");
  EXPECT_EQ(h.served(), 1);

  pair.PutBack();
  ASSERT_TRUE(WaitFor([&] { return h.served() == 2; }));
  ASSERT_TRUE(h.WaitLines(3));
  EXPECT_EQ(h.lines().back(), name + " restabelecida");
  const int far = ::open(pair.b().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(far, 0);
  ASSERT_EQ(::write(far, "L|1\r", 4), 4);
  EXPECT_TRUE(WaitFor([&] { return h.received() == "H|\\^&\rL|1\r"; }));
  ::close(far);
  EXPECT_TRUE(h.Status().open);
}

TEST(LinkKeeper, PortServerDownClosingResettingAndBack) {
  const int port = kvtest::FreePort();
  const std::string name = "Conexão 127.0.0.1:" + std::to_string(port);
  Harness h(*TcpTarget("127.0.0.1:" + std::to_string(port)), 100ms);
  // Down at the start: refused, logged once however often it is tried.
  ASSERT_TRUE(h.WaitLines(1));
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(h.lines(), std::vector<std::string>{name + " indisponível: conexão recusada. Nova tentativa a cada 100 ms"});
  EXPECT_EQ(Cp1252ToUtf8(h.Status().lastError), "conexão recusada");

  auto server = std::make_unique<Listener>(port);
  int conn = server->Accept();
  ASSERT_GE(conn, 0);
  ASSERT_TRUE(WaitFor([&] { return h.served() == 1; }));
  ASSERT_EQ(::send(conn, "MSH|", 4, MSG_NOSIGNAL), 4);
  EXPECT_TRUE(WaitFor([&] { return h.received() == "MSH|"; }));

  // The port server closes the connection: lost, and made again.
  ::close(conn);
  conn = server->Accept();
  ASSERT_GE(conn, 0);
  ASSERT_TRUE(WaitFor([&] { return h.served() == 2; }));
  // It resets the connection.
  CloseWithReset(conn);
  conn = server->Accept();
  ASSERT_GE(conn, 0);
  ASSERT_TRUE(WaitFor([&] { return h.served() == 3; }));
  // It goes away altogether.
  server.reset();
  ::close(conn);
  ASSERT_TRUE(h.WaitLines(7));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(h.lines(), (std::vector<std::string>{
                           name + " indisponível: conexão recusada. Nova tentativa a cada 100 ms",
                           name + " restabelecida",
                           name + " perdida: conexão encerrada pelo servidor de portas. Nova tentativa em 100 ms",
                           name + " restabelecida",
                           name + " perdida: conexão interrompida (reset). Nova tentativa em 100 ms",
                           name + " restabelecida",
                           name + " perdida: conexão encerrada pelo servidor de portas. Nova tentativa em 100 ms",
                           name + " indisponível: conexão recusada. Nova tentativa a cada 100 ms",
                       }));
  EXPECT_EQ(h.names(), std::vector<std::string>(3, "127.0.0.1:" + std::to_string(port)));
}

TEST(LinkKeeper, PortServerThatNeverAnswers) {
  // A listener whose queue is full drops the next connection request: the
  // attempt ends by its own deadline.
  const int port = kvtest::FreePort();
  Listener full(port, 0);
  kvtest::TcpClient waiting(port);  // fills the queue; never accepted
  Harness h(*TcpTarget("127.0.0.1:" + std::to_string(port)), 100ms, 300ms);
  ASSERT_TRUE(h.WaitLines(1));
  EXPECT_EQ(h.lines().front(),
            "Conexão 127.0.0.1:" + std::to_string(port) + " indisponível: sem resposta. Nova tentativa a cada 100 ms");
  EXPECT_EQ(h.served(), 0);
}

TEST(LinkKeeper, StoppedItOpensNothingMore) {
  if (!PtyPair::Available()) GTEST_SKIP() << "socat is missing (bash scripts/setup.sh installs it)";
  PtyPair pair;
  pair.Pull();
  Harness h(SerialTarget(pair.a(), {}), 100ms);
  ASSERT_TRUE(h.WaitLines(1));
  EXPECT_EQ(Count(h.lines(), "dispositivo inexistente"), 1u);
  h.Stop();
  std::this_thread::sleep_for(100ms);
  pair.PutBack();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(h.served(), 0);
  EXPECT_EQ(h.lines().size(), 1u);
}

TEST(LinkKeeper, ALinkNoSessionTookIsLostAndOpenedAgain) {
  if (!PtyPair::Available()) GTEST_SKIP() << "socat is missing (bash scripts/setup.sh installs it)";
  PtyPair pair;
  Harness h(SerialTarget(pair.a(), {}), 100ms, 2s, true);
  ASSERT_TRUE(WaitFor([&] { return h.served() == 2; }));
  ASSERT_TRUE(h.WaitLines(2));
  const std::string name = "Conexão serial:" + pair.a();
  EXPECT_EQ(h.lines(), (std::vector<std::string>{name + " perdida: erro (no session). Nova tentativa em 100 ms",
                                                 name + " restabelecida"}));
}
