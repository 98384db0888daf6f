#include "host/TService.hpp"

#include <exception>
#include <iostream>

int TService::RunHere() {
  bool started = false;
  OnStart(started);
  if (!started) return ExitCode != 0 ? ExitCode : 1;
  WatchStopRequests();
  OnExecute();
  return ExitCode;
}

void TService::Stop() {
  bool stopped = true;
  OnStop(stopped);
  if (stopped) terminated_ = true;
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
