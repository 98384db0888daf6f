#include "service/TService.hpp"

#include <signal.h>
#include <sys/signalfd.h>

#include <asio/read.hpp>
#include <exception>
#include <iostream>
#include <system_error>

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

TService::TService() : io_(1), signals_(io_, StopSignalDescriptor()) {}

TService::~TService() = default;

int TService::Run() {
  bool started = false;
  OnStart(started);
  if (!started) return ExitCode != 0 ? ExitCode : 1;
  WaitStopRequest();
  OnExecute();
  return ExitCode;
}

void TService::WaitStopRequest() {
  asio::async_read(signals_, asio::buffer(signalInfo_), [this](const std::error_code& ec, size_t) {
    if (ec) return;
    bool stopped = true;
    OnStop(stopped);
    if (stopped)
      terminated_ = true;
    else
      WaitStopRequest();
  });
}

void TService::ProcessRequests(bool pWait) {
  try {
    const size_t handled = pWait ? io_.run_one() : io_.poll_one();
    // Nothing left to wait for (the loop was stopped): end rather than spin.
    if (pWait && handled == 0) terminated_ = true;
  } catch (const std::exception& e) {
    ReportError(e.what());
  } catch (...) {
    ReportError("erro desconhecido");
  }
}

bool TService::ProcessRequestsUntil(std::chrono::steady_clock::time_point deadline) {
  try {
    return io_.run_one_until(deadline) > 0 || !io_.stopped();
  } catch (const std::exception& e) {
    ReportError(e.what());
  } catch (...) {
    ReportError("erro desconhecido");
  }
  return true;
}

void TService::ReportError(const std::string& text) { std::cerr << text << std::endl; }
