#include <algorithm>

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
    s.diskAlarmSeconds = c->alertaEntregaSegundos;
  }
  s.spoolFolder = g.spool_path;
  s.version = KV_VERSION;
  s.log = g.log_.get();
  s.lis = &g.lisMonitor;
  if (const TArchiveDisk* disk = g.disk.get()) {
    s.spoolPending = [disk] { return disk->State().waiting; };
    s.spoolOldest = [disk] { return disk->State().oldest; };
    // A hung output folder: the delivery (or the spool) has not returned for this long.
    s.diskBusyFor = [disk] {
      const TArchiveDisk::TState st = disk->State();
      return std::max(st.deliveryBusyFor, st.keeperBusyFor);
    };
  }
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
  status_->Start();
}

void TKVRedurozozi::StopStatus() {
  // Records outlive the collector: they must stop counting first (the
  // delivery's count reaches it through the loop, and finds it gone).
  if (global) global->events = nullptr;
  status_.reset();
}

void TKVRedurozozi::NakReceived(TSocketClient& client) {
  if (TStatusCollector* s = Status()) s->NakReceived(client);
}
