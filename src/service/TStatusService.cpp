#include "service/TStatusService.hpp"

#include <chrono>
#include <exception>

#include "config/TConfigJson.hpp"
#include "service/TGlobal.hpp"

TStatusService::TStatusService(TGlobal& g, asio::io_context& io)
    : g_(g), collector_(g, std::time(nullptr)), timer_(io) {}

TStatusService::~TStatusService() { http_.reset(); }

void TStatusService::Start() {
  // The first snapshot comes with the first tick, once the output folder has
  // been made; until then the server answers 503.
  Schedule();
  const TConfigJson* c = g_.config.get();
  if (!c || c->portaStatus == 0) return;
  http_ = std::make_unique<TStatusHttp>(board_, c->tokenStatus);
  std::string error;
  const std::string url = "http://" + c->enderecoStatus + ":" + std::to_string(c->portaStatus) + "/";
  if (http_->Start(c->enderecoStatus, c->portaStatus, &error)) {
    doLog("P\xE1gina de status: " + url + (c->tokenStatus.empty() ? "" : " (com token)"));
  } else {
    doLog("TStatusHttp.Start() -> Erro: n\xE3o foi poss\xEDvel abrir " + url + ": " + error +
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
      doLog(ErrorLine("TStatusService.Tick", e.what()));
    }
    Schedule();
  });
}
