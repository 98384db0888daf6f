#include "support/PtyPair.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace kvtest {

namespace {
// The device behind a link exists (not only the link).
bool DeviceThere(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}
}  // namespace

bool PtyPair::Available() { return std::system("command -v socat >/dev/null 2>&1") == 0; }

PtyPair::PtyPair() : a_(dir_ / "a"), b_(dir_ / "b") { Launch(); }

PtyPair::~PtyPair() { Pull(); }

void PtyPair::Launch() {
  const std::string endA = "pty,raw,echo=0,link=" + a_;
  const std::string endB = "pty,raw,echo=0,link=" + b_;
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // A test that dies takes its pair with it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execlp("socat", "socat", endA.c_str(), endB.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (!WaitFor([&] { return DeviceThere(a_) && DeviceThere(b_); }, 5000ms)) {
    Pull();
    throw std::runtime_error("socat made no pseudo-terminal pair within 5 s (is socat installed?)");
  }
}

void PtyPair::Pull() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 3000ms);
    if (!ended) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  // socat removes its links when it ends; after a SIGKILL they would point at
  // /dev/pts numbers that the next pair may take.
  ::unlink(a_.c_str());
  ::unlink(b_.c_str());
}

void PtyPair::PutBack() {
  if (pid_ < 0) Launch();
}

}  // namespace kvtest
