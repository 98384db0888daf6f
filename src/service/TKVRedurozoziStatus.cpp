#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"

#ifndef KV_VERSION
#define KV_VERSION "dev"
#endif

namespace {

// What the status service shows, from the process-wide state: it reads nothing else.
TStatusSetup StatusSetup(TGlobal& g) {
  TStatusSetup s;
  if (const TConfigJson* c = g.config.get()) {
    for (const auto& a : c->analisadores) s.analyzers.push_back({a->modelo, a->alertaSilencioMinutos});
    s.outputFolder = c->pastaSaida;
    s.importAlarmMinutes = c->alertaImportacaoMinutos;
    s.port = c->portaStatus;
    s.address = c->enderecoStatus;
    s.token = c->tokenStatus;
  }
  s.spoolFolder = g.spool_path;
  s.version = KV_VERSION;
  s.log = g.log_.get();
  s.lis = &g.lisMonitor;
  TArchiveDelivery* delivery = g.delivery.get();
  s.spoolPending = [delivery] { return delivery ? delivery->Pending() : size_t{0}; };
  s.spoolOldest = [delivery] { return delivery ? delivery->OldestPending() : std::nullopt; };
  return s;
}

}  // namespace

void TKVRedurozozi::StartStatus() {
  TStatusSetup setup = StatusSetup(*global);
  setup.links = [this] {
    std::vector<TStatusLink> rows;
    for (const TLinkState& l : LinkStates()) rows.push_back({l.modelo, l.status});
    return rows;
  };
  status_ = std::make_unique<TStatusService>(std::move(setup), Context());
  global->events = &status_->Collector();
  global->delivery->onDelivered = [this](const TArchiveEntry& entry, const std::string&) {
    if (status_) status_->Collector().Delivered(entry);
  };
  status_->Start();
}

void TKVRedurozozi::StopStatus() {
  // Records and the delivery outlive the collector: they must stop counting first.
  if (global) {
    global->events = nullptr;
    if (global->delivery) global->delivery->onDelivered = nullptr;
  }
  status_.reset();
}

void TKVRedurozozi::NakReceived(TSocketClient& client) {
  if (TStatusCollector* s = Status()) s->NakReceived(client);
}
