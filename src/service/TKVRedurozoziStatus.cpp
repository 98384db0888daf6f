#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"

void TKVRedurozozi::StartStatus() {
  status_ = std::make_unique<TStatusService>(*global, Context());
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
