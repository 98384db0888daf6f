#include "status/TStatusService.hpp"

#include <chrono>
#include <exception>

#include "log/TLog.hpp"

TStatusService::TStatusService(TStatusSetup setup, asio::io_context& io)
    : folders_(setup.outputFolder, setup.spoolFolder, std::chrono::seconds(TStatusCollector::FOLDER_SCAN_SECONDS)),
      collector_(std::move(setup)),
      timer_(io) {}

TStatusService::~TStatusService() { http_.reset(); }

void TStatusService::Start() {
  // A folder on a network share that stops answering must not hold up the service thread.
  folders_.Start();
  collector_.UseFolderWatch(&folders_);
  // The first snapshot before the port opens, so /health and /metrics answer
  // their normal content from a monitor's first request. The folders get a
  // short while for their first look; a share that does not answer shows as such.
  folders_.WaitFirst(std::chrono::seconds(2));
  try {
    collector_.Tick();
    Publish();
  } catch (const std::exception& e) {
    Log(ErrorLine("TStatusService.Start", e.what()));
  }
  Schedule();
  const TStatusSetup& c = collector_.Setup();
  if (c.port == 0) return;
  http_ = std::make_unique<TStatusHttp>(board_, c.token);
  std::string error;
  const std::string url = "http://" + c.address + ":" + std::to_string(c.port) + "/";
  if (http_->Start(c.address, c.port, &error)) {
    Log("P\xE1gina de status: " + url + (c.token.empty() ? "" : " (com token)"));
  } else {
    Log("TStatusHttp.Start() -> Erro: n\xE3o foi poss\xEDvel abrir " + url + ": " + error +
        ". O servi\xE7o continua sem a p\xE1gina de status.");
    http_.reset();
  }
}

void TStatusService::Publish() { board_.Publish(collector_.Build()); }

void TStatusService::Schedule() {
  timer_.expires_after(std::chrono::seconds(1));
  timer_.async_wait([this](const std::error_code& ec) {
    if (ec) return;
    try {
      collector_.Tick();
      Publish();
    } catch (const std::exception& e) {
      Log(ErrorLine("TStatusService.Tick", e.what()));
    }
    Schedule();
  });
}

void TStatusService::Log(const std::string& txt) const {
  if (TLog* log = collector_.Setup().log) log->make(txt);
}
