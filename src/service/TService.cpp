#include "service/TService.hpp"

#include <csignal>
#include <exception>
#include <iostream>

TService::TService() : io_(1), signals_(io_, SIGTERM, SIGINT) {}

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
  signals_.async_wait([this](const std::error_code& ec, int) {
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

void TService::ReportError(const std::string& text) { std::cerr << text << std::endl; }
