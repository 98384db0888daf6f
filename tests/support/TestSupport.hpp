#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct TClientContext;

namespace kvtest {

using namespace std::chrono_literals;

// A fresh folder under /tmp, removed with everything in it at the end of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }  // ends without "/"
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// "<STX>1H|...<CR><ETX>" -> bytes. Names: NUL STX ETX EOT ENQ ACK LF VT CR NAK ETB FS.
std::string Expand(const std::string& readable);
// Bytes -> readable text with control characters as <STX>, <CR>, ... and <xNN>.
std::string Repr(const std::string& bytes);

std::string ReadFile(const std::string& path);  // "" when missing
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
std::vector<std::string> ListFiles(const std::string& dir, bool recursive = true);  // sorted, relative
// The archive files under dir: ListFiles without the NAME.XXXXXX.tmp files the
// delivery writes before it renames them (behind the acknowledgement).
std::vector<std::string> ListArchiveFiles(const std::string& dir, bool recursive = true);

// A capture from tests/data (astm/ or hl7/ prefix).
std::string TestData(const std::string& relative);
std::vector<std::string> TestDataFiles(const std::string& subdir);  // full paths, sorted

// Polls cond every 5 ms until it holds or the deadline passes.
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout = 5000ms);

// What a program of the build folder printed (stdout and stderr) and its exit status (-1: killed).
struct ProgramRun {
  int status = -1;
  std::string output;
};
// Runs build/<program> with the arguments (shell words) and waits for it;
// stderrOnly keeps what it printed on stderr alone.
ProgramRun RunProgram(const std::string& program, const std::string& args, bool stderrOnly = false);

// A port that was free a moment ago on 127.0.0.1.
int FreePort();

// Blocking TCP client on 127.0.0.1 for end-to-end tests.
class TcpClient {
 public:
  // Throws std::runtime_error when it cannot connect; receiveBuffer > 0 sets SO_RCVBUF before connecting.
  explicit TcpClient(int port, int receiveBuffer = 0);
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;
  void Send(const std::string& bytes);
  // Reads until `received` (everything so far) satisfies pred or the timeout passes.
  std::string ReadUntil(const std::function<bool(const std::string&)>& pred,
                        std::chrono::milliseconds timeout = 5000ms);
  // Reads until exactly n bytes have arrived (or the timeout passes).
  std::string ReadBytes(size_t n, std::chrono::milliseconds timeout = 5000ms);
  // Reads whatever arrives within the window.
  std::string ReadFor(std::chrono::milliseconds window);
  // True when the peer closed the connection (read returns 0) within the timeout.
  bool WaitClosed(std::chrono::milliseconds timeout = 5000ms);
  void Close();

 protected:
  int fd() const { return fd_; }  // the socket, for subclasses that need more options

 private:
  int fd_ = -1;
};

// The ports of the process state the test made (`global`), as the service
// hands them to a new record; an empty context while there is none.
TClientContext GlobalContext();

}  // namespace kvtest
