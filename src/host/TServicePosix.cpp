#include <signal.h>
#include <sys/signalfd.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/read.hpp>
#include <system_error>

#include "host/TService.hpp"

namespace {
// Blocks the stop signals in this thread (and every thread started after it)
// and answers a descriptor that reads them.
int StopSignalDescriptor() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  const int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
  return fd;
}
static_assert(sizeof(signalfd_siginfo) == 128);
}  // namespace

// SIGTERM and SIGINT, read from a signalfd on the loop.
struct TService::StopRequests {
  explicit StopRequests(asio::io_context& io) : signals(io, StopSignalDescriptor()) {}
  asio::posix::stream_descriptor signals;
  char info[128] = {};  // one signalfd_siginfo
};

TService::TService(const char* serviceName, const char* displayName)
    : serviceName_(serviceName), displayName_(displayName), io_(1), stops_(std::make_unique<StopRequests>(io_)) {}

TService::~TService() = default;

// In the foreground, as systemd (Type=simple) starts it.
int TService::Run() {
  const int code = RunHere();
  OnFinished();
  return code;
}

void TService::WatchStopRequests() {
  asio::async_read(stops_->signals, asio::buffer(stops_->info), [this](const std::error_code& ec, size_t) {
    if (ec) return;
    Stop();
    if (!terminated_) WatchStopRequests();
  });
}
