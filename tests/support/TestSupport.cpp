#include "support/TestSupport.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"

namespace fs = std::filesystem;

namespace kvtest {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "kvtest-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!std::getenv("KV_KEEP_TEMP")) fs::remove_all(path_, ec);
}

namespace {
const std::map<std::string, char>& ControlNames() {
  static const std::map<std::string, char> names = {
      {"NUL", '\x00'}, {"STX", '\x02'}, {"ETX", '\x03'}, {"EOT", '\x04'}, {"ENQ", '\x05'},
      {"ACK", '\x06'}, {"LF", '\x0a'},  {"VT", '\x0b'},  {"CR", '\x0d'},  {"NAK", '\x15'},
      {"ETB", '\x17'}, {"FS", '\x1c'}};
  return names;
}
}  // namespace

std::string Expand(const std::string& readable) {
  std::string out;
  for (size_t i = 0; i < readable.size();) {
    if (readable[i] == '<') {
      const size_t close = readable.find('>', i);
      if (close != std::string::npos) {
        const auto it = ControlNames().find(readable.substr(i + 1, close - i - 1));
        if (it != ControlNames().end()) {
          out += it->second;
          i = close + 1;
          continue;
        }
      }
    }
    out += readable[i++];
  }
  return out;
}

std::string Repr(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    bool named = false;
    for (const auto& [name, value] : ControlNames()) {
      if (static_cast<unsigned char>(value) == c) {
        out += "<" + name + ">";
        named = true;
        break;
      }
    }
    if (named) continue;
    if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "<x%02X>", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) { return fs::is_regular_file(path); }

std::vector<std::string> ListFiles(const std::string& dir, bool recursive) {
  std::vector<std::string> files;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return files;
  // The service may rename a ".tmp" file away while we look: nothing here may throw.
  std::string prefix = fs::path(dir).lexically_normal().string();
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  prefix += "/";
  const auto add = [&](const fs::directory_entry& e) {
    std::error_code fileEc;
    if (!e.is_regular_file(fileEc)) return;
    const std::string full = e.path().lexically_normal().string();
    files.push_back(full.rfind(prefix, 0) == 0 ? full.substr(prefix.size()) : e.path().filename().string());
  };
  if (recursive) {
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
      add(*it);
  } else {
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
      add(*it);
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> ListArchiveFiles(const std::string& dir, bool recursive) {
  std::vector<std::string> out;
  for (auto& f : ListFiles(dir, recursive))
    if (!(f.size() >= 4 && f.compare(f.size() - 4, 4, ".tmp") == 0)) out.push_back(std::move(f));
  return out;
}

std::string TestData(const std::string& relative) {
  const std::string path = std::string(KV_TESTDATA_DIR) + "/" + relative;
  if (!FileExists(path)) throw std::runtime_error("missing test data " + path);
  return ReadFile(path);
}

std::vector<std::string> TestDataFiles(const std::string& subdir) {
  std::vector<std::string> out;
  const std::string dir = std::string(KV_TESTDATA_DIR) + "/" + subdir;
  for (const auto& f : ListFiles(dir, false)) out.push_back(dir + "/" + f);
  return out;
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

ProgramRun RunProgram(const std::string& program, const std::string& args, bool stderrOnly) {
  ProgramRun r;
  const std::string cmd =
      std::string(KV_BINARY_DIR) + "/" + program + " " + args + (stderrOnly ? " 2>&1 >/dev/null" : " 2>&1");
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  const int port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

TcpClient::TcpClient(int port, int receiveBuffer) {
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
}

TcpClient::~TcpClient() { Close(); }

void TcpClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TcpClient::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    sent += static_cast<size_t>(n);
  }
}

std::string TcpClient::ReadUntil(const std::function<bool(const std::string&)>& pred,
                                 std::chrono::milliseconds timeout) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred(received)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
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

std::string TcpClient::ReadBytes(size_t n, std::chrono::milliseconds timeout) {
  return ReadUntil([n](const std::string& s) { return s.size() >= n; }, timeout);
}

std::string TcpClient::ReadFor(std::chrono::milliseconds window) {
  return ReadUntil([](const std::string&) { return false; }, window);
}

bool TcpClient::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;
  }
}

TClientContext GlobalContext() { return global ? global->ClientContext() : TClientContext{}; }

}  // namespace kvtest
